// The device simulator: devices described as data behind the same seams as the
// real backends, answering as real devices do and recording what they receive.
#pragma once

#include <memory>
#include <string>

#include "platform/BleStack.h"
#include "platform/DeviceMonitor.h"
#include "platform/HidApi.h"

namespace orvex::sim {

class Simulator {
public:
    virtual ~Simulator() = default;

    // Reads a scenario file; null with a message naming the file and problem.
    static std::unique_ptr<Simulator> LoadScenarioFile(const std::string& file, std::string* error);
    static std::unique_ptr<Simulator> LoadScenarioText(const std::string& json, std::string* error);

    virtual HidApi& hid() = 0;
    virtual DeviceMonitor& monitor() = 0;
    virtual BleStack& ble() = 0;

    // The JSON-lines control socket; false with a message when it cannot open.
    virtual bool StartControlSocket(const std::string& path, std::string* error) = 0;
    virtual void StopControlSocket() = 0;
};

}  // namespace orvex::sim
