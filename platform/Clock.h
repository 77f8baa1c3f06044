// The clock seam: every fixed pause of the device protocol goes through it, so
// tests can check pacing without waiting for it.
#pragma once

#include <chrono>
#include <thread>

namespace orvex {

class Clock {
public:
    virtual ~Clock() = default;
    virtual void sleep_for(std::chrono::milliseconds duration) = 0;
};

class SteadyClock final : public Clock {
public:
    void sleep_for(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

}  // namespace orvex
