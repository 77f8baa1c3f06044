// One scriptable fake per seam, shared by every test: the HID backend and its
// collections, the clock and the device monitor. (The page side's fakes are
// in Pages.h; the BLE side is the simulator's SimBle.) Every member is safe to
// call from any thread.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/DeviceMonitor.h"
#include "platform/HidApi.h"
#include "platform/Timings.h"
#include "sim/Devices.h"
#include "support/Recorder.h"

namespace orvex::test {

using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;

std::string ToHex(const Bytes& bytes, size_t count = static_cast<size_t>(-1));
Bytes FromHex(const std::string& hex);
// Every pause and delay a twentieth of its default:
// end-to-end tests run on these and compare orders and ratios, never wall time.
Timings ShortTimings();

// Polls until done() holds; false after the time-out. For conditions that no
// fake can signal, such as a log or a page's messages.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(30));
// How often text occurs in texts.
long Count(const Texts& texts, const std::string& text);
// The parts one after the other.
Texts Concat(std::initializer_list<Texts> parts);

// What the fakes were asked, in order, one line per call; several fakes may
// write to one.
class CallLog : public Recorder<std::string> {
public:
    Texts Lines() { return All(); }
};

// One collection of a device, as the test scripts it: what enumeration lists,
// how it answers, and every call made on it through any of its handles.
class FakeHidDevice {
public:
    enum class Op { Read, Write, SendFeature, GetFeature };
    struct Call {
        Op op;
        Bytes bytes;    // given (write, send), read (read), or the id asked for (get)
        size_t length;  // the length argument
        int timeout;    // of the read; -1 for a blocking one
    };

    explicit FakeHidDevice(HidDeviceInfo entry) : info(std::move(entry)) {}
    const HidDeviceInfo info;

    // Scripts, set before the bridge uses the device. Each returns the call's
    // result; unset, a call succeeds with its length.
    std::function<int(const Bytes&)> onSendFeature;
    std::function<int(const Bytes&)> onWrite;  // may queue input in answer
    std::function<int(uint8_t* data, size_t length)> onGetFeature;
    // Runs at the start of every read, outside the device's lock: a test can
    // hold a reader inside its read.
    std::function<void()> onRead;
    HidOpenError openError = HidOpenError::None;  // opens fail so

    // Input reports, taken in order by whichever handle reads first.
    void QueueInput(Bytes report);
    size_t PendingInput();
    // Reads waiting in read_wait right now: a reader waiting for its next
    // report counts one, a reader that has ended none.
    int WaitingReads();
    // Unplugged, enumeration no longer lists it, it cannot be opened and every
    // call on its handles fails.
    void Unplug();
    bool Present();

    // Reads that found nothing waiting are not recorded: idle polls are noise.
    std::vector<Call> Calls(Op op);
    size_t CallCount();
    void ClearCalls();
    // Handles of it that are still alive: 0 once the bridge has let it go.
    long OpenHandles() { return m_handles.load(); }

private:
    friend class FakeHidHandle;
    int Read(uint8_t* data, size_t length, int timeout);
    int ReadWait(uint8_t* data, size_t length, ReaderWake& wake);
    int PopLocked(uint8_t* data, size_t length, int timeout);
    int Send(Op op, const std::function<int(const Bytes&)>& script, const uint8_t* data, size_t length);
    int GetFeature(uint8_t* data, size_t length);

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Bytes> m_input;
    std::vector<Call> m_calls;
    bool m_present = true;
    int m_waiting = 0;
    std::atomic<long> m_handles{0};
};

// Enumerates its entries in the order added and opens each to a new handle of
// its device. Writes "init", "enumerate 1d57:fa60" and
// "open /dev/hidraw3 000b:0000" to its log.
class FakeHidApi final : public HidApi {
public:
    explicit FakeHidApi(CallLog* log = nullptr) : m_log(log ? log : &m_ownLog) {}

    std::shared_ptr<FakeHidDevice> Add(HidDeviceInfo entry);
    // Every collection of a model on the node, with the pairing key; nodes
    // may instead give one node per collection. In collection order.
    std::vector<std::shared_ptr<FakeHidDevice>> Add(const sim::DeviceModel& model, const std::string& node,
                                                    const std::string& key);
    std::vector<std::shared_ptr<FakeHidDevice>> Add(const sim::DeviceModel& model, const Texts& nodes,
                                                    const std::string& key);
    // Unplugs every collection with the pairing key.
    void Unplug(const std::string& key);
    Texts Log() { return m_log->Lines(); }

    int initResult = 0;
    // How paths compare; unset, exactly (the seam's default).
    std::function<bool(const std::string& listed, const std::string& changed)> samePath;

    int init() override;
    std::vector<HidDeviceInfo> enumerate(uint16_t vendor_id, uint16_t product_id) override;
    std::shared_ptr<HidDevice> open(const HidDeviceInfo& entry, HidOpenError* error) override;
    bool same_path(const std::string& listed, const std::string& changed) const override {
        return samePath ? samePath(listed, changed) : HidApi::same_path(listed, changed);
    }

private:
    std::mutex m_mutex;
    std::vector<std::shared_ptr<FakeHidDevice>> m_devices;
    CallLog m_ownLog;
    CallLog* m_log;
};

// Records every pause and runs a hook at each, so that pacing is checked
// exactly and a test can act "during" a pause. It really waits for the
// pause, but never longer than its cap (0: never), so that reader threads
// polling through it do not spin.
class FakeClock final : public Clock {
public:
    using Hook = std::function<void(std::chrono::milliseconds duration, size_t index)>;
    explicit FakeClock(std::chrono::milliseconds cap = std::chrono::milliseconds(0)) : m_cap(cap) {}

    void sleep_for(std::chrono::milliseconds duration) override;
    // The pauses since the last Clear, in milliseconds, in order.
    std::vector<long> Sleeps();
    void Clear();
    // Runs at every pause, outside the clock's lock, with the pause's index
    // since the last Clear.
    void SetHook(Hook hook);

private:
    const std::chrono::milliseconds m_cap;
    std::mutex m_mutex;
    std::vector<long> m_sleeps;
    Hook m_hook;
};

// A device monitor whose changes the test delivers: each reaches the handler
// on the loop the monitor was started with. Writes "monitor start" and
// "monitor stop" to its log.
class FakeMonitor final : public DeviceMonitor {
public:
    explicit FakeMonitor(CallLog* log = nullptr) : m_log(log) {}
    bool start(boost::asio::io_context& loop, Handler handler) override;
    void stop() override;
    // False when not started.
    bool Deliver(const DeviceChange& change);

    bool failStart = false;

private:
    struct Subscription;
    CallLog* m_log;
    std::mutex m_mutex;
    std::shared_ptr<Subscription> m_subscription;
};

DeviceChange Arrival(const std::string& path, uint16_t product, uint16_t vendor = 0x1D57, uint16_t bus = kBusUsb);
DeviceChange Removal(const std::string& path, uint16_t product, uint16_t vendor = 0x1D57, uint16_t bus = kBusUsb);
// "arrival /dev/hidraw3 bus 0003 1d57:fa60"
std::string Describe(const DeviceChange& change);

}  // namespace orvex::test
