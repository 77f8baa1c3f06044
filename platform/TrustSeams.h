// Where the user's trust in page origins is kept and how the user is asked:
// the seams that the trust file and the desktop question implement for the
// page side's origin trust.
#pragma once

#include <string>
#include <vector>

namespace orvex {

// The trusted origins the user keeps, wherever they are kept.
class TrustStore {
public:
    virtual ~TrustStore() = default;
    // The origins now kept (malformed entries left out).
    virtual std::vector<std::string> Load() = 0;
    // Adds or removes one origin; false with the reason when it cannot be kept.
    virtual bool Save(const std::string& origin, bool trusted, std::string* error) = 0;
};

// Puts one question to the user. Never waits: the answer comes back through
// the decision callback of whoever asked.
class Asker {
public:
    virtual ~Asker() = default;
    virtual void Ask(const std::string& origin) = 0;
    // The question was answered elsewhere or timed out: take it back.
    virtual void Withdraw(const std::string& origin) = 0;
};

enum class OriginDecision { Allow, Deny, Forget };

}  // namespace orvex
