// The simulator's control requests: any line gets one JSON reply line with a
// boolean "ok" and, when it is false, an error text; never a crash. Input:
// request lines.
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "AllFamilies.h"
#include "FuzzCheck.h"
#include "sim/Simulator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::unique_ptr<orvex::sim::Simulator> simulator = [] {
        std::string error;
        auto made = orvex::sim::Simulator::LoadScenarioText(kAllFamilies, &error);
        FUZZ_CHECK(made);
        return made;
    }();
    const std::string input(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    for (int lines = 0; start <= input.size() && lines < 16; ++lines) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        const std::string reply = simulator->HandleControlRequest(input.substr(start, end - start));
        FUZZ_CHECK(reply.find('\n') == std::string::npos);
        const auto parsed = nlohmann::json::parse(reply, nullptr, false);
        FUZZ_CHECK(parsed.is_object() && parsed.contains("ok") && parsed["ok"].is_boolean());
        FUZZ_CHECK(parsed["ok"].get<bool>() || (parsed.contains("error") && parsed["error"].is_string() &&
                                                !parsed["error"].get<std::string>().empty()));
        start = end + 1;
    }
    return 0;
}
