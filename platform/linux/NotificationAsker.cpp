#include "platform/linux/NotificationAsker.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "platform/Log.h"
#include "platform/linux/BusPoll.h"
#include "platform/linux/DBus.h"

namespace orvex {

namespace {

const char* const kInterface = "org.freedesktop.Notifications";
const char* const kPath = "/org/freedesktop/Notifications";
// A desktop that is there answers at once; one that hangs must not keep a
// question from the console for long.
constexpr uint64_t kCallTimeoutUs = 5000000;
// At exit a hung desktop may hold the stop for this long at most.
constexpr uint64_t kCloseAtExitTimeoutUs = 500000;

}  // namespace

NotificationAsker::NotificationAsker(std::string busAddress, Answer answer)
    : m_busAddress(std::move(busAddress)), m_answer(std::move(answer)) {
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake >= 0) m_thread = std::thread([this] { Loop(); });
}

NotificationAsker::~NotificationAsker() {
    Stop();
    if (m_wake >= 0) close(m_wake);
}

void NotificationAsker::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    if (m_thread.joinable()) {
        WakeBusThread(m_wake);
        m_thread.join();
    }
}

void NotificationAsker::Post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop || m_wake < 0) return;
        m_tasks.push_back(std::move(task));
    }
    WakeBusThread(m_wake);
}

void NotificationAsker::Ask(const std::string& origin) {
    Post([this, origin] {
        if (!Connected()) return;
        const std::vector<std::string> actions = {"allow", "Allow", "deny", "Deny"};
        std::map<std::string, sdbus::Variant> hints;
        hints["urgency"] = sdbus::Variant(uint8_t{1});
        hints["resident"] = sdbus::Variant(true);
        hints["category"] = sdbus::Variant(std::string("device"));
        uint32_t id = 0;
        try {
            m_proxy->callMethod("Notify")
                .onInterface(kInterface)
                .withArguments(std::string("Orvex bridge"), uint32_t{0}, std::string("input-mouse"),
                               "Let " + origin + " use your Orvex devices?",
                               "The page " + origin +
                                   " asks to see every device report and to change device settings "
                                   "(buttons, macros, lighting).",
                               actions, hints, int32_t{0})
                .storeResultsTo(id);
        } catch (const sdbus::Error& e) {
            Drop("cannot show the question: " + e.getMessage());
            return;
        }
        m_shown[id] = origin;
    });
}

void NotificationAsker::Withdraw(const std::string& origin) {
    Post([this, origin] {
        for (auto it = m_shown.begin(); it != m_shown.end();) {
            if (it->second != origin) {
                ++it;
                continue;
            }
            const uint32_t id = it->first;
            it = m_shown.erase(it);
            // One the user closed meanwhile fails here, and nothing is lost.
            if (m_proxy) CloseQuestion(id);
        }
    });
}

bool NotificationAsker::Connected() {
    if (m_proxy) return true;
    if (m_noActions) return false;
    try {
        m_connection = m_busAddress.empty() ? dbus::SessionBus() : dbus::BusAt(m_busAddress);
        m_connection->setMethodCallTimeout(kCallTimeoutUs);
        const std::string rule = std::string("type='signal',interface='") + kInterface + "',path='" + kPath + "'";
        m_matches.push_back(dbus::AddMatch(*m_connection, rule + ",member='ActionInvoked'",
                                           [this](sdbus::Message& m) { OnActionInvoked(m); }));
        m_matches.push_back(dbus::AddMatch(*m_connection, rule + ",member='NotificationClosed'",
                                           [this](sdbus::Message& m) { OnClosed(m); }));
        m_proxy = dbus::CreateProxy(*m_connection, kInterface, kPath);
        std::vector<std::string> capabilities;
        m_proxy->callMethod("GetCapabilities").onInterface(kInterface).storeResultsTo(capabilities);
        if (std::find(capabilities.begin(), capabilities.end(), "actions") == capabilities.end()) {
            // Asked once: a server does not gain actions while it runs.
            m_noActions = true;
            Drop("the notification server shows no buttons");
            return false;
        }
    } catch (const sdbus::Error& e) {
        Drop("no desktop notifications: " + e.getMessage());
        return false;
    }
    m_reported = false;
    return true;
}

bool NotificationAsker::CloseQuestion(uint32_t id) {
    try {
        m_proxy->callMethod("CloseNotification").onInterface(kInterface).withArguments(id);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void NotificationAsker::Disconnect() {
    m_shown.clear();
    m_proxy.reset();
    m_matches.clear();
    m_connection.reset();
}

void NotificationAsker::Drop(const std::string& why) {
    Disconnect();
    if (m_reported) return;
    m_reported = true;
    diag_warning(why + "; answer in the console");
}

void NotificationAsker::OnActionInvoked(sdbus::Message& message) {
    uint32_t id = 0;
    std::string action;
    try {
        message >> id >> action;
    } catch (const sdbus::Error&) {
        return;
    }
    auto shown = m_shown.find(id);
    if (shown == m_shown.end() || (action != "allow" && action != "deny")) return;
    const std::string origin = shown->second;
    m_shown.erase(shown);
    CloseQuestion(id);
    m_answer(origin, action == "allow" ? OriginDecision::Allow : OriginDecision::Deny);
}

void NotificationAsker::OnClosed(sdbus::Message& message) {
    uint32_t id = 0;
    try {
        message >> id;
    } catch (const sdbus::Error&) {
        return;
    }
    // Dismissed without a button: no answer; the console still asks.
    m_shown.erase(id);
}

void NotificationAsker::Loop() {
    for (;;) {
        std::vector<std::function<void()>> tasks;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop) break;
            tasks.swap(m_tasks);
        }
        RunBusTasks(tasks, "notifications");
        BusWait wait;
        try {
            while (m_connection && dbus::ProcessPending(*m_connection)) {
            }
            wait = WaitForBusOrWake(m_connection.get(), m_wake);
        } catch (const std::exception& e) {
            Drop(std::string("the session bus went away: ") + e.what());
            continue;
        }
        if (wait.error != 0) break;
        if (wait.hangUp) Drop("the session bus went away");
    }
    // A question left on the desktop after the bridge has gone would take an
    // answer nobody hears. Take back every one still shown, also one whose
    // withdrawal was posted just before the stop and never ran.
    if (m_proxy && !m_shown.empty()) {
        m_connection->setMethodCallTimeout(kCloseAtExitTimeoutUs);
        for (const auto& [id, origin] : m_shown)
            if (!CloseQuestion(id)) break;  // a desktop that does not answer one will not answer the next
    }
    Disconnect();
}

}  // namespace orvex
