#include "app/COrvexApp.h"

#include <memory>

#include <boost/asio/executor_work_guard.hpp>

#include "app/COrvexDlg.h"
#include "app/Console.h"
#include "bridge/WebSocketServer.h"
#include "platform/Log.h"
#include "platform/Native.h"
#include "sim/Simulator.h"

namespace orvex {

namespace {

// The devices the bridge talks to: the simulator's with --simulate, else the
// machine's own.
struct DeviceBackends {
    std::unique_ptr<sim::Simulator> simulator;
    std::unique_ptr<HidApi> realHid;
    std::unique_ptr<DeviceMonitor> realMonitor;
    std::unique_ptr<BleStack> realBle;
    HidApi* hid = nullptr;
    DeviceMonitor* monitor = nullptr;
    BleStack* ble = nullptr;

    // False with the reason when the scenario file cannot be used.
    bool Choose(const Options& options, std::string* error) {
        if (!options.simulate.empty()) {
            simulator = sim::Simulator::LoadScenarioFile(options.simulate, error);
            if (!simulator) return false;
            hid = &simulator->hid();
            monitor = &simulator->monitor();
            ble = &simulator->ble();
            return true;
        }
        realHid = std::make_unique<NativeHidApi>();
        realMonitor = std::make_unique<NativeDeviceMonitor>();
        realBle = std::make_unique<NativeBleStack>();
        hid = realHid.get();
        monitor = realMonitor.get();
        ble = realBle.get();
        return true;
    }
};

}  // namespace

int COrvexApp::InitInstance(const Options& options) {
    set_log_options(LogOptions{options.quiet, options.verbose});
    RaiseOpenFileLimit();

    SingleInstanceLock instance;
    std::string error;
    switch (instance.Acquire(kInstanceName, &error)) {
    case SingleInstanceLock::Result::AlreadyRunning:
        diag_info("another instance is already running (" + instance.path() + "); exiting");
        // A service manager that started this one then sees a clean start
        // and end, not a failure to restart.
        NotifyServiceReady("another instance is already running");
        return 0;
    case SingleInstanceLock::Result::Failed:
        // Without the guard two bridges could fight over the devices; still
        // better to serve than to refuse.
        diag_warning(error + "; running without the single-instance guard");
        break;
    case SingleInstanceLock::Result::Acquired:
        break;
    }

    DeviceBackends devices;
    if (!devices.Choose(options, &error)) {
        diag_error(error);
        return 2;
    }

    boost::asio::io_context loop;
    auto work = boost::asio::make_work_guard(loop);
    StopRequests stopRequests(loop);

    SteadyClock clock;
    WebSocketServer pages;
    int status = 0;
    {
        COrvexDlg dialog(loop, Backends{*devices.hid, devices.monitor, devices.ble, clock}, pages);
        sim::Simulator* simulator = devices.simulator.get();
        if (simulator && !options.sim_control.empty() && !simulator->StartControlSocket(options.sim_control, &error)) {
            diag_error(error);
            return 2;
        }
        Console console(dialog, pages, ConsoleSettings{options.console, simulator != nullptr});
        ServerConfig server = options.server;
        console.Attach(server);
        switch (dialog.OnInitDialog(server, &error)) {
        case COrvexDlg::InitResult::Running: {
            const std::string listening =
                "listening on " + options.server.address + " port " + std::to_string(pages.port());
            diag_verbose(listening);
            if (options.console)
                diag_verbose("console on http://" + options.server.address + ":" + std::to_string(pages.port()) +
                             "/");
            NotifyServiceReady(listening);
            loop.run();
            NotifyServiceStopping();
            break;
        }
        case COrvexDlg::InitResult::HidInitFailed:
            // No devices and no server, but the process stays until asked to end.
            diag_error(error);
            loop.run();
            break;
        case COrvexDlg::InitResult::ListenFailed:
            diag_error(error);
            status = 1;
            break;
        }
        dialog.OnDestroy();
        if (simulator) simulator->StopControlSocket();
    }
    return status;
}

}  // namespace orvex
