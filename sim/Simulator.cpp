#include "sim/Simulator.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "sim/ControlSocket.h"
#include "sim/SimCore.h"

namespace orvex::sim {

using nlohmann::json;

Simulator::Simulator(std::shared_ptr<Core> core) : m_core(std::move(core)) {}

Simulator::~Simulator() {
    StopControlSocket();
    m_core->Shutdown();
}

std::unique_ptr<Simulator> Simulator::LoadScenarioText(const std::string& text, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    json scenario;
    try {
        scenario = json::parse(text);
    } catch (const json::exception& e) {
        *error = std::string("not valid JSON: ") + e.what();
        return nullptr;
    }
    std::vector<DeviceSpec> specs;
    if (!ParseScenario(scenario, &specs, error)) return nullptr;
    auto core = std::make_shared<Core>();
    for (auto& desc : specs) {
        Core::Device device;
        device.attached = desc.attached;
        device.handles.resize(desc.collections.size());
        if (desc.bus == "ble") {
            SimBleDevice ble;
            ble.name = desc.name;
            ble.vendor_id = desc.vendor_id;
            ble.product_id = desc.product_id;
            ble.address = desc.address;
            ble.attached = desc.attached;
            ble.connected = desc.connected;
            ble.device_id = desc.device_id;
            ble.writable = desc.writable;
            ble.cccd_handles = desc.cccd_handles;
            core->ble.AddDevice(ble);
        }
        device.desc = std::move(desc);
        device.Reset();
        core->devices.push_back(std::move(device));
    }
    return std::unique_ptr<Simulator>(new Simulator(std::move(core)));
}

std::unique_ptr<Simulator> Simulator::LoadScenarioFile(const std::string& file, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    // A scenario is a few kilobytes; the bound keeps a wrong path such as
    // /dev/zero from eating memory before start-up can fail.
    constexpr size_t kMaxScenarioSize = 16 << 20;
    struct stat info {};
    if (stat(file.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        *error = file + ": cannot read the scenario file: it is a directory";
        return nullptr;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        *error = file + ": cannot read the scenario file: " + std::strerror(errno);
        return nullptr;
    }
    std::string text;
    char buffer[65536];
    while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0) {
        text.append(buffer, static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxScenarioSize) {
            *error = file + ": the scenario file is larger than 16 MiB";
            return nullptr;
        }
    }
    if (in.bad()) {
        *error = file + ": cannot read the scenario file: " + std::strerror(errno);
        return nullptr;
    }
    auto simulator = LoadScenarioText(text, error);
    if (!simulator) *error = file + ": " + *error;
    return simulator;
}

HidApi& Simulator::hid() {
    return m_core->hid;
}
DeviceMonitor& Simulator::monitor() {
    return m_core->monitor;
}
BleStack& Simulator::ble() {
    return m_core->ble;
}
SimBle& Simulator::ble_devices() {
    return m_core->ble;
}

std::vector<std::string> Simulator::DeviceNames() {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    std::vector<std::string> names;
    for (const auto& device : m_core->devices) names.push_back(device.desc.name);
    return names;
}

std::vector<std::string> Simulator::CollectionPaths(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    std::vector<std::string> paths;
    if (Core::Device* device = m_core->FindLocked(name, nullptr))
        for (size_t i = 0; i < device->desc.collections.size(); ++i) paths.push_back(Core::PathOf(device->desc, i));
    return paths;
}

bool Simulator::QueueReport(const std::string& name, const std::vector<uint8_t>& report, int collection,
                            std::string* error) {
    std::string ignored;
    return QueueReportCounted(*m_core, name, report, collection, error ? error : &ignored) >= 0;
}

long QueueReportCounted(Simulator::Core& core, const std::string& name, const std::vector<uint8_t>& report,
                        int collection, std::string* error) {
    std::lock_guard<std::mutex> lock(core.mutex);
    auto* device = core.FindLocked(name, error);
    if (!device) return -1;
    if (report.empty() || report.size() > kMaxReportSize) {
        *error = "a report holds 1 to " + std::to_string(kMaxReportSize) + " bytes";
        return -1;
    }
    const int count = static_cast<int>(device->desc.collections.size());
    if (collection < 0) {
        collection = device->InputCollection();
        if (collection < 0) {
            *error = "device " + Quote(name) + " has no collection of usage page 0x000A or 0xFF00; give \"collection\"";
            return -1;
        }
    } else if (collection >= count) {
        *error = "collection " + std::to_string(collection) + " is out of range: device " + Quote(name) + " has " +
                 std::to_string(count) + " collection" + (count == 1 ? "" : "s");
        return -1;
    }
    if (!device->attached) {
        *error = "device " + Quote(name) + " is not attached";
        return -1;
    }
    return static_cast<long>(core.DeliverLocked(*device, collection, report));
}

int Simulator::WaitingReads(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    Core::Device* device = m_core->FindLocked(name, nullptr);
    return device ? device->waiting_reads : 0;
}

std::vector<Received> Simulator::Log(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    Core::Device* device = m_core->FindLocked(name, nullptr);
    if (!device) return {};
    return std::vector<Received>(device->log.begin(), device->log.end());
}

void Simulator::Clear(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    if (Core::Device* device = m_core->FindLocked(name, nullptr)) {
        device->log.clear();
        device->dropped = 0;
    }
}

bool Simulator::Set(const std::string& name, const json& fields, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    Core::Device* device = m_core->FindLocked(name, error);
    if (!device) return false;
    std::set<std::string> given;
    if (!ApplyBehaviour(fields, device->desc.collections.size(), &device->desc.behaviour, &given, error)) return false;
    if (given.count("reject_feature")) device->rejects_left = device->desc.behaviour.reject_feature;
    if (given.count("ack_after")) device->acks_skipped = 0;
    return true;
}

bool Simulator::Plug(const std::string& name, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    Core::Device* device = m_core->FindLocked(name, error);
    if (!device) return false;
    if (device->attached) {
        *error = "device " + Quote(name) + " is already attached";
        return false;
    }
    device->attached = true;
    device->Reset();
    m_core->ble.SetAttached(name, true);
    m_core->PostChangesLocked(*device, DeviceChange::Kind::Arrival);
    return true;
}

bool Simulator::Unplug(const std::string& name, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    Core::Device* device = m_core->FindLocked(name, error);
    if (!device) return false;
    if (!device->attached) {
        *error = "device " + Quote(name) + " is not attached";
        return false;
    }
    device->attached = false;
    ++device->generation;
    device->Reset();
    m_core->KillHandlesLocked(*device);
    m_core->ble.SetAttached(name, false);
    m_core->PostChangesLocked(*device, DeviceChange::Kind::Removal);
    return true;
}

// ---------------------------------------------------------------------------

bool Simulator::StartControlSocket(const std::string& path, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    std::lock_guard<std::mutex> lock(m_controlMutex);
    if (m_control) {
        *error = "the simulator's control socket is already open";
        return false;
    }
    auto control =
        std::make_unique<ControlSocket>([this](const std::string& line) { return HandleControlRequest(line); });
    if (!control->Start(path, error)) return false;
    m_control = std::move(control);
    return true;
}

void Simulator::StopControlSocket() {
    std::unique_ptr<ControlSocket> control;
    {
        std::lock_guard<std::mutex> lock(m_controlMutex);
        control = std::move(m_control);
    }
    if (control) control->Stop();
}

uint16_t Simulator::ControlPort() {
    std::lock_guard<std::mutex> lock(m_controlMutex);
    return m_control ? m_control->port() : 0;
}

}  // namespace orvex::sim
