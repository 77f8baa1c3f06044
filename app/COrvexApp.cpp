#include "app/COrvexApp.h"

#include <memory>

#include <boost/asio/executor_work_guard.hpp>

#include "app/COrvexDlg.h"
#include "app/Console.h"
#include "app/PortWait.h"
#include "app/Trust.h"
#include "bridge/WebSocketServer.h"
#include "platform/Log.h"
#include "platform/Native.h"
#include "platform/SessionWatch.h"
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

    // The bridge serves while its login session is the one in front; where
    // there is no session to follow, always.
    NativeSession logind;
    AlwaysActiveSession always;
    SessionWatch* session = &always;
    std::string noSession;
    if (logind.Find(&noSession)) {
        session = &logind;
        diag_verbose("following session " + logind.id() + (logind.remote() ? " (remote: always active)" : ""));
    } else {
        diag_verbose(noSession + "; no session to follow, always active");
    }

    SteadyClock clock;
    WebSocketServer pages;
    const Timings timings;
    OriginTrust trust(options.origins, options.server.allowed_origins, timings.originAnswerTimeout);
    trust.SetPages(&pages);
    int status = -1;  // -1: running
    {
        AppTrust trustFile(options, trust);
        COrvexDlg dialog(loop, Backends{*devices.hid, devices.monitor, devices.ble, clock, timings}, pages);
        sim::Simulator* simulator = devices.simulator.get();
        if (simulator && !options.sim_control.empty() && !simulator->StartControlSocket(options.sim_control, &error)) {
            diag_error(error);
            return 2;
        }
        Console console(dialog, pages, ConsoleSettings{options.console, simulator != nullptr, session});
        ServerConfig server = options.server;
        console.SetTrust(&trust);
        server.origin_gate = &trust;
        server.peer_filter = NativePeerFilter();
        console.Attach(server);
        PortWait listening(loop, dialog, pages, server);
        listening.onListening = [&] {
            const std::string port = std::to_string(pages.port());
            const std::vector<std::string> addresses = pages.listening_addresses();
            const std::string line = "listening on " + addresses.front() + " port " + port;
            diag_verbose(line);
            for (size_t i = 1; i < addresses.size(); ++i)
                diag_verbose("also listening on " + addresses[i] + " port " + port);
            if (options.console)
                diag_verbose("console on http://" + options.server.address + ":" + std::to_string(pages.port()) +
                             "/");
            if (options.console) trust.SetConsoleUrl(ConsoleUrl(options.server.address, pages.port()));
            NotifyServiceReady(line);
        };
        listening.onWaiting = [](const std::string& line) { NotifyServiceStatus(line); };

        // The start-up steps; at start-up a held port ends the bridge unless
        // it may wait, after a session switch it is always waited for.
        auto startUp = [&](bool atStart) {
            switch (dialog.StartDevices(&error)) {
            case COrvexDlg::InitResult::HidInitFailed:
                // No devices and no server, but the process stays until asked to end.
                diag_error(error);
                return;
            case COrvexDlg::InitResult::Running:
            case COrvexDlg::InitResult::ListenFailed:
                break;
            }
            const bool wait = !atStart || options.wait_for_port;
            const Milliseconds first = atStart ? timings.portRetryFirst : timings.portRetryAfterSwitch;
            if (listening.Start(wait, first, timings.portRetryLast, &error) == PortWait::Outcome::Failed) {
                diag_error(error);
                status = 1;
                loop.stop();
            }
        };
        const std::string named = "session " + session->id();
        session->start(loop, [&](SessionWatch::Change change) {
            switch (change) {
            case SessionWatch::Change::Inactive:
                listening.Cancel();
                dialog.Suspend();
                diag_info(named + " is inactive: pages closed, devices released, not listening");
                NotifyServiceStatus(named + " is inactive: not serving");
                break;
            case SessionWatch::Change::Active:
                diag_info(named + " is active again: opening the devices and listening");
                startUp(false);
                break;
            case SessionWatch::Change::Ended:
                diag_info(named + " ended; exiting");
                status = 0;
                loop.stop();
                break;
            }
        });
        if (session->active()) {
            startUp(true);
        } else {
            diag_info(named + " is inactive: waiting for it to become active before serving");
            // Nothing to wait for: the bridge is up, and idle on purpose.
            NotifyServiceReady(named + " is inactive: not serving");
        }
        if (status < 0) {
            loop.run();
            NotifyServiceStopping();
        }
        session->stop();
        listening.Cancel();
        dialog.OnDestroy();
        if (simulator) simulator->StopControlSocket();
    }
    return status < 0 ? 0 : status;
}

}  // namespace orvex
