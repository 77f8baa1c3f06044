// Which web pages may use the devices: the user's trusted origins (a file of
// theirs, --allow-origin), the questions waiting for their answer, and the
// origins they denied in this run. The server asks it at each handshake and
// open; answers come from the desktop notification, the console, the trust
// file changing, or the time-out, on any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge/PageServer.h"
#include "platform/OriginText.h"
#include "platform/ThreadSafety.h"
#include "platform/TrustSeams.h"

namespace orvex {

enum class OriginPolicy {
    Ask,     // untrusted pages are held until the user answers
    Listed,  // untrusted pages get HTTP 403
    Any,     // every page is served
};

const char* OriginPolicyName(OriginPolicy policy);

// What strangers may hold while the user has not answered: pages of
// untrusted origins wait apart from the served pages, so that a site that
// opens many cannot keep the configuration page out, nor grow the bridge,
// nor put more questions before the user than they can answer.
constexpr size_t kHeldPagesPerOrigin = 4;
constexpr size_t kHeldPagesInAll = 16;
constexpr size_t kWaitingOrigins = 8;
// After an unanswered question, the desktop is not asked about that origin
// again for this long; its pages may still wait, and the console lists it.
constexpr std::chrono::minutes kQuietAfterTimeout{10};
// A page refused at the handshake says nothing itself, so the log names its
// origin and why; a page that reconnects in a loop gets one line a minute.
constexpr std::chrono::minutes kRefusalLogInterval{1};

class OriginTrust final : public OriginGate {
public:
    // fixed: the origins of --allow-origin, trusted for this run only.
    // Origins are compared as NormaliseOrigin gives them, wherever they come
    // from.
    OriginTrust(OriginPolicy policy, std::vector<std::string> fixed, std::chrono::milliseconds answerTimeout);
    ~OriginTrust() override;  // stops the time-out thread
    OriginTrust(const OriginTrust&) = delete;
    OriginTrust& operator=(const OriginTrust&) = delete;

    // Wiring, before the server starts; each may stay null. A question being
    // put keeps its asker alive, so that taking the asker away is safe at any
    // time; the store is only used under the lock.
    void SetStore(TrustStore* store);
    void SetAsker(std::shared_ptr<Asker> asker);
    void SetPages(HeldPages* pages);
    // Where the user answers, for the line each question writes to stderr.
    void SetConsoleUrl(const std::string& url);

    OriginPolicy policy() const { return m_policy; }

    // OriginGate (server thread).
    PageAdmission Handshake(const std::string& origin, bool present, std::string* key) override;
    PageAdmission Open(const std::string& key, bool present) override;
    void HeldPageClosed(const std::string& key) override;

    // The user's answer, from anywhere. Allow trusts the origin for good,
    // Deny until the bridge restarts, Forget drops both and closes its pages.
    void Decide(const std::string& origin, OriginDecision decision);
    // Reads the store again (its file changed): origins that came in are
    // trusted as if allowed, origins that went lose their pages.
    void Reload();

    struct Pending {
        std::string origin;
        size_t pages = 0;
        size_t turned_away = 0;  // pages refused meanwhile by the budgets above
        long long waiting_ms = 0;
    };
    struct Snapshot {
        OriginPolicy policy;
        std::vector<std::string> trusted;
        std::vector<Pending> pending;
        std::vector<std::string> denied;
    };
    Snapshot Snap();

private:
    using Clock = std::chrono::steady_clock;
    struct Question {
        size_t pages = 0;
        size_t turnedAway = 0;
        Clock::time_point since;
        bool asked = false;  // put to the asker (not while the origin is quiet)
    };
    bool TrustedLocked(const std::string& origin) const ORVEX_REQUIRES(m_mutex);
    size_t HeldInAllLocked() const ORVEX_REQUIRES(m_mutex);
    // The refusal line for origin, or "" when one was written less than
    // kRefusalLogInterval ago.
    std::string RefusalLineLocked(const std::string& origin, const std::string& line) ORVEX_REQUIRES(m_mutex);
    void TimeoutLoop();

    const OriginPolicy m_policy;
    const std::set<std::string> m_fixed;
    const std::chrono::milliseconds m_answerTimeout;
    // Guards what follows; the store is read and written under it, so that a
    // reload never sees a file older than an answer already given. Never held
    // over a call to the asker or the pages.
    Mutex m_mutex;
    std::condition_variable_any m_wake;
    TrustStore* m_store ORVEX_GUARDED_BY(m_mutex) = nullptr;
    HeldPages* m_pages ORVEX_GUARDED_BY(m_mutex) = nullptr;
    std::string m_consoleUrl ORVEX_GUARDED_BY(m_mutex);
    std::shared_ptr<Asker> m_asker ORVEX_GUARDED_BY(m_mutex);
    std::set<std::string> m_kept ORVEX_GUARDED_BY(m_mutex);  // the store's origins
    std::map<std::string, Question> m_questions ORVEX_GUARDED_BY(m_mutex);
    std::set<std::string> m_denied ORVEX_GUARDED_BY(m_mutex);
    std::map<std::string, Clock::time_point> m_quietUntil ORVEX_GUARDED_BY(m_mutex);
    std::map<std::string, Clock::time_point> m_lastRefusalLine ORVEX_GUARDED_BY(m_mutex);
    bool m_stop ORVEX_GUARDED_BY(m_mutex) = false;
    std::thread m_timeouts;
};

}  // namespace orvex
