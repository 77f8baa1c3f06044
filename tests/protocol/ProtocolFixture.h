// A command protocol over fake collections placed straight into the family
// tables, with a clock that records every pause and a timeline of what the
// devices saw interleaved with those pauses.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FakeHidDevice.h"
#include "hid/HidDeviceManager.h"
#include "protocol/CommandProtocol.h"
#include "support/Capture.h"
#include "support/RecordingClock.h"

namespace orvex::test {

// Device calls and pauses in the order they happened.
class Timeline {
public:
    void Add(const std::string& event) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(event);
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.clear();
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_events;
};

using Events = std::vector<std::string>;

class ProtocolTest : public ::testing::Test {
protected:
    ProtocolTest() : m_hid(m_api, m_steady), m_protocol(m_hid, m_clock) {
        m_clock.SetHook([this](std::chrono::milliseconds d, size_t) {
            m_timeline.Add("sleep " + std::to_string(d.count()));
            if (m_duringSleep) m_duringSleep(m_clock.Sleeps().size() - 1);
        });
    }

    // Puts a device with the id at the slot, with a control handle, as a
    // reader would leave it after the device's first report.
    std::shared_ptr<FakeHidDevice> Place(uint8_t family, int slot, uint8_t deviceId, const std::string& name = "") {
        auto device = std::make_shared<FakeHidDevice>();
        const std::string tag = name.empty() ? "" : name + " ";
        device->onSendFeature = [this, tag](const Bytes& b) {
            m_timeline.Add(tag + "send " + std::to_string(b.size()));
            return static_cast<int>(b.size());
        };
        device->onWrite = [this, tag](const Bytes& b) {
            m_timeline.Add(tag + "write " + std::to_string(b.size()));
            return static_cast<int>(b.size());
        };
        PlaceHandle(family, slot, deviceId, device);
        return device;
    }
    void PlaceHandle(uint8_t family, int slot, uint8_t deviceId, std::shared_ptr<HidDevice> control) {
        HidFamilyState* state = m_hid.Family(family);
        std::lock_guard<std::mutex> lock(state->m_mutex);
        state->m_input[slot].nDeviceId = deviceId;
        state->m_active[slot].hControl = std::move(control);
        state->m_active[slot].nDeviceId = deviceId;
        if (state->m_nControlCount < slot + 1) state->m_nControlCount = slot + 1;
        if (state->m_nInputCount < slot + 1) state->m_nInputCount = slot + 1;
    }

    static std::array<uint8_t, 1000> Frame(const std::string& hex) {
        std::array<uint8_t, 1000> frame{};
        const Bytes bytes = FromHex(hex);
        std::copy(bytes.begin(), bytes.end(), frame.begin());
        return frame;
    }
    int Command(const std::string& hex) { return m_protocol.HandleDeviceCommand(Frame(hex).data()); }
    int Query(const std::string& hex) { return m_protocol.HandleDeviceQuery(Frame(hex).data()); }

    // True when another thread could take the family lock right now.
    bool FamilyLockFree(uint8_t family) {
        bool free = false;
        std::thread probe([&] {
            std::mutex& m = m_hid.Family(family)->m_mutex;
            free = m.try_lock();
            if (free) m.unlock();
        });
        probe.join();
        return free;
    }

    LogCapture m_log;  // keeps traces off the test's output
    BroadcastCapture m_broadcasts;
    FakeHidApi m_api;
    SteadyClock m_steady;
    RecordingClock m_clock;
    Timeline m_timeline;
    // Runs at each pause with its index, after the pause is on the timeline.
    std::function<void(size_t index)> m_duringSleep;
    HidDeviceManager m_hid;
    CommandProtocol m_protocol;
};

}  // namespace orvex::test
