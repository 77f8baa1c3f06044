// The command protocol against fake devices that the real open step opened
// and that became addressable by their first report, as on a running bridge.
// A clock records every pause of the protocol; one timeline interleaves those
// pauses with what the devices get.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "hid/HidDeviceManager.h"
#include "protocol/CommandProtocol.h"
#include "support/Capture.h"
#include "support/Fakes.h"
#include "support/Pages.h"

namespace orvex::test {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;
using Op = FakeHidDevice::Op;

class ProtocolTest : public ::testing::Test {
protected:
    ProtocolTest() {
        m_clock.SetHook([this](std::chrono::milliseconds d, size_t index) {
            Add("sleep " + std::to_string(d.count()));
            if (m_duringSleep) m_duringSleep(index);
        });
    }

    // A device of the family's model with the id, enumerated after those
    // placed before it. The family's open step runs again and every device of
    // the family sends a first report. Returns its control collection, whose
    // sends and writes show on the timeline as "[name ]send|write <length>
    // <first four bytes>". controlOpens false: that collection cannot be
    // opened, so the device reports but cannot be addressed.
    std::shared_ptr<FakeHidDevice> Place(uint8_t family, uint8_t deviceId, const std::string& name = "",
                                         bool controlOpens = true) {
        const bool feature = family == 0x80 || family == 0x81;
        const sim::UsagePair control = feature          ? sim::kFeatureControl
                                       : family == 0x82 ? sim::UsagePair{0xFF00, 0x0001}
                                                        : sim::kOutputControl;
        const uint16_t inputPage = family == 0x83 || family == 0x85 ? 0xFF00 : 0x000A;
        const char* model = family == 0x80 ? "wired" : family == 0x81 ? "vireo" : family == 0x85 ? "wired85" : "sabre";
        const std::string n = std::to_string(m_placed.size());
        Placed placed{family, deviceId, nullptr, nullptr};
        for (auto& c : m_api.Add(sim::Model(model), "/dev/hidraw" + n, "usb1/1-" + n)) {
            if (c->info.usage_page == control.usage_page && c->info.usage == control.usage) placed.control = c;
            if (c->info.usage_page == inputPage) placed.input = c;
        }
        if (!controlOpens) placed.control->openError = HidOpenError::Other;
        m_placed.push_back(placed);
        m_hid.OpenHidFamily(family);
        m_pages.Clear();
        size_t reports = 0;
        for (auto& p : m_placed)
            if (p.family == family) {
                p.input->QueueInput({0x05, p.id, 0, 0, 0});
                ++reports;
            }
        EXPECT_TRUE(m_pages.WaitForCount(reports, 10s)) << "the first reports did not reach the pages";
        m_pages.Clear();
        const std::string tag = name.empty() ? "" : name + " ";
        placed.control->onSendFeature = [this, tag](const Bytes& b) { return Note(tag + "send", b, 0); };
        placed.control->onWrite = [this, tag](const Bytes& b) { return Note(tag + "write", b, 0); };
        for (auto& p : m_placed) p.control->ClearCalls();
        ClearTimeline();
        return placed.control;
    }
    // The input collection of a placed device, given its control collection.
    std::shared_ptr<FakeHidDevice> Input(const std::shared_ptr<FakeHidDevice>& control) {
        for (auto& p : m_placed)
            if (p.control == control) return p.input;
        return nullptr;
    }
    // The device sends an input report; true once the pages have its text,
    // so its reader could take the family lock.
    bool Report(const std::shared_ptr<FakeHidDevice>& control, const Bytes& report) {
        uint8_t family = 0;
        for (auto& p : m_placed)
            if (p.control == control) family = p.family;
        Bytes text = {family, 0x01};
        for (size_t i = 0; i < 5; ++i) text.push_back(i < report.size() ? report[i] : 0);
        const std::string hex = ToHex(text);
        const long before = Count(m_pages.Texts(), hex);
        Input(control)->QueueInput(report);
        return WaitUntil([&] { return Count(m_pages.Texts(), hex) > before; }, 10s);
    }
    // Records one send or write and returns result, or its length when 0.
    int Note(const std::string& what, const Bytes& b, int result) {
        Add(what + " " + std::to_string(b.size()) + " " + ToHex(b, 4));
        return result != 0 ? result : static_cast<int>(b.size());
    }
    void Add(const std::string& event) { m_events.Add(event); }
    Events Timeline() { return m_events.All(); }
    void ClearTimeline() {
        m_events.Clear();
        m_clock.Clear();
    }
    // Texts of the form "<id>810101": family 0x81 acknowledgements.
    Texts Acks() {
        Texts acks;
        for (auto& t : m_pages.Texts())
            if (t.size() == 8 && t.substr(2) == "810101") acks.push_back(t);
        return acks;
    }

    static std::array<uint8_t, COMMAND_BUFFER_SIZE> Frame(const std::string& hex) {
        std::array<uint8_t, COMMAND_BUFFER_SIZE> frame{};
        const Bytes bytes = FromHex(hex);
        std::copy(bytes.begin(), bytes.end(), frame.begin());
        return frame;
    }
    void Command(const std::string& hex) { m_protocol.HandleDeviceCommand(Frame(hex).data()); }
    int Query(const std::string& hex) { return m_protocol.HandleDeviceQuery(Frame(hex).data()); }

    struct Placed {
        uint8_t family, id;
        std::shared_ptr<FakeHidDevice> control, input;
    };

    LogCapture m_log;
    FakePages m_pages;
    FakeHidApi m_api;
    FakeClock m_readerClock{10ms};                    // reader polls really wait, the open step's pause too
    FakeClock m_clock;                                // the protocol's pauses do not
    std::function<void(size_t index)> m_duringSleep;  // runs inside pause `index`
    Recorder<std::string> m_events;
    std::vector<Placed> m_placed;
    HidDeviceManager m_hid{m_api, m_readerClock, m_pages};
    CommandProtocol m_protocol{m_hid, m_clock, m_pages};
};

// A block frame for the family: device id 7, report byte 0x09, length L,
// then frame byte i (i >= 4) equal to i.
inline std::string BlockFrame(uint8_t family, uint8_t length) {
    Bytes frame = {family, 0x07, 0x09, length};
    for (int i = 4; i < 260; ++i) frame.push_back(static_cast<uint8_t>(i));
    return ToHex(frame);
}

}  // namespace orvex::test
