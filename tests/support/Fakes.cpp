#include "support/Fakes.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/Text.h"

namespace orvex::test {

using namespace std::chrono_literals;

std::string ToHex(const Bytes& bytes, size_t count) {
    std::string s;
    AppendHex(s, bytes.data(), std::min(count, bytes.size()));
    return s;
}

Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

Timings ShortTimings() {
    Timings t;
    for (Milliseconds* m : {&t.packetPause, &t.blockPacketPause, &t.blockSettlePause, &t.queryPause, &t.queryReadPause,
                            &t.controlReadTimeout, &t.initialFeaturePause, &t.arrivalDelay, &t.bleConnectDelay})
        *m = std::max(*m / 20, 1ms);
    return t;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

Texts Concat(std::initializer_list<Texts> parts) {
    Texts all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

long Count(const Texts& texts, const std::string& text) {
    return static_cast<long>(std::count(texts.begin(), texts.end(), text));
}

// ---------------------------------------------------------------------------

// One open of a collection, as hid_open_path gives one; the device counts
// the handles alive.
class FakeHidHandle final : public HidDevice {
public:
    explicit FakeHidHandle(std::shared_ptr<FakeHidDevice> device) : m_device(std::move(device)) {
        ++m_device->m_handles;
    }
    ~FakeHidHandle() override { --m_device->m_handles; }

    int read_wait(uint8_t* data, size_t length, ReaderWake& wake) override {
        return m_device->ReadWait(data, length, wake);
    }
    int read_timeout(uint8_t* data, size_t length, int ms) override { return m_device->Read(data, length, ms); }
    int write(const uint8_t* data, size_t length) override {
        return m_device->Send(FakeHidDevice::Op::Write, m_device->onWrite, data, length);
    }
    int send_feature_report(const uint8_t* data, size_t length) override {
        return m_device->Send(FakeHidDevice::Op::SendFeature, m_device->onSendFeature, data, length);
    }
    int get_feature_report(uint8_t* data, size_t length) override { return m_device->GetFeature(data, length); }

private:
    std::shared_ptr<FakeHidDevice> m_device;
};

void FakeHidDevice::QueueInput(Bytes report) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_input.push_back(std::move(report));
    m_cv.notify_all();
}

size_t FakeHidDevice::PendingInput() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_input.size();
}

int FakeHidDevice::WaitingReads() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_waiting;
}

void FakeHidDevice::Unplug() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_present = false;
    m_cv.notify_all();
}

bool FakeHidDevice::Present() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_present;
}

std::vector<FakeHidDevice::Call> FakeHidDevice::Calls(Op op) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Call> out;
    for (auto& c : m_calls)
        if (c.op == op) out.push_back(c);
    return out;
}

size_t FakeHidDevice::CallCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls.size();
}

void FakeHidDevice::ClearCalls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
}

// A timed read that finds nothing returns at once: the time-out of a real
// device, without the waiting. A blocking one waits for a report or the
// unplug, but a bounded time, so that a fault cannot hang the test.
int FakeHidDevice::Read(uint8_t* data, size_t length, int timeout) {
    if (onRead) onRead();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (timeout < 0) m_cv.wait_for(lock, 1s, [&] { return !m_present || !m_input.empty(); });
    if (!m_present) return -1;
    return PopLocked(data, length, timeout);
}

// A reader's wait: until a report, the unplug or the reader's stop request.
int FakeHidDevice::ReadWait(uint8_t* data, size_t length, ReaderWake& wake) {
    if (onRead) onRead();
    // Made before the lock and gone after it, as the wake wants.
    ReaderWake::Listener listener(wake, m_mutex, m_cv);
    std::unique_lock<std::mutex> lock(m_mutex);
    ++m_waiting;
    m_cv.wait(lock, [&] { return !m_present || wake.IsSet() || !m_input.empty(); });
    --m_waiting;
    if (!m_present) return -1;
    if (wake.IsSet()) return 0;
    return PopLocked(data, length, -1);
}

int FakeHidDevice::PopLocked(uint8_t* data, size_t length, int timeout) {
    if (m_input.empty()) {
        if (timeout != 0) m_calls.push_back({Op::Read, {}, length, timeout});
        return 0;
    }
    Bytes report = std::move(m_input.front());
    m_input.pop_front();
    const size_t n = std::min(length, report.size());
    std::memcpy(data, report.data(), n);
    m_calls.push_back({Op::Read, report, length, timeout});
    return static_cast<int>(n);
}

int FakeHidDevice::Send(Op op, const std::function<int(const Bytes&)>& script, const uint8_t* data, size_t length) {
    Bytes bytes(data, data + length);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_present) return -1;
        m_calls.push_back({op, bytes, length, -1});
    }
    // Outside the lock: a script may queue input or look at the calls.
    return script ? script(bytes) : static_cast<int>(length);
}

int FakeHidDevice::GetFeature(uint8_t* data, size_t length) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_present) return -1;
        m_calls.push_back({Op::GetFeature, Bytes{data[0]}, length, -1});
    }
    return onGetFeature ? onGetFeature(data, length) : static_cast<int>(length);
}

// ---------------------------------------------------------------------------

namespace {

std::string Hex4(uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", v);
    return text;
}

}  // namespace

std::shared_ptr<FakeHidDevice> FakeHidApi::Add(HidDeviceInfo entry) {
    auto device = std::make_shared<FakeHidDevice>(std::move(entry));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_devices.push_back(device);
    return device;
}

std::vector<std::shared_ptr<FakeHidDevice>> FakeHidApi::Add(const sim::DeviceModel& model, const std::string& node,
                                                            const std::string& key) {
    return Add(model, Texts(model.collections.size(), node), key);
}

std::vector<std::shared_ptr<FakeHidDevice>> FakeHidApi::Add(const sim::DeviceModel& model, const Texts& nodes,
                                                            const std::string& key) {
    std::vector<std::shared_ptr<FakeHidDevice>> added;
    for (size_t i = 0; i < model.collections.size(); ++i) {
        HidDeviceInfo entry;
        entry.path = nodes.at(i);
        entry.vendor_id = model.vendor_id;
        entry.product_id = model.product_id;
        entry.usage_page = model.collections[i].usage_page;
        entry.usage = model.collections[i].usage;
        entry.bus_type = model.bus;
        entry.pairing_key = key;
        added.push_back(Add(entry));
    }
    return added;
}

void FakeHidApi::Unplug(const std::string& key) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& device : m_devices)
        if (device->info.pairing_key == key) device->Unplug();
}

int FakeHidApi::init() {
    m_log->Add("init");
    return initResult;
}

std::vector<HidDeviceInfo> FakeHidApi::enumerate(uint16_t vendor, uint16_t product) {
    m_log->Add("enumerate " + Hex4(vendor) + ":" + Hex4(product));
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<HidDeviceInfo> entries;
    for (const auto& device : m_devices)
        if (device->Present() && (vendor == 0 || device->info.vendor_id == vendor) &&
            (product == 0 || device->info.product_id == product))
            entries.push_back(device->info);
    return entries;
}

std::shared_ptr<HidDevice> FakeHidApi::open(const HidDeviceInfo& entry, HidOpenError* error) {
    HidOpenError ignored;
    if (!error) error = &ignored;
    m_log->Add("open " + entry.path + " " + Hex4(entry.usage_page) + ":" + Hex4(entry.usage));
    std::lock_guard<std::mutex> lock(m_mutex);
    *error = HidOpenError::NotFound;
    for (const auto& device : m_devices) {
        const HidDeviceInfo& info = device->info;
        if (!device->Present() || info.path != entry.path || info.usage_page != entry.usage_page ||
            info.usage != entry.usage)
            continue;
        *error = device->openError;
        if (*error != HidOpenError::None) return nullptr;
        return std::make_shared<FakeHidHandle>(device);
    }
    return nullptr;
}

// ---------------------------------------------------------------------------

void FakeClock::sleep_for(std::chrono::milliseconds duration) {
    Hook hook;
    size_t index;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        index = m_sleeps.size();
        m_sleeps.push_back(static_cast<long>(duration.count()));
        hook = m_hook;
    }
    if (hook) hook(duration, index);
    if (m_cap.count() > 0) std::this_thread::sleep_for(std::min(duration, m_cap));
}

std::vector<long> FakeClock::Sleeps() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sleeps;
}

void FakeClock::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sleeps.clear();
}

void FakeClock::SetHook(Hook hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hook = std::move(hook);
}

// ---------------------------------------------------------------------------

struct FakeMonitor::Subscription {
    boost::asio::io_context* loop;
    Handler handler;
    std::atomic<bool> active{true};
};

bool FakeMonitor::start(boost::asio::io_context& loop, Handler handler) {
    if (m_log) m_log->Add("monitor start");
    if (failStart) return false;
    auto subscription = std::make_shared<Subscription>();
    subscription->loop = &loop;
    subscription->handler = std::move(handler);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_subscription) m_subscription->active = false;
    m_subscription = std::move(subscription);
    return true;
}

void FakeMonitor::stop() {
    if (m_log) m_log->Add("monitor stop");
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_subscription) m_subscription->active = false;
    m_subscription.reset();
}

bool FakeMonitor::Deliver(const DeviceChange& change) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_subscription) return false;
    boost::asio::post(*m_subscription->loop, [sub = m_subscription, change] {
        if (sub->active) sub->handler(change);
    });
    return true;
}

namespace {

DeviceChange Change(DeviceChange::Kind kind, const std::string& path, uint16_t product, uint16_t vendor, uint16_t bus) {
    DeviceChange c;
    c.kind = kind;
    c.path = path;
    c.bus = bus;
    c.vendor_id = vendor;
    c.product_id = product;
    return c;
}

}  // namespace

DeviceChange Arrival(const std::string& path, uint16_t product, uint16_t vendor, uint16_t bus) {
    return Change(DeviceChange::Kind::Arrival, path, product, vendor, bus);
}

DeviceChange Removal(const std::string& path, uint16_t product, uint16_t vendor, uint16_t bus) {
    return Change(DeviceChange::Kind::Removal, path, product, vendor, bus);
}

std::string Describe(const DeviceChange& change) {
    char ids[64];
    std::snprintf(ids, sizeof(ids), " bus %04x %04x:%04x", change.bus, change.vendor_id, change.product_id);
    return (change.kind == DeviceChange::Kind::Arrival ? "arrival " : "removal ") + change.path + ids;
}

}  // namespace orvex::test
