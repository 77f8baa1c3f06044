// A real WebSocket client over loopback, on its own thread, that records every
// message it receives.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_no_tls_client.hpp>

namespace orvex::test {

using namespace std::chrono_literals;

class WsClient {
public:
    using client_t = websocketpp::client<websocketpp::config::asio_client>;

    explicit WsClient(uint16_t port, std::string origin = "", std::string host = "127.0.0.1");
    ~WsClient();
    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;

    // Connects and waits for the opening handshake. False on failure or time-out.
    bool Connect(std::chrono::milliseconds timeout = 5000ms);
    void SendText(const std::string& text);
    void SendBinary(const std::string& payload);
    void Close();

    std::vector<std::string> Messages();
    // Waits until at least n messages have arrived.
    bool WaitForMessages(size_t n, std::chrono::milliseconds timeout = 5000ms);
    bool WaitClosed(std::chrono::milliseconds timeout = 5000ms);
    int CloseCode();              // remote close code once closed, else -1
    std::string CloseReason();
    int HandshakeStatus();        // HTTP status of a failed handshake, else 0
    bool Failed();

    // Receive time of message i on the steady clock.
    std::chrono::steady_clock::time_point ReceivedAt(size_t i);

private:
    client_t m_client;
    std::thread m_thread;
    websocketpp::connection_hdl m_handle;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::string> m_messages;
    std::vector<std::chrono::steady_clock::time_point> m_times;
    bool m_open = false;
    bool m_closed = false;
    bool m_failed = false;
    int m_closeCode = -1;
    std::string m_closeReason;
    int m_httpStatus = 0;
    std::string m_uri;
    std::string m_origin;
};

}  // namespace orvex::test
