// The device simulator: devices described as data behind the same seams as the
// real backends, answering as real devices do and recording what they receive.
// Every member is safe to call from any thread at any time.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "platform/BleStack.h"
#include "platform/DeviceMonitor.h"
#include "platform/HidApi.h"

namespace orvex::sim {

// One report a device received, or one feature report read from it.
struct Received {
    int64_t t_ms = 0;            // steady clock, since the simulator was created
    std::string kind;            // "feature" | "get_feature" | "output"
    int collection = 0;          // index into the device's collections
    std::vector<uint8_t> bytes;  // sent to the device; for "get_feature" what it returned
    bool rejected = false;       // the device refused the call (it returned -1)
};

class SimBle;

class Simulator {
public:
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Reads a scenario file; null with a message naming the file and problem.
    static std::unique_ptr<Simulator> LoadScenarioFile(const std::string& file, std::string* error);
    static std::unique_ptr<Simulator> LoadScenarioText(const std::string& json, std::string* error);

    HidApi& hid();
    DeviceMonitor& monitor();
    BleStack& ble();
    // The same stack, with the BLE devices' own controls (notify, ...).
    SimBle& ble_devices();

    // The JSON-lines control socket; false with a message when it cannot open.
    bool StartControlSocket(const std::string& path, std::string* error);
    void StopControlSocket();
    // The TCP port of a "tcp:PORT" control socket; 0 for none or a Unix one.
    uint16_t ControlPort();

    std::vector<std::string> DeviceNames();
    // The paths enumeration gives the device's collections, in collection
    // order (also while detached). Empty for an unknown device.
    std::vector<std::string> CollectionPaths(const std::string& device);

    // Queues an input report on one collection (-1: the first collection of
    // usage page 0x000A, else 0xFF00). Every handle open on it gets a copy;
    // with none open the report is lost, as on a real node.
    bool QueueReport(const std::string& device, const std::vector<uint8_t>& report, int collection, std::string* error);

    // Reads that wait on the device's handles right now: a reader waiting for
    // its next report counts one. 0 for an unknown device.
    int WaitingReads(const std::string& device);

    std::vector<Received> Log(const std::string& device);
    void Clear(const std::string& device);

    // Changes behaviour fields (the keys a scenario device may carry). All or
    // nothing.
    bool Set(const std::string& device, const nlohmann::json& behaviourFields, std::string* error);

    // Attach or detach: changes what enumeration sees and posts one
    // DeviceChange per collection path, in collection order, to the loop the
    // monitor was started with. Handles of a detached device stay dead.
    bool Plug(const std::string& device, std::string* error);
    bool Unplug(const std::string& device, std::string* error);

    // One JSON request line in, one JSON reply out (no line end).
    std::string HandleControlRequest(const std::string& line);

    struct Core;

private:
    class ControlSocket;
    explicit Simulator(std::shared_ptr<Core> core);
    std::shared_ptr<Core> m_core;
    std::mutex m_controlMutex;
    std::unique_ptr<ControlSocket> m_control;
};

}  // namespace orvex::sim
