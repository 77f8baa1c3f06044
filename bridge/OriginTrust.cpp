#include "bridge/OriginTrust.h"

#include <algorithm>

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

bool IsOriginText(const std::string& text) {
    const size_t sep = text.find("://");
    if (sep == std::string::npos || sep == 0) return false;
    for (size_t i = 0; i < sep; ++i) {
        const char c = text[i];
        const bool ok =
            (c >= 'a' && c <= 'z') || (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
        if (!ok) return false;
    }
    std::string host = text.substr(sep + 3);
    std::string port;
    const size_t bracket = host.rfind(']');
    const size_t colon = host.rfind(':');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
        port = host.substr(colon + 1);
        host.erase(colon);
        if (port.empty() || port.size() > 5) return false;
        for (char c : port)
            if (c < '0' || c > '9') return false;
        if (std::stoul(port) > 65535) return false;
    }
    if (host.empty()) return false;
    if (host.front() == '[') {
        if (host.back() != ']' || host.size() < 3) return false;
        for (size_t i = 1; i + 1 < host.size(); ++i) {
            const char c = host[i];
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ':' || c == '.')) return false;
        }
        return true;
    }
    // Browsers send host names in lower case (punycode for the others).
    for (char c : host)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_')) return false;
    return true;
}

OriginTrust::OriginTrust(OriginPolicy policy, std::vector<std::string> fixed, std::chrono::milliseconds answerTimeout)
    : m_policy(policy), m_fixed(fixed.begin(), fixed.end()), m_answerTimeout(answerTimeout) {
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
        const std::vector<std::string> kept = store->Load();
        m_kept.insert(kept.begin(), kept.end());
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

bool OriginTrust::Handshake(const std::string& origin, bool present) {
    if (m_policy == OriginPolicy::Any) return true;
    MutexLock lock(m_mutex);
    // No Origin header: a program of this user, not a browser. Only a list
    // of origins that the user wrote out keeps it away.
    if (!present) return m_policy == OriginPolicy::Ask;
    // "null" (local files, sandboxed frames) says nothing the user could
    // judge: only --allow-origin null lets it in, never a question.
    if (origin == "null") return m_fixed.count(origin) > 0;
    if (TrustedLocked(origin)) return true;
    // Browsers send well-formed origins; anything else would only put a
    // question of someone else's wording before the user.
    return m_policy == OriginPolicy::Ask && IsOriginText(origin);
}

PageAdmission OriginTrust::Open(const std::string& origin, bool present) {
    if (m_policy != OriginPolicy::Ask || !present) return PageAdmission::Serve;
    std::shared_ptr<Asker> asker;
    std::string line;
    {
        MutexLock lock(m_mutex);
        if (TrustedLocked(origin)) return PageAdmission::Serve;
        if (m_denied.count(origin) > 0) return PageAdmission::Refuse;
        auto inserted = m_questions.emplace(origin, Question{0, Clock::now()});
        ++inserted.first->second.pages;
        // One question per origin, however many of its pages wait.
        if (!inserted.second) return PageAdmission::Hold;
        asker = m_asker;
        line = "page origin " + escape_for_log(origin) + " waits for the user: allow or deny it " +
               (m_consoleUrl.empty() ? std::string("with orvex-bridge --trust ORIGIN") : "at " + m_consoleUrl) +
               " or in the desktop notification";
    }
    m_wake.notify_all();
    diag_warning(line);
    if (asker) asker->Ask(origin);
    return PageAdmission::Hold;
}

void OriginTrust::HeldPageClosed(const std::string& origin) {
    MutexLock lock(m_mutex);
    auto question = m_questions.find(origin);
    if (question != m_questions.end() && question->second.pages > 0) --question->second.pages;
}

void OriginTrust::Decide(const std::string& origin, OriginDecision decision) {
    std::shared_ptr<Asker> asker;
    HeldPages* pages = nullptr;
    bool asked = false;
    std::string error;
    {
        MutexLock lock(m_mutex);
        asker = m_asker;
        pages = m_pages;
        asked = m_questions.erase(origin) > 0;
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
    std::vector<std::string> released, dropped;
    std::shared_ptr<Asker> asker;
    HeldPages* pages = nullptr;
    {
        MutexLock lock(m_mutex);
        if (!m_store) return;
        const std::vector<std::string> loaded = m_store->Load();
        const std::set<std::string> kept(loaded.begin(), loaded.end());
        for (const std::string& origin : kept) {
            if (m_kept.count(origin) > 0) continue;
            m_denied.erase(origin);
            if (m_questions.erase(origin) > 0) released.push_back(origin);
        }
        for (const std::string& origin : m_kept)
            if (kept.count(origin) == 0 && m_fixed.count(origin) == 0) dropped.push_back(origin);
        m_kept = kept;
        asker = m_asker;
        pages = m_pages;
    }
    for (const std::string& origin : released) {
        if (pages) pages->ReleaseOrigin(origin);
        if (asker) asker->Withdraw(origin);
    }
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
            {origin, question.pages,
             std::chrono::duration_cast<std::chrono::milliseconds>(now - question.since).count()});
    snapshot.denied.assign(m_denied.begin(), m_denied.end());
    return snapshot;
}

void OriginTrust::TimeoutLoop() {
    MutexLock lock(m_mutex);
    while (!m_stop) {
        auto next = Clock::time_point::max();
        std::vector<std::string> expired;
        const auto now = Clock::now();
        for (auto it = m_questions.begin(); it != m_questions.end();) {
            const auto due = it->second.since + m_answerTimeout;
            if (due <= now) {
                expired.push_back(it->first);
                it = m_questions.erase(it);
            } else {
                next = std::min(next, due);
                ++it;
            }
        }
        if (!expired.empty()) {
            // Nothing is remembered: the page may ask again.
            std::shared_ptr<Asker> asker = m_asker;
            HeldPages* pages = m_pages;
            lock.unlock();
            for (const std::string& origin : expired) {
                diag_warning("no answer for page origin " + escape_for_log(origin) + ": its pages are closed");
                if (pages) pages->CloseOrigin(origin);
                if (asker) asker->Withdraw(origin);
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
