// A scripted HID collection that records every call made on it, and a HidApi
// that hands such collections out. Thread-safe: a reader and the command side
// may use one device at once.
#pragma once

#include <condition_variable>
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

inline std::string ToHex(const Bytes& bytes, size_t count = static_cast<size_t>(-1)) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < bytes.size() && i < count; ++i) s += {kDigits[bytes[i] >> 4], kDigits[bytes[i] & 0xF]};
    return s;
}

inline Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

class FakeHidDevice final : public HidDevice {
public:
    enum class Op { Read, Write, SendFeature, GetFeature };
    struct Call {
        Op op;
        Bytes bytes;    // given (write, send), read (read), or the id asked for (get)
        size_t length;  // the length argument
        int timeout;    // of read_timeout; -1 for a reader's read_wait
    };

    // Each returns the call's result; defaults accept and return the length.
    std::function<int(const Bytes&)> onSendFeature;
    std::function<int(const Bytes&)> onWrite;  // may queue input in answer
    std::function<int(uint8_t* data, size_t length)> onGetFeature;

    void QueueInput(Bytes report) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_input.push_back(std::move(report));
        m_arrived.notify_all();
    }
    size_t PendingInput() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_input.size();
    }
    std::vector<Call> Calls(Op op) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Call> out;
        for (auto& c : m_calls)
            if (c.op == op) out.push_back(c);
        return out;
    }
    size_t CallCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls.size();
    }
    void ClearCalls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.clear();
    }

    // A reader waits here for queued input or its stop request.
    int read_wait(uint8_t* data, size_t length, ReaderWake& wake) override {
        ReaderWake::Listener listener(wake, m_mutex, m_arrived);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_arrived.wait(lock, [&] { return wake.IsSet() || !m_input.empty(); });
        return wake.IsSet() ? 0 : PopLocked(data, length, -1);
    }
    int read_timeout(uint8_t* data, size_t length, int ms) override { return Pop(data, length, ms); }
    int write(const uint8_t* data, size_t length) override { return Send(Op::Write, onWrite, data, length); }
    int send_feature_report(const uint8_t* data, size_t length) override {
        return Send(Op::SendFeature, onSendFeature, data, length);
    }
    int get_feature_report(uint8_t* data, size_t length) override {
        decltype(onGetFeature) hook;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_calls.push_back({Op::GetFeature, Bytes{data[0]}, length, -1});
            hook = onGetFeature;
        }
        return hook ? hook(data, length) : static_cast<int>(length);
    }

private:
    int Send(Op op, const std::function<int(const Bytes&)>& f, const uint8_t* data, size_t length) {
        Bytes bytes(data, data + length);
        std::function<int(const Bytes&)> hook;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_calls.push_back({op, bytes, length, -1});
            hook = f;
        }
        return hook ? hook(bytes) : static_cast<int>(length);
    }
    // A queued report cut to the caller's length; 0 when none waits: the
    // time-out of a real device, without the waiting.
    int Pop(uint8_t* data, size_t length, int timeout) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return PopLocked(data, length, timeout);
    }
    int PopLocked(uint8_t* data, size_t length, int timeout) {
        if (m_input.empty()) {
            if (timeout != 0) m_calls.push_back({Op::Read, {}, length, timeout});  // idle polls are noise
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
    std::condition_variable m_arrived;
    std::deque<Bytes> m_input;
    std::vector<Call> m_calls;
};

// Enumerates a fixed list of entries and opens each to its fake.
class FakeHidApi final : public HidApi {
public:
    void Add(HidDeviceInfo info, std::shared_ptr<FakeHidDevice> device) { m_entries.push_back({info, device}); }
    int init() override { return 0; }
    std::vector<HidDeviceInfo> enumerate(uint16_t vendor, uint16_t product) override {
        std::vector<HidDeviceInfo> out;
        for (auto& e : m_entries)
            if (e.first.vendor_id == vendor && (product == 0 || e.first.product_id == product)) out.push_back(e.first);
        return out;
    }
    std::shared_ptr<HidDevice> open(const HidDeviceInfo& entry, HidOpenError* error) override {
        for (auto& e : m_entries)
            if (e.first.path == entry.path && e.first.usage_page == entry.usage_page && e.first.usage == entry.usage)
                return e.second;
        if (error) *error = HidOpenError::NotFound;
        return nullptr;
    }

private:
    std::vector<std::pair<HidDeviceInfo, std::shared_ptr<FakeHidDevice>>> m_entries;  // filled before use
};

}  // namespace orvex::test
