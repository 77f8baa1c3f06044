#include "sim/Simulator.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>

#include "sim/ControlSocket.h"
#include "sim/DeviceContract.h"
#include "sim/Scenario.h"
#include "sim/Scheduler.h"
#include "sim/SimBle.h"

namespace orvex::sim {

using nlohmann::json;

namespace {

// The simulator's devices are the reference copy of the device contract:
// their models (sim/Devices.cpp), descriptors (sim/ReportDescriptors.h) and
// query answers (sim/DeviceContract.h, which the kernel suite's uhid
// emulator shares). The other copies are checked against them in
// tests/sim/device_contract_test.cpp.

// Like the kernel's per-reader buffer: a handle nobody reads must not grow
// without bound. The oldest reports go first, as they do there.
constexpr size_t kMaxQueuedReports = 1024;
// Long runs under a page that sends many commands: keep the newest entries.
constexpr size_t kMaxLogEntries = 100000;
constexpr size_t kMaxReportSize = 4096;
constexpr size_t kDataReportSize = 64;
constexpr size_t kAnswerBytesPerReport = 59;
constexpr size_t kAnswerOffset = 3;

bool IsOutputQueryRequest(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 12 || bytes[0] != 0x04 || bytes[1] != 0x0C || bytes[2] != 0xA0) return false;
    unsigned sum = 0;
    for (size_t i = 0; i < 10; ++i) sum += bytes[i];
    return (sum & 0xFFFF) == ((static_cast<unsigned>(bytes[10]) << 8) | bytes[11]);
}

size_t DataReportCount(uint8_t code) {
    const orvex_query_code* q = orvex_find_query_code(code);
    return q != nullptr ? q->answer_reports : 1;
}

}  // namespace

class SimHandle;

struct Simulator::Core : std::enable_shared_from_this<Simulator::Core> {
    struct Device {
        DeviceSpec desc;
        bool attached = true;
        uint64_t generation = 0;  // bumped at every detach: older handles are dead
        bool ready = false;       // a feature query request has been received
        int acks_skipped = 0;     // acknowledgeable reports ignored so far (ack_after)
        int rejects_left = 0;     // feature sends still to refuse (reject_feature)
        std::vector<std::vector<std::weak_ptr<SimHandle>>> handles;  // per collection
        std::deque<Received> log;
        size_t dropped = 0;
        int waiting_reads = 0;  // reads blocked on the device's handles

        int InputCollection() const {
            for (uint16_t page : {kInputUsagePage, kVendorInputUsagePage})
                for (size_t i = 0; i < desc.collections.size(); ++i)
                    if (desc.collections[i].usage_page == page) return static_cast<int>(i);
            return -1;
        }
        void Reset() {
            ready = false;
            acks_skipped = 0;
            rejects_left = desc.behaviour.reject_feature;
        }
    };

    struct Subscription {
        boost::asio::io_context* loop = nullptr;
        DeviceMonitor::Handler handler;
        std::atomic<bool> active{true};
    };

    class Hid final : public HidApi {
    public:
        explicit Hid(Core& core) : m_core(core) {}
        int init() override { return 0; }
        std::vector<HidDeviceInfo> enumerate(uint16_t vendor_id, uint16_t product_id) override;
        std::shared_ptr<HidDevice> open(const HidDeviceInfo& entry, HidOpenError* error) override;

    private:
        Core& m_core;
    };

    class Monitor final : public DeviceMonitor {
    public:
        explicit Monitor(Core& core) : m_core(core) {}
        bool start(boost::asio::io_context& loop, Handler handler) override;
        void stop() override;

    private:
        Core& m_core;
    };

    Core() : hid(*this), monitor(*this), ble(scheduler, BleHooks()) {}

    // The BLE devices record into the same log, and answer from the same
    // behaviour, as their HID side.
    SimBle::Hooks BleHooks() {
        SimBle::Hooks hooks;
        hooks.record = [this](const std::string& name, const char* kind, int collection,
                              const std::vector<uint8_t>& bytes, bool rejected) {
            std::lock_guard<std::mutex> lock(mutex);
            if (Device* device = FindLocked(name, nullptr)) RecordLocked(*device, kind, collection, bytes, rejected);
        };
        hooks.answer = [this](const std::string& name, uint8_t code, std::vector<uint8_t>* answer, bool* silent) {
            std::lock_guard<std::mutex> lock(mutex);
            Device* device = FindLocked(name, nullptr);
            if (!device) return false;
            *silent = device->desc.behaviour.silent;
            auto it = device->desc.behaviour.answers.find(code);
            if (it == device->desc.behaviour.answers.end()) return false;
            *answer = it->second;
            return true;
        };
        return hooks;
    }

    std::mutex mutex;
    std::vector<Device> devices;
    const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    bool shutdown = false;
    std::shared_ptr<Subscription> subscription;
    Hid hid;
    Monitor monitor;
    SimBle ble;  // its tasks run on the scheduler, which is stopped first
    // Last, so that it is stopped before the state its tasks use goes away.
    Scheduler scheduler;

    int64_t NowMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    }
    static std::string PathOf(const DeviceSpec& desc, size_t collection) {
        return "/dev/sim/" + desc.name + "/" + std::to_string(collection);
    }

    // The rest requires mutex held.
    Device* FindLocked(const std::string& name, std::string* error) {
        for (auto& device : devices)
            if (device.desc.name == name) return &device;
        if (error) *error = "unknown device " + Quote(name);
        return nullptr;
    }
    void RecordLocked(Device& device, const char* kind, int collection, std::vector<uint8_t> bytes, bool rejected) {
        if (device.log.size() >= kMaxLogEntries) {
            device.log.pop_front();
            ++device.dropped;
        }
        device.log.push_back(Received{NowMs(), kind, collection, std::move(bytes), rejected});
    }
    size_t DeliverLocked(Device& device, int collection, const std::vector<uint8_t>& report);
    void PostChangesLocked(const Device& device, DeviceChange::Kind kind);
    void KillHandlesLocked(Device& device);

    // Called by the delayed acknowledgement: a device re-plugged meanwhile is
    // a new device and does not acknowledge what the old one received.
    void DeliverIfSameGeneration(size_t index, uint64_t generation, int collection, std::vector<uint8_t> report) {
        std::lock_guard<std::mutex> lock(mutex);
        if (shutdown || index >= devices.size()) return;
        Device& device = devices[index];
        if (!device.attached || device.generation != generation) return;
        DeliverLocked(device, collection, report);
    }

    void Shutdown() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            shutdown = true;
            for (auto& device : devices) KillHandlesLocked(device);
            if (subscription) subscription->active = false;
            subscription.reset();
        }
        ble.Shutdown();
        scheduler.Stop();
    }
};

// One open collection. Its queue and wake-up belong to the core's mutex.
class SimHandle final : public HidDevice {
public:
    using Core = Simulator::Core;
    SimHandle(std::shared_ptr<Core> core, size_t device, int collection, uint64_t generation)
        : m_core(std::move(core)), m_device(device), m_collection(collection), m_generation(generation) {}

    int read_wait(uint8_t* data, size_t length, ReaderWake& wake) override;
    int read_timeout(uint8_t* data, size_t length, int milliseconds) override;
    int write(const uint8_t* data, size_t length) override;
    int send_feature_report(const uint8_t* data, size_t length) override;
    int get_feature_report(uint8_t* data, size_t length) override;

    void PushLocked(const std::vector<uint8_t>& report) {
        if (m_queue.size() >= kMaxQueuedReports) m_queue.pop_front();
        m_queue.push_back(report);
        m_wake.notify_all();
    }
    void WakeLocked() { m_wake.notify_all(); }

private:
    bool AliveLocked() const {
        if (m_core->shutdown) return false;
        const Core::Device& device = m_core->devices[m_device];
        return device.attached && device.generation == m_generation;
    }
    Core::Device& DeviceLocked() { return m_core->devices[m_device]; }
    int PopLocked(uint8_t* data, size_t length) {
        std::vector<uint8_t> report = std::move(m_queue.front());
        m_queue.pop_front();
        const size_t n = std::min(length, report.size());
        std::copy(report.begin(), report.begin() + static_cast<long>(n), data);
        return static_cast<int>(n);
    }
    // Counted, so that a test can tell that a reader is inside its wait.
    template <typename Wait>
    auto WaitLocked(Wait wait) {
        ++DeviceLocked().waiting_reads;
        auto result = wait();
        --DeviceLocked().waiting_reads;
        return result;
    }
    const UsagePair& UsageLocked() { return DeviceLocked().desc.collections[m_collection]; }
    std::vector<uint8_t> AnswerLocked(uint8_t code, size_t size);
    void AnswerOutputQueryLocked(uint8_t code);

    std::shared_ptr<Core> m_core;
    const size_t m_device;
    const int m_collection;
    const uint64_t m_generation;
    std::deque<std::vector<uint8_t>> m_queue;
    std::condition_variable m_wake;
};

int SimHandle::read_timeout(uint8_t* data, size_t length, int milliseconds) {
    if (!data) return -1;
    std::unique_lock<std::mutex> lock(m_core->mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0));
    while (true) {
        if (!AliveLocked()) return -1;
        if (!m_queue.empty()) return PopLocked(data, length);
        if (milliseconds == 0) return 0;
        if (milliseconds < 0) {
            WaitLocked([&] {
                m_wake.wait(lock);
                return true;
            });
        } else if (WaitLocked([&] { return m_wake.wait_until(lock, deadline); }) == std::cv_status::timeout) {
            if (!AliveLocked()) return -1;
            if (m_queue.empty()) return 0;
        }
    }
}

int SimHandle::read_wait(uint8_t* data, size_t length, ReaderWake& wake) {
    if (!data) return -1;
    // Made before the lock is taken and gone after it is released, as the
    // wake wants.
    ReaderWake::Listener listener(wake, m_core->mutex, m_wake);
    std::unique_lock<std::mutex> lock(m_core->mutex);
    while (true) {
        if (!AliveLocked()) return -1;
        // Before the queue: a stopped reader reads nothing more.
        if (wake.IsSet()) return 0;
        if (!m_queue.empty()) return PopLocked(data, length);
        WaitLocked([&] {
            m_wake.wait(lock);
            return true;
        });
    }
}

std::vector<uint8_t> SimHandle::AnswerLocked(uint8_t code, size_t size) {
    const auto& answers = DeviceLocked().desc.behaviour.answers;
    std::vector<uint8_t> answer;
    auto it = answers.find(code);
    if (it != answers.end()) {
        answer = it->second;
    } else {
        answer.resize(size);
        for (size_t i = 0; i < size; ++i) answer[i] = static_cast<uint8_t>(i);
        if (size > 0) answer[0] = code;
    }
    answer.resize(size, 0);
    return answer;
}

void SimHandle::AnswerOutputQueryLocked(uint8_t code) {
    Core::Device& device = DeviceLocked();
    std::vector<uint8_t> ack(kDataReportSize, 0);
    ack[0] = 0x04;
    ack[1] = 0x06;
    ack[2] = 0xC0;
    ack[3] = 0x01;
    m_core->DeliverLocked(device, m_collection, ack);
    const size_t count = DataReportCount(code);
    const std::vector<uint8_t> answer = AnswerLocked(code, count * kAnswerBytesPerReport);
    for (size_t k = 0; k < count; ++k) {
        std::vector<uint8_t> report(kDataReportSize, 0);
        report[0] = 0x04;
        report[1] = static_cast<uint8_t>(kDataReportSize);
        report[2] = static_cast<uint8_t>(k);
        std::copy(answer.begin() + k * kAnswerBytesPerReport, answer.begin() + (k + 1) * kAnswerBytesPerReport,
                  report.begin() + kAnswerOffset);
        m_core->DeliverLocked(device, m_collection, report);
    }
}

int SimHandle::write(const uint8_t* data, size_t length) {
    if (!data || length == 0) return -1;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    if (!AliveLocked()) return -1;
    Core::Device& device = DeviceLocked();
    std::vector<uint8_t> bytes(data, data + length);
    m_core->RecordLocked(device, "output", m_collection, bytes, false);
    if (UsageLocked() == kOutputControl && !device.desc.behaviour.silent && IsOutputQueryRequest(bytes))
        AnswerOutputQueryLocked(bytes[3]);
    return static_cast<int>(length);
}

int SimHandle::send_feature_report(const uint8_t* data, size_t length) {
    if (!data || length == 0) return -1;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    if (!AliveLocked()) return -1;
    Core::Device& device = DeviceLocked();
    std::vector<uint8_t> bytes(data, data + length);
    if (device.rejects_left > 0) {
        --device.rejects_left;
        m_core->RecordLocked(device, "feature", m_collection, std::move(bytes), true);
        return -1;
    }
    m_core->RecordLocked(device, "feature", m_collection, std::move(bytes), false);
    const Behaviour& behaviour = device.desc.behaviour;
    if (!(UsageLocked() == kFeatureControl) || behaviour.silent) return static_cast<int>(length);
    const uint8_t id = data[0];
    if (id == 0xA0) {
        device.ready = true;
    } else if (id != 0x0C && behaviour.ack) {
        if (device.acks_skipped < behaviour.ack_after) {
            ++device.acks_skipped;
        } else {
            const int input = device.InputCollection();
            if (input >= 0 && device.desc.collections[input].usage_page == kInputUsagePage) {
                std::vector<uint8_t> ack = {0x05, device.desc.device_id, 0x50, behaviour.ack_status, 0x00};
                Core* core = m_core.get();
                const size_t index = m_device;
                const uint64_t generation = m_generation;
                m_core->scheduler.Schedule(std::chrono::milliseconds(behaviour.ack_delay_ms),
                                           [core, index, generation, input, ack] {
                                               core->DeliverIfSameGeneration(index, generation, input, ack);
                                           });
            }
        }
    }
    return static_cast<int>(length);
}

int SimHandle::get_feature_report(uint8_t* data, size_t length) {
    if (!data || length == 0) return -1;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    if (!AliveLocked()) return -1;
    Core::Device& device = DeviceLocked();
    const uint8_t id = data[0];
    if (!(UsageLocked() == kFeatureControl) || device.desc.behaviour.silent) {
        m_core->RecordLocked(device, "get_feature", m_collection, {id}, true);
        return -1;
    }
    std::vector<uint8_t> out;
    if (id == 0xA0) {
        out.assign(length, 0);
        out[0] = 0xA0;
        if (length > 1) out[1] = device.ready ? 1 : 0;
    } else {
        out = AnswerLocked(id, length);
    }
    std::copy(out.begin(), out.end(), data);
    m_core->RecordLocked(device, "get_feature", m_collection, std::move(out), false);
    return static_cast<int>(length);
}

size_t Simulator::Core::DeliverLocked(Device& device, int collection, const std::vector<uint8_t>& report) {
    size_t delivered = 0;
    auto& list = device.handles[collection];
    for (auto it = list.begin(); it != list.end();) {
        if (auto handle = it->lock()) {
            handle->PushLocked(report);
            ++delivered;
            ++it;
        } else {
            it = list.erase(it);
        }
    }
    return delivered;
}

void Simulator::Core::KillHandlesLocked(Device& device) {
    for (auto& list : device.handles) {
        for (auto& weak : list)
            if (auto handle = weak.lock()) handle->WakeLocked();
        list.clear();
    }
}

void Simulator::Core::PostChangesLocked(const Device& device, DeviceChange::Kind kind) {
    if (!subscription) return;
    // Posted under the lock, so the loop sees the changes of concurrent plugs
    // in the order they happened to the device table.
    for (size_t i = 0; i < device.desc.collections.size(); ++i) {
        DeviceChange change;
        change.kind = kind;
        change.path = PathOf(device.desc, i);
        change.bus = device.desc.bus == "ble" ? kBusBluetooth : kBusUsb;
        change.vendor_id = device.desc.vendor_id;
        change.product_id = device.desc.product_id;
        boost::asio::post(*subscription->loop, [sub = subscription, change] {
            if (sub->active) sub->handler(change);
        });
    }
}

std::vector<HidDeviceInfo> Simulator::Core::Hid::enumerate(uint16_t vendor_id, uint16_t product_id) {
    std::lock_guard<std::mutex> lock(m_core.mutex);
    std::vector<HidDeviceInfo> list;
    for (const auto& device : m_core.devices) {
        const DeviceSpec& desc = device.desc;
        // Zero matches any id, for vendors as for products, as in hidapi.
        if (!device.attached || (vendor_id != 0 && desc.vendor_id != vendor_id)) continue;
        if (product_id != 0 && desc.product_id != product_id) continue;
        for (size_t i = 0; i < desc.collections.size(); ++i) {
            HidDeviceInfo info;
            info.path = PathOf(desc, i);
            info.vendor_id = desc.vendor_id;
            info.product_id = desc.product_id;
            info.usage_page = desc.collections[i].usage_page;
            info.usage = desc.collections[i].usage;
            info.bus_type = desc.bus == "ble" ? kBusBluetooth : kBusUsb;
            info.pairing_key = "sim:" + desc.name;
            // As the kernel gives a Bluetooth device's address: lower case.
            if (desc.bus == "ble")
                for (char c : desc.address) info.serial_number.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
            list.push_back(std::move(info));
        }
    }
    return list;
}

std::shared_ptr<HidDevice> Simulator::Core::Hid::open(const HidDeviceInfo& entry, HidOpenError* error) {
    HidOpenError ignored;
    if (!error) error = &ignored;
    std::lock_guard<std::mutex> lock(m_core.mutex);
    *error = HidOpenError::NotFound;
    if (m_core.shutdown) return nullptr;
    for (size_t index = 0; index < m_core.devices.size(); ++index) {
        Device& device = m_core.devices[index];
        for (size_t i = 0; i < device.desc.collections.size(); ++i) {
            if (PathOf(device.desc, i) != entry.path) continue;
            if (!device.attached) return nullptr;
            const Behaviour& behaviour = device.desc.behaviour;
            if (behaviour.open_error == OpenFailure::Permission) {
                *error = HidOpenError::PermissionDenied;
                return nullptr;
            }
            if (behaviour.open_error == OpenFailure::Other ||
                behaviour.fail_open_collections.count(static_cast<int>(i))) {
                *error = HidOpenError::Other;
                return nullptr;
            }
            auto handle =
                std::make_shared<SimHandle>(m_core.shared_from_this(), index, static_cast<int>(i), device.generation);
            device.handles[i].push_back(handle);
            *error = HidOpenError::None;
            return handle;
        }
    }
    return nullptr;
}

bool Simulator::Core::Monitor::start(boost::asio::io_context& loop, Handler handler) {
    std::lock_guard<std::mutex> lock(m_core.mutex);
    if (m_core.shutdown || !handler) return false;
    if (m_core.subscription) m_core.subscription->active = false;
    auto subscription = std::make_shared<Subscription>();
    subscription->loop = &loop;
    subscription->handler = std::move(handler);
    m_core.subscription = std::move(subscription);
    return true;
}

void Simulator::Core::Monitor::stop() {
    std::lock_guard<std::mutex> lock(m_core.mutex);
    if (m_core.subscription) m_core.subscription->active = false;
    m_core.subscription.reset();
}

// ---------------------------------------------------------------------------

Simulator::Simulator(std::shared_ptr<Core> core) : m_core(std::move(core)) {}

Simulator::~Simulator() {
    StopControlSocket();
    m_core->Shutdown();
}

std::unique_ptr<Simulator> Simulator::LoadScenarioText(const std::string& text, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    json scenario;
    try {
        scenario = json::parse(text);
    } catch (const json::exception& e) {
        *error = std::string("not valid JSON: ") + e.what();
        return nullptr;
    }
    std::vector<DeviceSpec> specs;
    if (!ParseScenario(scenario, &specs, error)) return nullptr;
    auto core = std::make_shared<Core>();
    for (auto& desc : specs) {
        Core::Device device;
        device.attached = desc.attached;
        device.handles.resize(desc.collections.size());
        if (desc.bus == "ble") {
            SimBleDevice ble;
            ble.name = desc.name;
            ble.vendor_id = desc.vendor_id;
            ble.product_id = desc.product_id;
            ble.address = desc.address;
            ble.attached = desc.attached;
            ble.connected = desc.connected;
            ble.device_id = desc.device_id;
            ble.writable = desc.writable;
            ble.cccd_handles = desc.cccd_handles;
            core->ble.AddDevice(ble);
        }
        device.desc = std::move(desc);
        device.Reset();
        core->devices.push_back(std::move(device));
    }
    return std::unique_ptr<Simulator>(new Simulator(std::move(core)));
}

std::unique_ptr<Simulator> Simulator::LoadScenarioFile(const std::string& file, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    // A scenario is a few kilobytes; the bound keeps a wrong path such as
    // /dev/zero from eating memory before start-up can fail.
    constexpr size_t kMaxScenarioSize = 16 << 20;
    struct stat info {};
    if (stat(file.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        *error = file + ": cannot read the scenario file: it is a directory";
        return nullptr;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        *error = file + ": cannot read the scenario file: " + std::strerror(errno);
        return nullptr;
    }
    std::string text;
    char buffer[65536];
    while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0) {
        text.append(buffer, static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxScenarioSize) {
            *error = file + ": the scenario file is larger than 16 MiB";
            return nullptr;
        }
    }
    if (in.bad()) {
        *error = file + ": cannot read the scenario file: " + std::strerror(errno);
        return nullptr;
    }
    auto simulator = LoadScenarioText(text, error);
    if (!simulator) *error = file + ": " + *error;
    return simulator;
}

HidApi& Simulator::hid() {
    return m_core->hid;
}
DeviceMonitor& Simulator::monitor() {
    return m_core->monitor;
}
BleStack& Simulator::ble() {
    return m_core->ble;
}
SimBle& Simulator::ble_devices() {
    return m_core->ble;
}

std::vector<std::string> Simulator::DeviceNames() {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    std::vector<std::string> names;
    for (const auto& device : m_core->devices) names.push_back(device.desc.name);
    return names;
}

std::vector<std::string> Simulator::CollectionPaths(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    std::vector<std::string> paths;
    if (Core::Device* device = m_core->FindLocked(name, nullptr))
        for (size_t i = 0; i < device->desc.collections.size(); ++i) paths.push_back(Core::PathOf(device->desc, i));
    return paths;
}

namespace {

// The core of QueueReport, which the control socket also needs for its count.
long QueueReportCounted(Simulator::Core& core, const std::string& name, const std::vector<uint8_t>& report,
                        int collection, std::string* error);

}  // namespace

bool Simulator::QueueReport(const std::string& name, const std::vector<uint8_t>& report, int collection,
                            std::string* error) {
    std::string ignored;
    return QueueReportCounted(*m_core, name, report, collection, error ? error : &ignored) >= 0;
}

namespace {

long QueueReportCounted(Simulator::Core& core, const std::string& name, const std::vector<uint8_t>& report,
                        int collection, std::string* error) {
    std::lock_guard<std::mutex> lock(core.mutex);
    auto* device = core.FindLocked(name, error);
    if (!device) return -1;
    if (report.empty() || report.size() > kMaxReportSize) {
        *error = "a report holds 1 to " + std::to_string(kMaxReportSize) + " bytes";
        return -1;
    }
    const int count = static_cast<int>(device->desc.collections.size());
    if (collection < 0) {
        collection = device->InputCollection();
        if (collection < 0) {
            *error = "device " + Quote(name) + " has no collection of usage page 0x000A or 0xFF00; give \"collection\"";
            return -1;
        }
    } else if (collection >= count) {
        *error = "collection " + std::to_string(collection) + " is out of range: device " + Quote(name) + " has " +
                 std::to_string(count) + " collection" + (count == 1 ? "" : "s");
        return -1;
    }
    if (!device->attached) {
        *error = "device " + Quote(name) + " is not attached";
        return -1;
    }
    return static_cast<long>(core.DeliverLocked(*device, collection, report));
}

}  // namespace

int Simulator::WaitingReads(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    Core::Device* device = m_core->FindLocked(name, nullptr);
    return device ? device->waiting_reads : 0;
}

std::vector<Received> Simulator::Log(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    Core::Device* device = m_core->FindLocked(name, nullptr);
    if (!device) return {};
    return std::vector<Received>(device->log.begin(), device->log.end());
}

void Simulator::Clear(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    if (Core::Device* device = m_core->FindLocked(name, nullptr)) {
        device->log.clear();
        device->dropped = 0;
    }
}

bool Simulator::Set(const std::string& name, const json& fields, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    Core::Device* device = m_core->FindLocked(name, error);
    if (!device) return false;
    std::set<std::string> given;
    if (!ApplyBehaviour(fields, device->desc.collections.size(), &device->desc.behaviour, &given, error)) return false;
    if (given.count("reject_feature")) device->rejects_left = device->desc.behaviour.reject_feature;
    if (given.count("ack_after")) device->acks_skipped = 0;
    return true;
}

bool Simulator::Plug(const std::string& name, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    Core::Device* device = m_core->FindLocked(name, error);
    if (!device) return false;
    if (device->attached) {
        *error = "device " + Quote(name) + " is already attached";
        return false;
    }
    device->attached = true;
    device->Reset();
    m_core->ble.SetAttached(name, true);
    m_core->PostChangesLocked(*device, DeviceChange::Kind::Arrival);
    return true;
}

bool Simulator::Unplug(const std::string& name, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    Core::Device* device = m_core->FindLocked(name, error);
    if (!device) return false;
    if (!device->attached) {
        *error = "device " + Quote(name) + " is not attached";
        return false;
    }
    device->attached = false;
    ++device->generation;
    device->Reset();
    m_core->KillHandlesLocked(*device);
    m_core->ble.SetAttached(name, false);
    m_core->PostChangesLocked(*device, DeviceChange::Kind::Removal);
    return true;
}

// ---------------------------------------------------------------------------
// Control requests

namespace {

using ojson = nlohmann::ordered_json;

ojson Failure(const std::string& message) {
    return ojson{{"ok", false}, {"error", message}};
}

bool RequireDevice(const json& request, std::string* name, ojson* reply) {
    if (!request.contains("device")) {
        *reply = Failure("missing field \"device\"");
        return false;
    }
    if (!request["device"].is_string()) {
        *reply = Failure("\"device\" must be a string");
        return false;
    }
    *name = request["device"].get<std::string>();
    return true;
}

}  // namespace

std::string Simulator::HandleControlRequest(const std::string& line) {
    ojson reply;
    try {
        json request;
        try {
            request = json::parse(line);
        } catch (const json::exception& e) {
            reply = Failure(std::string("malformed JSON: ") + e.what());
            return reply.dump(-1, ' ', false, ojson::error_handler_t::replace);
        }
        std::string name, error;
        if (!request.is_object()) {
            reply = Failure("a request is a JSON object with an \"op\"");
        } else if (!request.contains("op") || !request["op"].is_string()) {
            reply = Failure("missing field \"op\" (a string)");
        } else {
            const std::string op = request["op"].get<std::string>();
            if (op == "devices") {
                ojson list = ojson::array();
                std::lock_guard<std::mutex> lock(m_core->mutex);
                for (const auto& device : m_core->devices) {
                    ojson paths = ojson::array();
                    for (size_t i = 0; i < device.desc.collections.size(); ++i)
                        paths.push_back(Core::PathOf(device.desc, i));
                    // Handles the bridge still holds, closed or not read from.
                    size_t open = 0;
                    for (const auto& list : device.handles)
                        for (const auto& handle : list) open += handle.expired() ? 0 : 1;
                    list.push_back({{"name", device.desc.name},
                                    {"bus", device.desc.bus},
                                    {"vendor_id", device.desc.vendor_id},
                                    {"product_id", device.desc.product_id},
                                    {"device_id", device.desc.device_id},
                                    {"attached", device.attached},
                                    {"paths", paths},
                                    {"open_handles", open}});
                }
                reply = {{"ok", true}, {"devices", list}};
            } else if (op == "report") {
                if (RequireDevice(request, &name, &reply)) {
                    int64_t collection = -1;
                    std::vector<uint8_t> bytes;
                    if (!request.contains("hex") || !request["hex"].is_string()) {
                        reply = Failure("missing field \"hex\" (a string of hex digits)");
                    } else if (!ParseHex(request["hex"].get<std::string>(), &bytes, &error)) {
                        reply = Failure("hex: " + error);
                    } else if (request.contains("collection") &&
                               !ParseInteger(request["collection"], "collection", 0, 1000000, &collection, &error)) {
                        reply = Failure(error);
                    } else {
                        const long delivered =
                            QueueReportCounted(*m_core, name, bytes, static_cast<int>(collection), &error);
                        reply = delivered < 0 ? Failure(error) : ojson{{"ok", true}, {"delivered", delivered}};
                    }
                }
            } else if (op == "log") {
                if (RequireDevice(request, &name, &reply)) {
                    std::lock_guard<std::mutex> lock(m_core->mutex);
                    if (Core::Device* device = m_core->FindLocked(name, &error)) {
                        ojson received = ojson::array();
                        for (const auto& entry : device->log) {
                            ojson item = {{"t_ms", entry.t_ms},
                                          {"kind", entry.kind},
                                          {"collection", entry.collection},
                                          {"hex", ToHex(entry.bytes)}};
                            if (entry.rejected) item["rejected"] = true;
                            received.push_back(std::move(item));
                        }
                        reply = {{"ok", true}, {"received", received}};
                        if (device->dropped) reply["dropped"] = device->dropped;
                    } else {
                        reply = Failure(error);
                    }
                }
            } else if (op == "clear") {
                if (RequireDevice(request, &name, &reply)) {
                    std::lock_guard<std::mutex> lock(m_core->mutex);
                    if (Core::Device* device = m_core->FindLocked(name, &error)) {
                        device->log.clear();
                        device->dropped = 0;
                        reply = {{"ok", true}};
                    } else {
                        reply = Failure(error);
                    }
                }
            } else if (op == "set") {
                if (RequireDevice(request, &name, &reply)) {
                    json fields = json::object();
                    for (auto it = request.begin(); it != request.end(); ++it)
                        if (it.key() != "op" && it.key() != "device") fields[it.key()] = it.value();
                    reply = Set(name, fields, &error) ? ojson{{"ok", true}} : Failure(error);
                }
            } else if (op == "notify") {
                if (RequireDevice(request, &name, &reply)) {
                    std::vector<uint8_t> bytes;
                    if (!request.contains("hex") || !request["hex"].is_string()) {
                        reply = Failure("missing field \"hex\" (a string of hex digits, empty for an empty value)");
                    } else if (!ParseHex(request["hex"].get<std::string>(), &bytes, &error)) {
                        reply = Failure("hex: " + error);
                    } else if (bytes.size() > 512) {
                        reply = Failure("a notification holds at most 512 bytes");
                    } else {
                        const long delivered = m_core->ble.Notify(name, bytes, &error);
                        reply = delivered < 0 ? Failure(error) : ojson{{"ok", true}, {"delivered", delivered}};
                    }
                }
            } else if (op == "plug" || op == "unplug") {
                if (RequireDevice(request, &name, &reply)) {
                    const bool done = op == "plug" ? Plug(name, &error) : Unplug(name, &error);
                    reply = done ? ojson{{"ok", true}} : Failure(error);
                }
            } else {
                reply = Failure("unknown op " + Quote(op) + " (known: devices, report, log, clear, set, notify, plug, unplug)");
            }
        }
    } catch (const std::exception& e) {
        // Whatever a request holds, the reply is an answer, never a dead socket.
        reply = Failure(std::string("internal error: ") + e.what());
    }
    return reply.dump(-1, ' ', false, ojson::error_handler_t::replace);
}

// ---------------------------------------------------------------------------

bool Simulator::StartControlSocket(const std::string& path, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    std::lock_guard<std::mutex> lock(m_controlMutex);
    if (m_control) {
        *error = "the simulator's control socket is already open";
        return false;
    }
    auto control =
        std::make_unique<ControlSocket>([this](const std::string& line) { return HandleControlRequest(line); });
    if (!control->Start(path, error)) return false;
    m_control = std::move(control);
    return true;
}

void Simulator::StopControlSocket() {
    std::unique_ptr<ControlSocket> control;
    {
        std::lock_guard<std::mutex> lock(m_controlMutex);
        control = std::move(m_control);
    }
    if (control) control->Stop();
}

uint16_t Simulator::ControlPort() {
    std::lock_guard<std::mutex> lock(m_controlMutex);
    return m_control ? m_control->port() : 0;
}

}  // namespace orvex::sim
