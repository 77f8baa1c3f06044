#include "bridge/OriginTrust.h"

#include <algorithm>
#include <iterator>
#include <optional>

#include "platform/Log.h"

namespace orvex {

const char* OriginPolicyName(OriginPolicy policy) {
    switch (policy) {
        case OriginPolicy::Ask:
            return "ask";
        case OriginPolicy::Listed:
            return "listed";
        case OriginPolicy::Any:
            return "any";
    }
    return "ask";
}

namespace {

// Origins typed by a person are compared as the browser sends them; a text
// that is no origin ("null") stays as it is and matches only itself.
std::string Normalised(const std::string& origin) {
    return NormaliseOrigin(origin).value_or(origin);
}

std::set<std::string> NormalisedSet(const std::vector<std::string>& origins) {
    std::set<std::string> set;
    for (const std::string& origin : origins) set.insert(Normalised(origin));
    return set;
}

}  // namespace

OriginTrust::OriginTrust(OriginPolicy policy, std::vector<std::string> fixed, std::chrono::milliseconds answerTimeout)
    : m_policy(policy), m_fixed(NormalisedSet(fixed)), m_answerTimeout(answerTimeout) {
    m_timeouts = std::thread([this] { TimeoutLoop(); });
}

OriginTrust::~OriginTrust() {
    {
        MutexLock lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_timeouts.join();
}

void OriginTrust::SetStore(TrustStore* store) {
    MutexLock lock(m_mutex);
    m_store = store;
    m_kept.clear();
    if (store) {
        m_kept = NormalisedSet(store->Load());
    }
}

void OriginTrust::SetAsker(std::shared_ptr<Asker> asker) {
    MutexLock lock(m_mutex);
    m_asker = std::move(asker);
}

void OriginTrust::SetPages(HeldPages* pages) {
    MutexLock lock(m_mutex);
    m_pages = pages;
}

void OriginTrust::SetConsoleUrl(const std::string& url) {
    MutexLock lock(m_mutex);
    m_consoleUrl = url;
}

bool OriginTrust::TrustedLocked(const std::string& origin) const {
    return m_fixed.count(origin) > 0 || m_kept.count(origin) > 0;
}

size_t OriginTrust::HeldInAllLocked() const {
    size_t held = 0;
    for (const auto& entry : m_questions) held += entry.second.pages;
    return held;
}

std::string OriginTrust::RefusalLineLocked(const std::string& origin, const std::string& line) {
    const auto now = Clock::now();
    // Bounded however many origins a site makes up: lines older than the
    // interval are forgotten first, and past the bound nothing more is
    // written until they are.
    constexpr size_t kRemembered = 256;
    if (m_lastRefusalLine.size() >= kRemembered)
        for (auto it = m_lastRefusalLine.begin(); it != m_lastRefusalLine.end();)
            it = now - it->second >= kRefusalLogInterval ? m_lastRefusalLine.erase(it) : std::next(it);
    auto last = m_lastRefusalLine.find(origin);
    if (last != m_lastRefusalLine.end()) {
        if (now - last->second < kRefusalLogInterval) return "";
        last->second = now;
    } else {
        if (m_lastRefusalLine.size() >= kRemembered) return "";
        m_lastRefusalLine.emplace(origin, now);
    }
    return "page origin " + escape_for_log(origin) + " " + line;
}

PageAdmission OriginTrust::Handshake(const std::string& origin, bool present, std::string* key) {
    *key = origin;
    if (m_policy == OriginPolicy::Any) return PageAdmission::Serve;
    // No Origin header: a program of this user, not a browser (the peer
    // check at accept keeps other users' programs away), under every policy.
    if (!present) return PageAdmission::Serve;
    PageAdmission answer = PageAdmission::Refuse;
    std::string line;
    std::shared_ptr<Asker> asker;
    {
        MutexLock lock(m_mutex);
        const std::optional<std::string> normal = NormaliseOrigin(origin);
        if (normal) *key = *normal;
        if (TrustedLocked(*key)) return PageAdmission::Serve;
        // "null" (local files, sandboxed frames) says nothing the user could
        // judge, and anything else that is no origin would only put a
        // question of someone else's wording before the user.
        if (!normal) {
            line = RefusalLineLocked(origin, origin == "null" ? "refused (403): only --allow-origin null lets it in"
                                                              : "refused (403): not an origin");
        } else if (m_denied.count(*key) > 0) {
            line = RefusalLineLocked(*key, "refused (403): denied by the user");
        } else if (m_policy == OriginPolicy::Listed) {
            line = RefusalLineLocked(*key, "refused (403): not a trusted origin (--origins listed)");
        } else {
            const auto now = Clock::now();
            auto question = m_questions.find(*key);
            const size_t held = HeldInAllLocked();
            std::string full;
            if (question != m_questions.end() && question->second.pages >= kHeldPagesPerOrigin)
                full = std::to_string(kHeldPagesPerOrigin) + " of its pages wait for the user already";
            else if (held >= kHeldPagesInAll)
                full = std::to_string(kHeldPagesInAll) + " pages wait for the user already";
            else if (question == m_questions.end() && m_questions.size() >= kWaitingOrigins)
                full = std::to_string(kWaitingOrigins) + " origins wait for the user already";
            if (!full.empty()) {
                if (question != m_questions.end()) ++question->second.turnedAway;
                answer = PageAdmission::Busy;
                line = RefusalLineLocked(*key, "turned away (503): " + full);
            } else if (question != m_questions.end()) {
                // One question per origin, however many of its pages wait.
                ++question->second.pages;
                return PageAdmission::Hold;
            } else {
                answer = PageAdmission::Hold;
                Question& asked = m_questions[*key];
                asked.pages = 1;
                asked.since = now;
                for (auto it = m_quietUntil.begin(); it != m_quietUntil.end();)
                    it = it->second <= now ? m_quietUntil.erase(it) : std::next(it);
                const bool quiet = m_quietUntil.count(*key) > 0;
                if (!quiet) asker = m_asker;
                asked.asked = asker != nullptr;
                line = "page origin " + escape_for_log(*key) + " waits for the user: allow or deny it " +
                       (m_consoleUrl.empty() ? std::string("with orvex-bridge --trust ORIGIN") : "at " + m_consoleUrl) +
                       (quiet ? std::string() : std::string(" or in the desktop notification"));
            }
        }
    }
    if (answer == PageAdmission::Hold) m_wake.notify_all();
    if (!line.empty()) diag_warning(line);
    if (asker) asker->Ask(*key);
    return answer;
}

PageAdmission OriginTrust::Open(const std::string& key, bool present) {
    if (m_policy == OriginPolicy::Any || !present) return PageAdmission::Serve;
    MutexLock lock(m_mutex);
    if (TrustedLocked(key)) return PageAdmission::Serve;
    if (m_policy == OriginPolicy::Ask && m_denied.count(key) == 0 && m_questions.count(key) > 0)
        return PageAdmission::Hold;
    // Denied, forgotten or timed out since its handshake.
    return PageAdmission::Refuse;
}

void OriginTrust::HeldPageClosed(const std::string& key) {
    MutexLock lock(m_mutex);
    auto question = m_questions.find(key);
    if (question != m_questions.end() && question->second.pages > 0) --question->second.pages;
}

void OriginTrust::Decide(const std::string& answered, OriginDecision decision) {
    const std::string origin = Normalised(answered);
    std::shared_ptr<Asker> asker;
    HeldPages* pages = nullptr;
    bool asked = false;
    std::string error;
    {
        MutexLock lock(m_mutex);
        asker = m_asker;
        pages = m_pages;
        auto question = m_questions.find(origin);
        if (question != m_questions.end()) {
            asked = question->second.asked;
            m_questions.erase(question);
        }
        if (decision == OriginDecision::Allow) {
            m_denied.erase(origin);
            if (m_fixed.count(origin) == 0 && m_kept.insert(origin).second && m_store &&
                !m_store->Save(origin, true, &error))
                error = "cannot remember " + escape_for_log(origin) + " as trusted: " + error;
        } else {
            if (decision == OriginDecision::Deny)
                m_denied.insert(origin);
            else
                m_denied.erase(origin);
            if (m_kept.erase(origin) > 0 && m_store && !m_store->Save(origin, false, &error))
                error = "cannot remove " + escape_for_log(origin) + " from the trusted origins: " + error;
        }
    }
    // Allowed all the same for this run when the file cannot be written.
    if (!error.empty()) diag_error(error);
    if (pages) {
        if (decision == OriginDecision::Allow)
            pages->ReleaseOrigin(origin);
        else
            pages->CloseOrigin(origin);
    }
    if (asked && asker) asker->Withdraw(origin);
}

void OriginTrust::Reload() {
    std::vector<std::string> released, withdrawn, dropped;
    std::shared_ptr<Asker> asker;
    HeldPages* pages = nullptr;
    {
        MutexLock lock(m_mutex);
        if (!m_store) return;
        const std::set<std::string> kept = NormalisedSet(m_store->Load());
        for (const std::string& origin : kept) {
            if (m_kept.count(origin) > 0) continue;
            m_denied.erase(origin);
            auto question = m_questions.find(origin);
            if (question == m_questions.end()) continue;
            released.push_back(origin);
            if (question->second.asked) withdrawn.push_back(origin);
            m_questions.erase(question);
        }
        for (const std::string& origin : m_kept)
            if (kept.count(origin) == 0 && m_fixed.count(origin) == 0) dropped.push_back(origin);
        m_kept = kept;
        asker = m_asker;
        pages = m_pages;
    }
    if (pages)
        for (const std::string& origin : released) pages->ReleaseOrigin(origin);
    if (asker)
        for (const std::string& origin : withdrawn) asker->Withdraw(origin);
    if (pages)
        for (const std::string& origin : dropped) pages->CloseOrigin(origin);
}

OriginTrust::Snapshot OriginTrust::Snap() {
    Snapshot snapshot{m_policy, {}, {}, {}};
    MutexLock lock(m_mutex);
    std::set<std::string> trusted(m_fixed);
    trusted.insert(m_kept.begin(), m_kept.end());
    snapshot.trusted.assign(trusted.begin(), trusted.end());
    const auto now = Clock::now();
    for (const auto& [origin, question] : m_questions)
        snapshot.pending.push_back(
            {origin, question.pages, question.turnedAway,
             std::chrono::duration_cast<std::chrono::milliseconds>(now - question.since).count()});
    snapshot.denied.assign(m_denied.begin(), m_denied.end());
    return snapshot;
}

void OriginTrust::TimeoutLoop() {
    MutexLock lock(m_mutex);
    while (!m_stop) {
        auto next = Clock::time_point::max();
        std::vector<std::pair<std::string, bool>> expired;  // origin, asked
        const auto now = Clock::now();
        for (auto it = m_questions.begin(); it != m_questions.end();) {
            const auto due = it->second.since + m_answerTimeout;
            if (due <= now) {
                expired.emplace_back(it->first, it->second.asked);
                // A site that reconnects is listed again, but the desktop
                // is not asked again for a while.
                m_quietUntil[it->first] = now + kQuietAfterTimeout;
                it = m_questions.erase(it);
            } else {
                next = std::min(next, due);
                ++it;
            }
        }
        if (!expired.empty()) {
            // Neither trusted nor denied: its pages may wait again, quietly.
            std::shared_ptr<Asker> asker = m_asker;
            HeldPages* pages = m_pages;
            lock.unlock();
            for (const auto& [origin, asked] : expired) {
                diag_warning("no answer for page origin " + escape_for_log(origin) + ": its pages are closed");
                if (pages) pages->CloseOrigin(origin);
                if (asker && asked) asker->Withdraw(origin);
            }
            lock.lock();
            continue;
        }
        if (next == Clock::time_point::max())
            m_wake.wait(lock);
        else
            m_wake.wait_until(lock, next);
    }
}

}  // namespace orvex
