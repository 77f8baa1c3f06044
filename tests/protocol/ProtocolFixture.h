// The command protocol over fake collections placed straight into the family
// tables, with a clock that records every pause, and one timeline of what the
// devices got interleaved with those pauses.
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
#include "support/Pages.h"
#include "support/RecordingClock.h"

namespace orvex::test {

using Events = std::vector<std::string>;
using Texts = std::vector<std::string>;

class ProtocolTest : public ::testing::Test {
protected:
    ProtocolTest() : m_hid(m_api, m_steady, m_broadcasts), m_protocol(m_hid, m_clock, m_broadcasts) {
        m_clock.SetHook([this](std::chrono::milliseconds d, size_t index) {
            Add("sleep " + std::to_string(d.count()));
            if (m_duringSleep) m_duringSleep(index);
        });
    }

    // A device with the id at the slot and a control handle, as a reader
    // leaves it after the device's first report. Its sends and writes show on
    // the timeline as "[name ]send|write <length> <first four bytes>".
    std::shared_ptr<FakeHidDevice> Place(uint8_t family, int slot, uint8_t deviceId, const std::string& name = "") {
        auto device = std::make_shared<FakeHidDevice>();
        const std::string tag = name.empty() ? "" : name + " ";
        device->onSendFeature = [this, tag](const Bytes& b) { return Note(tag + "send", b, 0); };
        device->onWrite = [this, tag](const Bytes& b) { return Note(tag + "write", b, 0); };
        PlaceHandle(family, slot, deviceId, device);
        return device;
    }
    void PlaceHandle(uint8_t family, int slot, uint8_t deviceId, std::shared_ptr<HidDevice> control) {
        HidFamilyState* state = m_hid.Family(family);
        std::lock_guard<std::mutex> lock(state->m_mutex);
        state->m_input[slot].nDeviceId = deviceId;
        state->m_input[slot].hInput = std::make_shared<FakeHidDevice>();
        state->m_active[slot].hControl = std::move(control);
        state->m_nControlCount = std::max(state->m_nControlCount, slot + 1);
    }
    // Records one send or write and returns `result`, or its length when 0.
    int Note(const std::string& what, const Bytes& b, int result) {
        Add(what + " " + std::to_string(b.size()) + " " + ToHex(b, 4));
        return result != 0 ? result : static_cast<int>(b.size());
    }
    void Add(const std::string& event) {
        std::lock_guard<std::mutex> lock(m_eventsMutex);
        m_events.push_back(event);
    }
    Events Timeline() {
        std::lock_guard<std::mutex> lock(m_eventsMutex);
        return m_events;
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

    LogCapture m_log;
    FakePages m_broadcasts;
    FakeHidApi m_api;
    SteadyClock m_steady;
    RecordingClock m_clock;
    std::function<void(size_t index)> m_duringSleep;  // runs inside pause `index`
    std::mutex m_eventsMutex;
    Events m_events;
    HidDeviceManager m_hid;
    CommandProtocol m_protocol;
};

// A block frame for the family: device id 7, report byte 0x09, length L,
// then frame byte i (i >= 4) equal to i.
inline std::string BlockFrame(uint8_t family, uint8_t length) {
    Bytes frame = {family, 0x07, 0x09, length};
    for (int i = 4; i < 260; ++i) frame.push_back(static_cast<uint8_t>(i));
    return ToHex(frame);
}

}  // namespace orvex::test
