#include "platform/windows/WinDeviceMonitor.h"

#include <dbt.h>
#include <windows.h>

#include <atomic>
#include <boost/asio/post.hpp>
#include <future>
#include <thread>

#include "platform/Log.h"
#include "platform/windows/InterfacePath.h"

namespace orvex {

struct WinDeviceMonitor::State {
    boost::asio::io_context* loop = nullptr;
    Handler handler;
    std::atomic<bool> running{true};
    HWND window = nullptr;
    HDEVNOTIFY registration = nullptr;
    std::thread thread;
};

namespace {

LRESULT CALLBACK MonitorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<WinDeviceMonitor::State*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_DEVICECHANGE && state && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) &&
        lParam) {
        const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
        // Only device interfaces carry a path to match; other kinds of
        // arrival (volumes, ports) are dropped here.
        if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
            const auto* device = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
            const auto kind = wParam == DBT_DEVICEARRIVAL ? DeviceChange::Kind::Arrival : DeviceChange::Kind::Removal;
            DeviceChange change = ParseInterfacePath(Narrow(device->dbcc_name), kind);
            boost::asio::post(*state->loop, [state, change] {
                if (state->running.load()) state->handler(change);
            });
        }
        return TRUE;
    }
    if (message == WM_CLOSE) {
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

WinDeviceMonitor::~WinDeviceMonitor() {
    stop();
}

bool WinDeviceMonitor::start(boost::asio::io_context& loop, Handler handler) {
    stop();
    auto state = std::make_shared<State>();
    state->loop = &loop;
    state->handler = std::move(handler);
    std::promise<bool> started;
    auto result = started.get_future();
    State* raw = state.get();
    state->thread = std::thread([raw, &started] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = MonitorWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"OrvexBridgeDeviceChange";
        RegisterClassW(&windowClass);
        raw->window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      windowClass.hInstance, nullptr);
        if (raw->window) {
            SetWindowLongPtrW(raw->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(raw));
            DEV_BROADCAST_DEVICEINTERFACE_W filter{};
            filter.dbcc_size = sizeof filter;
            filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            // With every interface class the GUID is no filter; HID
            // collections and Bluetooth LE devices are both among them.
            raw->registration = RegisterDeviceNotificationW(
                raw->window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
        }
        const bool ok = raw->window && raw->registration;
        if (!ok && raw->window) DestroyWindow(raw->window);
        started.set_value(ok);
        if (!ok) return;
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
        UnregisterDeviceNotification(raw->registration);
    });
    if (!result.get()) {
        state->thread.join();
        diag_warning("cannot register for device-change notifications");
        return false;
    }
    m_state = std::move(state);
    return true;
}

void WinDeviceMonitor::stop() {
    if (!m_state) return;
    m_state->running = false;
    PostMessageW(m_state->window, WM_CLOSE, 0, 0);
    m_state->thread.join();
    // Handlers already posted hold the raw pointer: keep the state until the
    // loop has run them (they see running == false and do nothing).
    auto keep = std::move(m_state);
    boost::asio::post(*keep->loop, [keep] {});
}

}  // namespace orvex
