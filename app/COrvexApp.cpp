#include "app/COrvexApp.h"

#include <csignal>
#include <memory>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/signal_set.hpp>

#include "app/COrvexDlg.h"
#include "app/Console.h"
#include "app/Trust.h"
#include "bridge/WebSocketServer.h"
#include "platform/Log.h"
#include "platform/linux/BluezStack.h"
#include "platform/linux/HidrawApi.h"
#include "platform/linux/OpenFileLimit.h"
#include "platform/linux/PeerUid.h"
#include "platform/linux/SingleInstance.h"
#include "platform/linux/SystemdNotify.h"
#include "platform/linux/UdevMonitor.h"
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
        realHid = std::make_unique<HidrawApi>();
        realMonitor = std::make_unique<UdevMonitor>();
        realBle = std::make_unique<BluezStack>();
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

    // A page that vanishes mid-write must not kill the process.
    std::signal(SIGPIPE, SIG_IGN);

    DeviceBackends devices;
    if (!devices.Choose(options, &error)) {
        diag_error(error);
        return 2;
    }

    boost::asio::io_context loop;
    auto work = boost::asio::make_work_guard(loop);
    boost::asio::signal_set signals(loop, SIGINT, SIGTERM);
    signals.async_wait([&loop](const boost::system::error_code& ec, int) {
        if (!ec) loop.stop();
    });

    SteadyClock clock;
    WebSocketServer pages;
    OriginTrust trust(options.origins, options.server.allowed_origins, Timings().originAnswerTimeout);
    trust.SetPages(&pages);
    int status = 0;
    {
        AppTrust trustFile(options, trust);
        COrvexDlg dialog(loop, Backends{*devices.hid, devices.monitor, devices.ble, clock}, pages);
        sim::Simulator* simulator = devices.simulator.get();
        if (simulator && !options.sim_control.empty() && !simulator->StartControlSocket(options.sim_control, &error)) {
            diag_error(error);
            return 2;
        }
        Console console(dialog, pages, ConsoleSettings{options.console, simulator != nullptr});
        ServerConfig server = options.server;
        console.SetTrust(&trust);
        server.origin_gate = &trust;
        server.peer_filter = ForeignLoopbackPeer;
        console.Attach(server);
        switch (dialog.OnInitDialog(server, &error)) {
        case COrvexDlg::InitResult::Running: {
            const std::string listening =
                "listening on " + options.server.address + " port " + std::to_string(pages.port());
            diag_verbose(listening);
            if (options.console)
                diag_verbose("console on http://" + options.server.address + ":" + std::to_string(pages.port()) +
                             "/");
            if (options.console) trust.SetConsoleUrl(ConsoleUrl(options.server.address, pages.port()));
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
