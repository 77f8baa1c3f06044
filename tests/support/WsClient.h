// A real WebSocket client over loopback, on its own thread, that records every
// message it receives. Written against the protocol itself (a handshake and
// frames over a plain socket) rather than a library, so that tests see the
// bridge the way a browser does and compile quickly.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvex::test {

using namespace std::chrono_literals;

class WsClient {
public:
    explicit WsClient(uint16_t port, std::string origin = "", std::string host = "127.0.0.1");
    ~WsClient();
    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;

    // Connects and waits for the opening handshake. False on failure or time-out.
    // read false: nothing is read after the handshake until StartReading, so
    // that unread data backs up in the server, as behind a page that stalls.
    bool Connect(std::chrono::milliseconds timeout = 5000ms, bool read = true);
    void StartReading();
    // Connects and waits for the first message, the greeting: it, "" on failure.
    std::string Greeting(std::chrono::milliseconds timeout = 5000ms);
    void SendText(const std::string& text);
    void SendBinary(const std::string& payload);
    // Starts the closing handshake with status 1000.
    void Close();

    std::vector<std::string> Messages();
    // Waits until at least n messages have arrived.
    bool WaitForMessages(size_t n, std::chrono::milliseconds timeout = 5000ms);
    // Waits for a message equal to text at index from or later: its index,
    // -1 after the time-out.
    long FindMessage(const std::string& text, size_t from = 0, std::chrono::milliseconds timeout = 5000ms);
    bool WaitClosed(std::chrono::milliseconds timeout = 5000ms);
    int CloseCode();  // remote close code once closed, else -1
    std::string CloseReason();
    int HandshakeStatus();  // HTTP status of a failed handshake, else 0
    bool Failed();
    uint16_t LocalPort();
    // > 0: the socket's receive buffer is shrunk to it before Connect.
    int receiveBuffer = 0;

    // Receive time of message i on the steady clock.
    std::chrono::steady_clock::time_point ReceivedAt(size_t i);

private:
    void Send(uint8_t opcode, const std::string& payload);
    void Run();
    void MarkClosed();

    const uint16_t m_port;
    const std::string m_origin;
    const std::string m_host;
    int m_fd = -1;
    std::mutex m_sendMutex;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::string> m_messages;
    std::vector<std::chrono::steady_clock::time_point> m_times;
    bool m_open = false;
    bool m_closed = false;
    bool m_failed = false;
    bool m_closeSent = false;  // guarded by m_sendMutex
    int m_closeCode = -1;
    std::string m_closeReason;
    int m_httpStatus = 0;
};

}  // namespace orvex::test
