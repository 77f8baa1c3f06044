#include "support/WsClient.h"

namespace orvex::test {

WsClient::WsClient(uint16_t port, std::string origin, std::string host)
    : m_uri("ws://" + host + ":" + std::to_string(port) + "/"), m_origin(std::move(origin)) {
    m_client.clear_access_channels(websocketpp::log::alevel::all);
    m_client.clear_error_channels(websocketpp::log::elevel::all);
    m_client.init_asio();
    m_client.start_perpetual();
    m_client.set_open_handler([this](websocketpp::connection_hdl) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_cv.notify_all();
    });
    m_client.set_message_handler([this](websocketpp::connection_hdl, client_t::message_ptr message) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back(message->get_payload());
        m_times.push_back(std::chrono::steady_clock::now());
        m_cv.notify_all();
    });
    m_client.set_close_handler([this](websocketpp::connection_hdl handle) {
        websocketpp::lib::error_code ec;
        auto con = m_client.get_con_from_hdl(handle, ec);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!ec) {
            m_closeCode = con->get_remote_close_code();
            m_closeReason = con->get_remote_close_reason();
        }
        m_closed = true;
        m_cv.notify_all();
    });
    m_client.set_fail_handler([this](websocketpp::connection_hdl handle) {
        websocketpp::lib::error_code ec;
        auto con = m_client.get_con_from_hdl(handle, ec);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!ec) m_httpStatus = con->get_response_code();
        m_failed = true;
        m_closed = true;
        m_cv.notify_all();
    });
    m_thread = std::thread([this] { m_client.run(); });
}

WsClient::~WsClient() {
    m_client.stop_perpetual();
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool open = m_open && !m_closed;
        lock.unlock();
        if (open) {
            Close();
            WaitClosed(2000ms);
        }
    }
    m_client.stop();
    if (m_thread.joinable()) m_thread.join();
}

bool WsClient::Connect(std::chrono::milliseconds timeout) {
    websocketpp::lib::error_code ec;
    auto con = m_client.get_connection(m_uri, ec);
    if (ec) return false;
    if (!m_origin.empty()) con->replace_header("Origin", m_origin);
    m_handle = con->get_handle();
    m_client.connect(con);
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [this] { return m_open || m_failed; }) && m_open;
}

void WsClient::SendText(const std::string& text) {
    websocketpp::lib::error_code ec;
    m_client.send(m_handle, text, websocketpp::frame::opcode::text, ec);
}

void WsClient::SendBinary(const std::string& payload) {
    websocketpp::lib::error_code ec;
    m_client.send(m_handle, payload, websocketpp::frame::opcode::binary, ec);
}

void WsClient::Close() {
    websocketpp::lib::error_code ec;
    m_client.close(m_handle, websocketpp::close::status::normal, "", ec);
}

std::vector<std::string> WsClient::Messages() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

bool WsClient::WaitForMessages(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_messages.size() >= n; });
}

bool WsClient::WaitClosed(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [this] { return m_closed; });
}

int WsClient::CloseCode() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closeCode;
}

std::string WsClient::CloseReason() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closeReason;
}

int WsClient::HandshakeStatus() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_httpStatus;
}

bool WsClient::Failed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failed;
}

std::chrono::steady_clock::time_point WsClient::ReceivedAt(size_t i) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_times.at(i);
}

}  // namespace orvex::test
