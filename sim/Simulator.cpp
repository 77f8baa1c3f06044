#include "sim/Simulator.h"

namespace orvex::sim {

std::unique_ptr<Simulator> Simulator::LoadScenarioFile(const std::string& file, std::string* error) {
    if (error) *error = file + ": the simulator is not built yet";
    return nullptr;
}

std::unique_ptr<Simulator> Simulator::LoadScenarioText(const std::string&, std::string* error) {
    if (error) *error = "the simulator is not built yet";
    return nullptr;
}

}  // namespace orvex::sim
