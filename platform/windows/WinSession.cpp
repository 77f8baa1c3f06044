#include "platform/windows/WinSession.h"

#include <windows.h>
#include <wtsapi32.h>

#include <atomic>
#include <boost/asio/post.hpp>

#include "platform/windows/ProcessControl.h"

namespace orvex {

struct WinSession::State {
    DWORD session = 0;
    std::atomic<bool> active{true};
    std::atomic<bool> running{false};
    boost::asio::io_context* loop = nullptr;
    Handler handler;  // set before running, used on the loop only
};

namespace {

// Connected (WTSActive): a user works in it, at the console or remotely.
// Where the system cannot say (Wine), it is taken as connected.
bool SessionConnected() {
    WTS_CONNECTSTATE_CLASS* state = nullptr;
    DWORD size = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSConnectState,
                                     reinterpret_cast<LPWSTR*>(&state), &size))
        return true;
    const bool connected = size < sizeof *state || *state == WTSActive;
    WTSFreeMemory(state);
    return connected;
}

void Deliver(const std::shared_ptr<WinSession::State>& state, bool active) {
    if (state->active.exchange(active) == active) return;
    const auto change = active ? SessionWatch::Change::Active : SessionWatch::Change::Inactive;
    boost::asio::post(*state->loop, [state, change] {
        if (state->running.load() && state->handler) state->handler(change);
    });
}

}  // namespace

std::unique_ptr<SessionWatch> FindSystemSession(std::string* why) {
    auto session = std::make_unique<WinSession>();
    if (!session->Find(why)) return nullptr;
    return session;
}

WinSession::WinSession() : m_state(std::make_shared<State>()) {}

WinSession::~WinSession() {
    stop();
}

bool LookUpThisSession(unsigned long* id, bool* connected, std::string* why) {
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) {
        *why = "cannot tell the bridge's session (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    *id = session;
    *connected = SessionConnected();
    return true;
}

bool WinSession::Find(std::string* why) {
    unsigned long session = 0;
    bool connected = true;
    if (!LookUpThisSession(&session, &connected, why)) return false;
    m_state->session = session;
    if (!HiddenMainWindowHearsSessions()) {
        *why = "no hidden window hears session changes";
        return false;
    }
    m_state->active = connected;
    return true;
}

void WinSession::start(boost::asio::io_context& loop, Handler handler) {
    m_state->loop = &loop;
    m_state->handler = std::move(handler);
    m_state->running = true;
    std::weak_ptr<State> weak = m_state;
    SetSessionListener([weak](unsigned event, unsigned long session) {
        const auto state = weak.lock();
        if (!state || session != state->session) return;
        switch (event) {
            case WTS_CONSOLE_CONNECT:
            case WTS_REMOTE_CONNECT:
                Deliver(state, true);
                break;
            case WTS_CONSOLE_DISCONNECT:
            case WTS_REMOTE_DISCONNECT:
                Deliver(state, false);
                break;
            default:
                // Locking leaves the session in front, as logind sees it;
                // log-off ends the bridge through the window's WM_ENDSESSION.
                break;
        }
    });
    // A change between Find and the listener would otherwise go unheard.
    Deliver(m_state, SessionConnected());
}

void WinSession::stop() {
    if (!m_state->running.exchange(false)) return;
    SetSessionListener(nullptr);
}

bool WinSession::active() const {
    return m_state->active.load();
}

std::string WinSession::id() const {
    return std::to_string(m_state->session);
}

}  // namespace orvex
