// The report-descriptor parser and the per-collection report filter on
// arbitrary descriptors and reports. Input: one length byte, that many
// descriptor bytes, then reports of up to 64 bytes each.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "FuzzCheck.h"
#include "platform/linux/HidrawDescriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t descriptorSize = std::min<size_t>(data[0] * 4u, size - 1);
    const uint8_t* descriptor = data + 1;
    const uint8_t* reports = descriptor + descriptorSize;
    const size_t reportBytes = size - 1 - descriptorSize;
    const orvex::HidDescriptorLayout layout = orvex::ParseReportDescriptor(descriptor, descriptorSize);
    if (!layout.valid) FUZZ_CHECK(!orvex::HidReportFilter::ForCollection(layout, {0xFF00, 0x0001}).filters());

    std::vector<orvex::HidUsage> usages = {{0xFF00, 0x0001}, {0x000A, 0x0000}};
    for (const auto& top : layout.collections) {
        usages.push_back(top.usage);
        usages.insert(usages.end(), top.nested.begin(), top.nested.end());
    }
    for (const auto& usage : usages) {
        const auto filter = orvex::HidReportFilter::ForCollection(layout, usage);
        // Reads hand out the reports one by one, then time out.
        size_t at = 0;
        const orvex::RawRead raw = [&](uint8_t* buffer, size_t length, int) {
            if (at >= reportBytes) return 0;
            const size_t n = std::min({reportBytes - at, length, size_t(64)});
            std::memcpy(buffer, reports + at, n);
            at += n;
            return static_cast<int>(n);
        };
        uint8_t out[65];
        for (int k = 0; k < 8 && at < reportBytes; ++k) {
            const int n = orvex::ReadFiltered(filter, raw, out, sizeof out, 0, 4);
            FUZZ_CHECK(n <= static_cast<int>(sizeof out));
            if (n > 0) FUZZ_CHECK(filter.Accepts(out, static_cast<size_t>(n)));
        }
    }
    return 0;
}
