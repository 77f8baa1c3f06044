// A scripted HID collection that records every call made on it, and a
// HidApi that hands out such collections. Thread-safe: readers and the
// command side may use one device at once.
#pragma once

#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/HidApi.h"

namespace orvex::test {

using Bytes = std::vector<uint8_t>;

class FakeHidDevice final : public HidDevice {
public:
    enum class Op { SetNonblocking, Read, Write, SendFeature, GetFeature };
    struct Call {
        Op op;
        Bytes bytes;     // what was given (writes, sends) or asked for (get: the id byte)
        size_t length;   // the length argument
        int timeout;     // read_timeout's argument; -1 for read
    };

    // Result of a send: default accepts every send and returns its length.
    std::function<int(const Bytes& data)> onSendFeature;
    // Fills a feature report whose id is data[0]; default leaves the buffer
    // and returns the length.
    std::function<int(uint8_t* data, size_t length)> onGetFeature;
    // Result of a write: default accepts it. May queue input in response.
    std::function<int(const Bytes& data)> onWrite;

    void QueueInput(Bytes report) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_input.push_back(std::move(report));
    }
    size_t PendingInput() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_input.size();
    }
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    // Calls of one kind, in order.
    std::vector<Call> Calls(Op op) {
        std::vector<Call> out;
        for (auto& c : Calls())
            if (c.op == op) out.push_back(c);
        return out;
    }
    void ClearCalls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.clear();
    }

    int set_nonblocking(bool nonblocking) override {
        Record({Op::SetNonblocking, {}, static_cast<size_t>(nonblocking), -1});
        return 0;
    }
    int read(uint8_t* data, size_t length) override { return Pop(data, length, -1); }
    int read_timeout(uint8_t* data, size_t length, int milliseconds) override {
        return Pop(data, length, milliseconds);
    }
    int write(const uint8_t* data, size_t length) override {
        Bytes bytes(data, data + length);
        Record({Op::Write, bytes, length, -1});
        auto hook = Hook(onWrite);
        return hook ? hook(bytes) : static_cast<int>(length);
    }
    int send_feature_report(const uint8_t* data, size_t length) override {
        Bytes bytes(data, data + length);
        Record({Op::SendFeature, bytes, length, -1});
        auto hook = Hook(onSendFeature);
        return hook ? hook(bytes) : static_cast<int>(length);
    }
    int get_feature_report(uint8_t* data, size_t length) override {
        Record({Op::GetFeature, Bytes{data[0]}, length, -1});
        auto hook = Hook(onGetFeature);
        return hook ? hook(data, length) : static_cast<int>(length);
    }

private:
    template <typename F>
    F Hook(const F& f) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return f;
    }
    void Record(Call call) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(std::move(call));
    }
    // A queued report, cut to the caller's length; 0 when none waits (the
    // time-out of a real device, without the waiting).
    int Pop(uint8_t* data, size_t length, int timeout) {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Polls of an idle device are not worth recording.
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

    std::mutex m_mutex;
    std::deque<Bytes> m_input;
    std::vector<Call> m_calls;
};

// Enumerates a fixed list of entries and opens each one to its fake.
class FakeHidApi final : public HidApi {
public:
    void Add(HidDeviceInfo info, std::shared_ptr<FakeHidDevice> device) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.push_back({std::move(info), std::move(device)});
    }
    int init() override { return 0; }
    std::vector<HidDeviceInfo> enumerate(uint16_t vendor_id, uint16_t product_id) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<HidDeviceInfo> out;
        for (auto& e : m_entries)
            if (e.info.vendor_id == vendor_id && (product_id == 0 || e.info.product_id == product_id))
                out.push_back(e.info);
        return out;
    }
    std::shared_ptr<HidDevice> open(const HidDeviceInfo& entry, HidOpenError* error) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& e : m_entries)
            if (e.info.path == entry.path && e.info.usage_page == entry.usage_page && e.info.usage == entry.usage) {
                if (error) *error = HidOpenError::None;
                return e.device;
            }
        if (error) *error = HidOpenError::NotFound;
        return nullptr;
    }

private:
    struct Entry {
        HidDeviceInfo info;
        std::shared_ptr<FakeHidDevice> device;
    };
    std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

inline std::string ToHex(const Bytes& bytes, size_t count = static_cast<size_t>(-1)) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < bytes.size() && i < count; ++i) {
        s += kDigits[bytes[i] >> 4];
        s += kDigits[bytes[i] & 0xF];
    }
    return s;
}

inline Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace orvex::test
