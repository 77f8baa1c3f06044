// The few C library and socket calls that differ between Linux and Windows,
// for code that is otherwise the same on both.
#pragma once

#include <malloc.h>

#include <boost/asio/ip/tcp.hpp>
#include <ctime>

namespace orvex {

// Local time of t; false when it cannot be had.
inline bool local_time(std::time_t t, std::tm* out) {
#ifdef _WIN32
    return localtime_s(out, &t) == 0;
#else
    return localtime_r(&t, out) != nullptr;
#endif
}

// Hands freed heap back to the system where the allocator can.
inline void release_free_heap() {
#ifdef _WIN32
    _heapmin();
#else
    malloc_trim(0);
#endif
}

// Lets a restarted bridge take its port while closed pages leave it in
// TIME_WAIT, and keeps any other program from binding the same port. On Linux
// SO_REUSEADDR does that; on Windows SO_REUSEADDR would let another process
// share the port, and SO_EXCLUSIVEADDRUSE is the option that refuses it
// (TIME_WAIT does not block a bind there).
inline void set_listen_address_options(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
#ifdef _WIN32
    using exclusive = boost::asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
    acceptor.set_option(exclusive(true), ec);
#else
    acceptor.set_option(boost::asio::socket_base::reuse_address(true), ec);
#endif
}

// Whether a failed bind means that another socket holds the port. Windows
// says "access denied" rather than "in use" where another program holds the
// port exclusively on every interface (a bridge of another user started with
// --listen 0.0.0.0, say); on Linux that error means a privileged port, which
// waiting does not change.
inline bool port_held_elsewhere(const boost::system::error_code& ec) {
#ifdef _WIN32
    if (ec == boost::asio::error::access_denied) return true;
#endif
    return ec == boost::asio::error::address_in_use;
}

}  // namespace orvex
