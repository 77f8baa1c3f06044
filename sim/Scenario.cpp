#include "sim/Scenario.h"

#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/Text.h"
#include "sim/Devices.h"

namespace orvex::sim {

using nlohmann::json;

namespace {

const char* TypeName(const json& value) {
    if (value.is_number_float()) return "a fractional number";
    return value.type_name();
}

bool ParseBool(const json& value, const std::string& field, bool* out, std::string* error) {
    if (!value.is_boolean()) {
        *error = field + ": expected true or false, got " + TypeName(value);
        return false;
    }
    *out = value.get<bool>();
    return true;
}

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (unsigned char c : name)
        if (!std::isalnum(c) && c != '_' && c != '-' && c != '.') return false;
    return name != "." && name != "..";
}

}  // namespace

std::vector<UsagePair> DefaultCollections(uint16_t product_id) {
    return Model(product_id == Model("sabre").product_id ? "sabre" : "vireo").collections;
}

bool ParseInteger(const json& value, const std::string& field, int64_t min, int64_t max, int64_t* out,
                  std::string* error) {
    int64_t number = 0;
    if (value.is_number_unsigned()) {
        const uint64_t u = value.get<uint64_t>();
        if (u > static_cast<uint64_t>(max)) {
            *error = field + ": " + std::to_string(u) + " is out of range " + std::to_string(min) + ".." +
                     std::to_string(max);
            return false;
        }
        number = static_cast<int64_t>(u);
    } else if (value.is_number_integer()) {
        number = value.get<int64_t>();
    } else if (value.is_string()) {
        const std::string text = value.get<std::string>();
        size_t start = 0;
        int base = 10;
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            start = 2;
            base = 16;
        }
        if (text.size() == start || text.size() - start > 12) {
            *error = field + ": " + Quote(text) + " is not a number";
            return false;
        }
        for (size_t i = start; i < text.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            const int digit = std::isdigit(c)                    ? c - '0'
                              : (base == 16 && std::isxdigit(c)) ? std::tolower(c) - 'a' + 10
                                                                 : -1;
            if (digit < 0) {
                *error = field + ": " + Quote(text) + " is not a number (use digits or \"0x\" and hex digits)";
                return false;
            }
            number = number * base + digit;
        }
    } else {
        *error = field + ": expected a number or a \"0x...\" string, got " + TypeName(value);
        return false;
    }
    if (number < min || number > max) {
        *error = field + ": " + std::to_string(number) + " is out of range " + std::to_string(min) + ".." +
                 std::to_string(max);
        return false;
    }
    *out = number;
    return true;
}

std::string Quote(const std::string& text) {
    return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes, std::string* error) {
    if (text.size() % 2 != 0) {
        *error = "odd number of hex digits";
        return false;
    }
    std::vector<uint8_t> result;
    result.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int value = 0;
        for (size_t j = i; j < i + 2; ++j) {
            const unsigned char c = static_cast<unsigned char>(text[j]);
            if (!std::isxdigit(c)) {
                *error = "not a hex digit at position " + std::to_string(j);
                return false;
            }
            value = value * 16 + (std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10);
        }
        result.push_back(static_cast<uint8_t>(value));
    }
    *bytes = std::move(result);
    return true;
}

std::string ToHex(const std::vector<uint8_t>& bytes) {
    std::string text;
    AppendHex(text, bytes.data(), bytes.size());
    return text;
}

bool IsBehaviourField(const std::string& key) {
    static const std::set<std::string> fields = {"ack",       "ack_status",     "ack_delay_ms",
                                                 "ack_after", "reject_feature", "silent",
                                                 "answers",   "open_error",     "fail_open_collections"};
    return fields.count(key) != 0;
}

bool ApplyBehaviour(const json& fields, size_t collection_count, Behaviour* behaviour, std::set<std::string>* given,
                    std::string* error) {
    if (!fields.is_object()) {
        *error = "behaviour fields must be an object";
        return false;
    }
    Behaviour next = *behaviour;
    for (auto it = fields.begin(); it != fields.end(); ++it) {
        const std::string& key = it.key();
        const json& value = it.value();
        int64_t number = 0;
        if (key == "ack") {
            if (!ParseBool(value, key, &next.ack, error)) return false;
        } else if (key == "silent") {
            if (!ParseBool(value, key, &next.silent, error)) return false;
        } else if (key == "ack_status") {
            if (!ParseInteger(value, key, 0, 255, &number, error)) return false;
            next.ack_status = static_cast<uint8_t>(number);
        } else if (key == "ack_delay_ms") {
            if (!ParseInteger(value, key, 0, 600000, &number, error)) return false;
            next.ack_delay_ms = static_cast<int>(number);
        } else if (key == "ack_after") {
            if (!ParseInteger(value, key, 0, 1000000, &number, error)) return false;
            next.ack_after = static_cast<int>(number);
        } else if (key == "reject_feature") {
            if (!ParseInteger(value, key, 0, 1000000, &number, error)) return false;
            next.reject_feature = static_cast<int>(number);
        } else if (key == "answers") {
            if (!value.is_object()) {
                *error = "answers: expected an object of query code to hex, got " + std::string(TypeName(value));
                return false;
            }
            for (auto answer = value.begin(); answer != value.end(); ++answer) {
                const std::string field = "answers." + answer.key();
                if (!ParseInteger(json(answer.key()), field, 0, 255, &number, error)) return false;
                if (!answer.value().is_string()) {
                    *error = field + ": expected a hex string, got " + std::string(TypeName(answer.value()));
                    return false;
                }
                std::vector<uint8_t> bytes;
                std::string why;
                if (!ParseHex(answer.value().get<std::string>(), &bytes, &why)) {
                    *error = field + ": bad hex: " + why;
                    return false;
                }
                if (bytes.size() > 4096) {
                    *error = field + ": longer than 4096 bytes";
                    return false;
                }
                next.answers[static_cast<uint8_t>(number)] = std::move(bytes);
            }
        } else if (key == "open_error") {
            const std::string text = value.is_string() ? value.get<std::string>() : std::string();
            if (text == "none")
                next.open_error = OpenFailure::None;
            else if (text == "permission")
                next.open_error = OpenFailure::Permission;
            else if (text == "other")
                next.open_error = OpenFailure::Other;
            else {
                *error = "open_error: expected \"none\", \"permission\" or \"other\", got " +
                         (value.is_string() ? Quote(text) : std::string(TypeName(value)));
                return false;
            }
        } else if (key == "fail_open_collections") {
            if (!value.is_array()) {
                *error =
                    "fail_open_collections: expected a list of collection indices, got " + std::string(TypeName(value));
                return false;
            }
            std::set<int> indices;
            for (size_t i = 0; i < value.size(); ++i) {
                if (!ParseInteger(value[i], "fail_open_collections[" + std::to_string(i) + "]", 0,
                                  static_cast<int64_t>(collection_count) - 1, &number, error))
                    return false;
                indices.insert(static_cast<int>(number));
            }
            next.fail_open_collections = std::move(indices);
        } else {
            *error = "unknown behaviour field " + Quote(key);
            return false;
        }
        if (given) given->insert(key);
    }
    *behaviour = std::move(next);
    return true;
}

namespace {

// An address is six colon-separated hex pairs, or empty for a device whose
// Bluetooth node gives no address.
bool ValidAddress(const std::string& text) {
    if (text.empty()) return true;
    if (text.size() != 17) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (i % 3 == 2 ? c != ':' : !std::isxdigit(c)) return false;
    }
    return true;
}

bool ParseBleFields(const json& object, DeviceSpec* device, std::string* error) {
    if (object.contains("address")) {
        const json& value = object["address"];
        if (!value.is_string() || !ValidAddress(value.get<std::string>())) {
            *error = "address: expected \"AA:BB:CC:DD:EE:FF\" or \"\"";
            return false;
        }
        device->address = value.get<std::string>();
    }
    if (object.contains("connected") && !ParseBool(object["connected"], "connected", &device->connected, error))
        return false;
    if (object.contains("writable") && !ParseBool(object["writable"], "writable", &device->writable, error))
        return false;
    if (object.contains("cccd_handles")) {
        const json& list = object["cccd_handles"];
        if (!list.is_array() || list.size() > 16) {
            *error = "cccd_handles: expected a list of up to 16 attribute handles";
            return false;
        }
        device->cccd_handles.clear();
        for (size_t i = 0; i < list.size(); ++i) {
            int64_t handle = 0;
            if (!ParseInteger(list[i], "cccd_handles[" + std::to_string(i) + "]", 0, 0xFFFF, &handle, error))
                return false;
            device->cccd_handles.push_back(static_cast<uint16_t>(handle));
        }
    }
    return true;
}

bool ParseDevice(const json& object, DeviceSpec* device, std::string* error) {
    if (!object.is_object()) {
        *error = std::string("expected an object, got ") + TypeName(object);
        return false;
    }
    for (auto it = object.begin(); it != object.end(); ++it) {
        static const std::set<std::string> keys = {"name",      "model",    "bus",         "vendor_id", "product_id",
                                                   "device_id", "attached", "collections", "comment",   "address",
                                                   "connected", "writable", "cccd_handles"};
        if (!keys.count(it.key()) && !IsBehaviourField(it.key())) {
            *error = "unknown field " + Quote(it.key());
            return false;
        }
    }
    if (!object.contains("name")) {
        *error = "missing field \"name\"";
        return false;
    }
    if (!object["name"].is_string() || !ValidName(object["name"].get<std::string>())) {
        *error = "name: expected 1 to 64 letters, digits, '_', '-' or '.'";
        return false;
    }
    device->name = object["name"].get<std::string>();
    const DeviceModel* model = nullptr;
    if (object.contains("model")) {
        const json& name = object["model"];
        model = name.is_string() ? FindModel(name.get<std::string>()) : nullptr;
        if (!model) {
            std::string known;
            for (const auto& m : Models()) known += (known.empty() ? "" : ", ") + m.name;
            *error = "model: expected one of " + known + ", got " +
                     (name.is_string() ? Quote(name.get<std::string>()) : std::string(TypeName(name)));
            return false;
        }
        device->bus = model->bus == kBusBluetooth ? "ble" : "usb";
        device->vendor_id = model->vendor_id;
        device->product_id = model->product_id;
    }
    if (object.contains("bus")) {
        const json& bus = object["bus"];
        if (!bus.is_string() || (bus.get<std::string>() != "usb" && bus.get<std::string>() != "ble")) {
            *error = "bus: expected \"usb\" or \"ble\", got " +
                     (bus.is_string() ? Quote(bus.get<std::string>()) : std::string(TypeName(bus)));
            return false;
        }
        device->bus = bus.get<std::string>();
    }
    int64_t number = 0;
    for (const char* field : {"vendor_id", "product_id"}) {
        if (!object.contains(field)) {
            if (model) continue;
            *error = std::string("missing field \"") + field + "\" (or a \"model\")";
            return false;
        }
        if (!ParseInteger(object[field], field, 0, 0xFFFF, &number, error)) return false;
        (field[0] == 'v' ? device->vendor_id : device->product_id) = static_cast<uint16_t>(number);
    }
    if (object.contains("device_id")) {
        if (!ParseInteger(object["device_id"], "device_id", 0, 255, &number, error)) return false;
        device->device_id = static_cast<uint8_t>(number);
    }
    if (object.contains("attached") && !ParseBool(object["attached"], "attached", &device->attached, error))
        return false;
    if (object.contains("collections")) {
        const json& list = object["collections"];
        if (!list.is_array() || list.empty() || list.size() > 64) {
            *error = "collections: expected a list of 1 to 64 [usage_page, usage] pairs";
            return false;
        }
        for (size_t i = 0; i < list.size(); ++i) {
            const std::string field = "collections[" + std::to_string(i) + "]";
            if (!list[i].is_array() || list[i].size() != 2) {
                *error = field + ": expected a [usage_page, usage] pair";
                return false;
            }
            int64_t page = 0, usage = 0;
            if (!ParseInteger(list[i][0], field + " usage_page", 0, 0xFFFF, &page, error) ||
                !ParseInteger(list[i][1], field + " usage", 0, 0xFFFF, &usage, error))
                return false;
            device->collections.push_back({static_cast<uint16_t>(page), static_cast<uint16_t>(usage)});
        }
    } else {
        device->collections = model ? model->collections : DefaultCollections(device->product_id);
    }
    if (!ParseBleFields(object, device, error)) return false;
    json behaviour = json::object();
    for (auto it = object.begin(); it != object.end(); ++it)
        if (IsBehaviourField(it.key())) behaviour[it.key()] = it.value();
    return ApplyBehaviour(behaviour, device->collections.size(), &device->behaviour, nullptr, error);
}

}  // namespace

bool ParseScenario(const json& scenario, std::vector<DeviceSpec>* devices, std::string* error) {
    if (!scenario.is_object()) {
        *error = std::string("expected an object {\"devices\": [...]}, got ") + TypeName(scenario);
        return false;
    }
    for (auto it = scenario.begin(); it != scenario.end(); ++it) {
        if (it.key() != "devices" && it.key() != "comment") {
            *error = "unknown field " + Quote(it.key());
            return false;
        }
    }
    if (!scenario.contains("devices") || !scenario["devices"].is_array()) {
        *error = "expected a list \"devices\"";
        return false;
    }
    const json& list = scenario["devices"];
    std::vector<DeviceSpec> result;
    std::set<std::string> names;
    for (size_t i = 0; i < list.size(); ++i) {
        DeviceSpec device;
        std::string why;
        if (!ParseDevice(list[i], &device, &why)) {
            std::string where = "device " + std::to_string(i);
            if (list[i].is_object() && list[i].contains("name") && list[i]["name"].is_string())
                where += " (" + Quote(list[i]["name"].get<std::string>()) + ")";
            *error = where + ": " + why;
            return false;
        }
        if (device.bus == "ble" && !(list[i].contains("address"))) {
            char address[32];
            std::snprintf(address, sizeof address, "C0:FF:EE:00:%02X:%02X", static_cast<unsigned>((i + 1) >> 8) & 0xFF,
                          static_cast<unsigned>(i + 1) & 0xFF);
            device.address = address;
        }
        if (!names.insert(device.name).second) {
            *error = "device " + std::to_string(i) + ": duplicate name " + Quote(device.name);
            return false;
        }
        result.push_back(std::move(device));
    }
    *devices = std::move(result);
    return true;
}

}  // namespace orvex::sim
