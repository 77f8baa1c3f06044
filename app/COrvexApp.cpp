#include "app/COrvexApp.h"

#include <boost/asio/executor_work_guard.hpp>
#include <memory>

#include "app/BridgeRun.h"
#include "app/Trust.h"
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
    std::string noSession;
    const std::unique_ptr<SessionWatch> followed = FindSystemSession(&noSession);
    AlwaysActiveSession always;
    SessionWatch* session = &always;
    if (followed) {
        session = followed.get();
        diag_verbose("following session " + followed->id() + (followed->remote() ? " (remote: always active)" : ""));
    } else {
        diag_verbose(noSession + "; no session to follow, always active");
    }

    SteadyClock clock;
    const Timings timings;
    int status = -1;  // -1: running
    {
        BridgeSettings settings;
        settings.server = options.server;
        settings.server.peer_filter = NativePeerFilter();
        settings.origins = options.origins;
        settings.console = options.console;
        settings.simulated = devices.simulator != nullptr;
        settings.waitForPort = options.wait_for_port;
        settings.session = session;
        BridgeRun bridge(loop, Backends{*devices.hid, devices.monitor, devices.ble, clock, timings}, settings);
        AppTrust trustFile(options, bridge.trust());
        sim::Simulator* simulator = devices.simulator.get();
        if (simulator && !options.sim_control.empty() && !simulator->StartControlSocket(options.sim_control, &error)) {
            diag_error(error);
            return 2;
        }
        bridge.onReady = [](const std::string& line) { NotifyServiceReady(line); };
        bridge.onStatus = [](const std::string& line) { NotifyServiceStatus(line); };
        bridge.onEnd = [&](int end) {
            status = end;
            loop.stop();
        };
        bridge.Start();
        if (status < 0) {
            loop.run();
            NotifyServiceStopping();
        }
        bridge.Stop();
        trustFile.Stop();
        if (simulator) simulator->StopControlSocket();
    }
    return status < 0 ? 0 : status;
}

}  // namespace orvex
