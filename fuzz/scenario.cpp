// The scenario file: any text gives a simulator or a message, never a crash.
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "sim/Simulator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    auto simulator =
        orvex::sim::Simulator::LoadScenarioText(std::string(reinterpret_cast<const char*>(data), size), &error);
    FUZZ_CHECK(simulator || !error.empty());
    return 0;
}
