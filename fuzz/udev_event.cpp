// Uevent parsing: a recorded property set and a DEVPATH of any shape give a
// change or nothing, never a crash; a change always names its node.
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "platform/linux/UdevEvent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto change = orvex::DeviceChangeFromProperties(orvex::ParseUeventProperties(text));
    if (change) FUZZ_CHECK(!change->path.empty());
    orvex::ParseHidDevpath(text);
    return 0;
}
