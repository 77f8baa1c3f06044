// A page as a plain loopback socket, for what a real client will not do: stop
// reading, or hold connections open without a handshake.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace orvex::test {

class RawPage {
public:
    // Connects to 127.0.0.1:port. receiveBuffer > 0 shrinks the socket's
    // receive buffer first, so that unread data backs up in the server soon.
    explicit RawPage(uint16_t port, int receiveBuffer = 0);
    ~RawPage();
    RawPage(const RawPage&) = delete;
    RawPage& operator=(const RawPage&) = delete;

    bool Connected() const { return m_fd >= 0; }
    uint16_t LocalPort() const { return m_localPort; }
    // Sends an opening handshake and reads the response head: its HTTP
    // status, 0 on failure or time-out.
    int Handshake(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads frames until a close frame and returns its status code; -1 on
    // end of stream, error or time-out. Counts the data frames read before.
    int ReadUntilClose(std::chrono::milliseconds timeout, size_t* dataFrames = nullptr);
    void Close();

private:
    bool Fill(std::chrono::steady_clock::time_point deadline);  // appends what arrives to m_in
    int m_fd = -1;
    uint16_t m_localPort = 0;
    std::string m_in;
};

}  // namespace orvex::test
