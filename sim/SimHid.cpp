// The simulator's HID side: the handles of open collections, what the
// devices answer, enumeration, open and the hot-plug monitor.
#include <algorithm>
#include <boost/asio/post.hpp>
#include <condition_variable>

#include "platform/Text.h"
#include "sim/SimCore.h"

namespace orvex::sim {

namespace {

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
            if (desc.bus == "ble") info.serial_number = AsciiLower(desc.address);
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

}  // namespace orvex::sim
