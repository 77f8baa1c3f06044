// The simulator's control requests: one JSON object per line, one JSON reply.
#include <nlohmann/json.hpp>

#include "sim/SimCore.h"

namespace orvex::sim {

using nlohmann::json;

namespace {

using ojson = nlohmann::ordered_json;

ojson Failure(const std::string& message) {
    return ojson{{"ok", false}, {"error", message}};
}

bool RequireDevice(const json& request, std::string* name, ojson* reply) {
    if (!request.contains("device")) {
        *reply = Failure("missing field \"device\"");
        return false;
    }
    if (!request["device"].is_string()) {
        *reply = Failure("\"device\" must be a string");
        return false;
    }
    *name = request["device"].get<std::string>();
    return true;
}

}  // namespace

std::string Simulator::HandleControlRequest(const std::string& line) {
    ojson reply;
    try {
        json request;
        try {
            request = json::parse(line);
        } catch (const json::exception& e) {
            reply = Failure(std::string("malformed JSON: ") + e.what());
            return reply.dump(-1, ' ', false, ojson::error_handler_t::replace);
        }
        std::string name, error;
        if (!request.is_object()) {
            reply = Failure("a request is a JSON object with an \"op\"");
        } else if (!request.contains("op") || !request["op"].is_string()) {
            reply = Failure("missing field \"op\" (a string)");
        } else {
            const std::string op = request["op"].get<std::string>();
            if (op == "devices") {
                ojson list = ojson::array();
                std::lock_guard<std::mutex> lock(m_core->mutex);
                for (const auto& device : m_core->devices) {
                    ojson paths = ojson::array();
                    for (size_t i = 0; i < device.desc.collections.size(); ++i)
                        paths.push_back(Core::PathOf(device.desc, i));
                    // Handles the bridge still holds, closed or not read from.
                    size_t open = 0;
                    for (const auto& list : device.handles)
                        for (const auto& handle : list) open += handle.expired() ? 0 : 1;
                    list.push_back({{"name", device.desc.name},
                                    {"bus", device.desc.bus},
                                    {"vendor_id", device.desc.vendor_id},
                                    {"product_id", device.desc.product_id},
                                    {"device_id", device.desc.device_id},
                                    {"attached", device.attached},
                                    {"paths", paths},
                                    {"open_handles", open}});
                }
                reply = {{"ok", true}, {"devices", list}};
            } else if (op == "report") {
                if (RequireDevice(request, &name, &reply)) {
                    int64_t collection = -1;
                    std::vector<uint8_t> bytes;
                    if (!request.contains("hex") || !request["hex"].is_string()) {
                        reply = Failure("missing field \"hex\" (a string of hex digits)");
                    } else if (!ParseHex(request["hex"].get<std::string>(), &bytes, &error)) {
                        reply = Failure("hex: " + error);
                    } else if (request.contains("collection") &&
                               !ParseInteger(request["collection"], "collection", 0, 1000000, &collection, &error)) {
                        reply = Failure(error);
                    } else {
                        const long delivered =
                            QueueReportCounted(*m_core, name, bytes, static_cast<int>(collection), &error);
                        reply = delivered < 0 ? Failure(error) : ojson{{"ok", true}, {"delivered", delivered}};
                    }
                }
            } else if (op == "log") {
                if (RequireDevice(request, &name, &reply)) {
                    std::lock_guard<std::mutex> lock(m_core->mutex);
                    if (Core::Device* device = m_core->FindLocked(name, &error)) {
                        ojson received = ojson::array();
                        for (const auto& entry : device->log) {
                            ojson item = {{"t_ms", entry.t_ms},
                                          {"kind", entry.kind},
                                          {"collection", entry.collection},
                                          {"hex", ToHex(entry.bytes)}};
                            if (entry.rejected) item["rejected"] = true;
                            received.push_back(std::move(item));
                        }
                        reply = {{"ok", true}, {"received", received}};
                        if (device->dropped) reply["dropped"] = device->dropped;
                    } else {
                        reply = Failure(error);
                    }
                }
            } else if (op == "clear") {
                if (RequireDevice(request, &name, &reply)) {
                    std::lock_guard<std::mutex> lock(m_core->mutex);
                    if (Core::Device* device = m_core->FindLocked(name, &error)) {
                        device->log.clear();
                        device->dropped = 0;
                        reply = {{"ok", true}};
                    } else {
                        reply = Failure(error);
                    }
                }
            } else if (op == "set") {
                if (RequireDevice(request, &name, &reply)) {
                    json fields = json::object();
                    for (auto it = request.begin(); it != request.end(); ++it)
                        if (it.key() != "op" && it.key() != "device") fields[it.key()] = it.value();
                    reply = Set(name, fields, &error) ? ojson{{"ok", true}} : Failure(error);
                }
            } else if (op == "notify") {
                if (RequireDevice(request, &name, &reply)) {
                    std::vector<uint8_t> bytes;
                    if (!request.contains("hex") || !request["hex"].is_string()) {
                        reply = Failure("missing field \"hex\" (a string of hex digits, empty for an empty value)");
                    } else if (!ParseHex(request["hex"].get<std::string>(), &bytes, &error)) {
                        reply = Failure("hex: " + error);
                    } else if (bytes.size() > 512) {
                        reply = Failure("a notification holds at most 512 bytes");
                    } else {
                        const long delivered = m_core->ble.Notify(name, bytes, &error);
                        reply = delivered < 0 ? Failure(error) : ojson{{"ok", true}, {"delivered", delivered}};
                    }
                }
            } else if (op == "plug" || op == "unplug") {
                if (RequireDevice(request, &name, &reply)) {
                    const bool done = op == "plug" ? Plug(name, &error) : Unplug(name, &error);
                    reply = done ? ojson{{"ok", true}} : Failure(error);
                }
            } else {
                reply = Failure("unknown op " + Quote(op) +
                                " (known: devices, report, log, clear, set, notify, plug, unplug)");
            }
        }
    } catch (const std::exception& e) {
        // Whatever a request holds, the reply is an answer, never a dead socket.
        reply = Failure(std::string("internal error: ") + e.what());
    }
    return reply.dump(-1, ' ', false, ojson::error_handler_t::replace);
}

}  // namespace orvex::sim
