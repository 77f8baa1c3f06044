#include "platform/windows/WinHidApi.h"

// windows.h first, and the hid headers in C linkage, which mingw-w64's lack.
// clang-format off
#include <windows.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
// clang-format on

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/windows/InterfacePath.h"

namespace orvex {

namespace {

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    explicit Handle(HANDLE handle) : h(handle) {}
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE && h != nullptr) CloseHandle(h);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool ok() const { return h != INVALID_HANDLE_VALUE && h != nullptr; }
};

bool ReadCaps(HANDLE device, HIDP_CAPS* caps) {
    PHIDP_PREPARSED_DATA data = nullptr;
    if (!HidD_GetPreparsedData(device, &data)) return false;
    const bool ok = HidP_GetCaps(data, caps) == HIDP_STATUS_SUCCESS;
    HidD_FreePreparsedData(data);
    return ok;
}

// One collection opened for overlapped I/O. Reports go in and out with their
// report id in the first byte; like hidapi, a read drops a leading report id
// of 0 (a device without numbered reports).
class WinHidDevice final : public HidDevice {
public:
    WinHidDevice(HANDLE handle, const HIDP_CAPS& caps) : m_handle(handle), m_caps(caps) {
        m_readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~WinHidDevice() override {
        CloseHandle(m_handle);
        if (m_readEvent) CloseHandle(m_readEvent);
        if (m_writeEvent) CloseHandle(m_writeEvent);
    }

    int read_wait(uint8_t* data, size_t length, ReaderWake& wake) override {
        return Read(data, length, INFINITE, &wake);
    }
    int read_timeout(uint8_t* data, size_t length, int milliseconds) override {
        return Read(data, length, milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds), nullptr);
    }

    int write(const uint8_t* data, size_t length) override {
        if (length == 0 || !m_writeEvent) return -1;
        // Windows takes output reports only at their full length.
        std::vector<uint8_t> report(std::max<size_t>(length, m_caps.OutputReportByteLength), 0);
        std::memcpy(report.data(), data, length);
        std::lock_guard<std::mutex> lock(m_writeMutex);
        OVERLAPPED overlapped{};
        overlapped.hEvent = m_writeEvent;
        DWORD written = 0;
        if (!WriteFile(m_handle, report.data(), static_cast<DWORD>(report.size()), nullptr, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING)
            return -1;
        // A device that never takes the report must not hold the caller
        // forever: 1 s, then the write is given up.
        if (WaitForSingleObject(m_writeEvent, 1000) != WAIT_OBJECT_0) {
            CancelIo(m_handle);
            GetOverlappedResult(m_handle, &overlapped, &written, TRUE);
            return -1;
        }
        if (!GetOverlappedResult(m_handle, &overlapped, &written, FALSE)) return -1;
        return static_cast<int>(std::min<size_t>(length, written));
    }

    int send_feature_report(const uint8_t* data, size_t length) override {
        std::vector<uint8_t> report(std::max<size_t>(length, m_caps.FeatureReportByteLength), 0);
        std::memcpy(report.data(), data, length);
        return HidD_SetFeature(m_handle, report.data(), static_cast<ULONG>(report.size())) ? static_cast<int>(length)
                                                                                           : -1;
    }

    int get_feature_report(uint8_t* data, size_t length) override {
        if (length == 0) return -1;
        std::vector<uint8_t> report(std::max<size_t>(length, m_caps.FeatureReportByteLength), 0);
        report[0] = data[0];
        if (!HidD_GetFeature(m_handle, report.data(), static_cast<ULONG>(report.size()))) return -1;
        const size_t got =
            std::min<size_t>(length, m_caps.FeatureReportByteLength ? m_caps.FeatureReportByteLength : report.size());
        std::memcpy(data, report.data(), got);
        return static_cast<int>(got);
    }

private:
    // One read at a time: the reader thread and the command side never read
    // the same collection at once, but nothing else would stop them.
    int Read(uint8_t* data, size_t length, DWORD timeout, ReaderWake* wake) {
        std::lock_guard<std::mutex> lock(m_readMutex);
        if (m_failed || !m_readEvent) return -1;
        if (wake && wake->IsSet()) return 0;
        std::vector<uint8_t> report(std::max<size_t>(m_caps.InputReportByteLength, 1));
        OVERLAPPED overlapped{};
        overlapped.hEvent = m_readEvent;
        ResetEvent(m_readEvent);
        DWORD got = 0;
        if (!ReadFile(m_handle, report.data(), static_cast<DWORD>(report.size()), nullptr, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            m_failed = true;
            return -1;
        }
        HANDLE events[2] = {m_readEvent, wake ? static_cast<HANDLE>(wake->waitable()) : nullptr};
        const DWORD count = events[1] ? 2 : 1;
        DWORD waited;
        if (wake && count == 1) {
            // No event for the wake: look at it every 10 ms.
            while ((waited = WaitForSingleObject(m_readEvent, 10)) == WAIT_TIMEOUT && !wake->IsSet()) {
            }
        } else {
            waited = WaitForMultipleObjects(count, events, FALSE, timeout);
        }
        if (waited != WAIT_OBJECT_0) {
            // Stopped or timed out: the pending read is cancelled and waited
            // for, as its buffer is ours.
            CancelIo(m_handle);
            GetOverlappedResult(m_handle, &overlapped, &got, TRUE);
            return 0;
        }
        if (!GetOverlappedResult(m_handle, &overlapped, &got, FALSE)) {
            m_failed = true;
            return -1;
        }
        size_t start = 0;
        if (got > 0 && report[0] == 0) start = 1;
        const size_t n = std::min<size_t>(length, got - start);
        std::memcpy(data, report.data() + start, n);
        return static_cast<int>(n);
    }

    HANDLE m_handle;
    HIDP_CAPS m_caps;
    HANDLE m_readEvent = nullptr;
    HANDLE m_writeEvent = nullptr;
    std::mutex m_readMutex, m_writeMutex;
    bool m_failed = false;
};

}  // namespace

std::vector<HidDeviceInfo> WinHidApi::enumerate(uint16_t vendor_id, uint16_t product_id) {
    std::vector<HidDeviceInfo> entries;
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO set = SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return entries;
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, i, &interfaceData); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
        std::vector<uint8_t> buffer(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, size, nullptr, nullptr)) continue;
        // No access asked: attributes and capabilities need none, and
        // collections that the system holds (keyboards, mice) open this way.
        Handle device(
            CreateFileW(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!device.ok()) continue;
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof attributes;
        HIDP_CAPS caps{};
        if (!HidD_GetAttributes(device.h, &attributes) || !ReadCaps(device.h, &caps)) continue;
        if (vendor_id != 0 && attributes.VendorID != vendor_id) continue;
        if (product_id != 0 && attributes.ProductID != product_id) continue;
        HidDeviceInfo entry;
        entry.path = Narrow(detail->DevicePath);
        entry.vendor_id = attributes.VendorID;
        entry.product_id = attributes.ProductID;
        entry.usage_page = caps.UsagePage;
        entry.usage = caps.Usage;
        entry.bus_type = ParseInterfacePath(entry.path, DeviceChange::Kind::Arrival).bus;
        entry.pairing_key = PathToken(entry.path);
        wchar_t serial[128] = {};
        if (HidD_GetSerialNumberString(device.h, serial, sizeof serial)) entry.serial_number = Narrow(serial);
        entries.push_back(std::move(entry));
    }
    SetupDiDestroyDeviceInfoList(set);
    return entries;
}

bool WinHidApi::same_path(const std::string& listed, const std::string& changed) const {
    return SameInterfacePath(listed, changed);
}

std::shared_ptr<HidDevice> WinHidApi::open(const HidDeviceInfo& entry, HidOpenError* error) {
    HANDLE handle =
        CreateFileW(Widen(entry.path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (error)
            *error = code == ERROR_ACCESS_DENIED                                    ? HidOpenError::PermissionDenied
                     : code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? HidOpenError::NotFound
                                                                                    : HidOpenError::Other;
        return nullptr;
    }
    HIDP_CAPS caps{};
    if (!ReadCaps(handle, &caps)) {
        CloseHandle(handle);
        if (error) *error = HidOpenError::Other;
        return nullptr;
    }
    if (error) *error = HidOpenError::None;
    return std::make_shared<WinHidDevice>(handle, caps);
}

}  // namespace orvex
