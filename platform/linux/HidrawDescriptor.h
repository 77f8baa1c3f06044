// Which input reports belong to which top-level collection of a hidraw node.
// Every fd of a node receives every input report of the interface, so a handle
// opened for one collection filters by report id to behave as that collection
// alone.
#pragma once

#include <bitset>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace orvex {

struct HidUsage {
    uint16_t usage_page = 0;
    uint16_t usage = 0;
    bool operator==(const HidUsage& o) const { return usage_page == o.usage_page && usage == o.usage; }
};

struct HidTopCollection {
    HidUsage usage;                         // of the top-level collection itself
    std::vector<HidUsage> nested;           // collections inside it, in order
    std::vector<uint8_t> input_report_ids;  // ids of its Input items, in first-use order
};

struct HidDescriptorLayout {
    bool valid = false;            // the whole descriptor parsed
    bool uses_report_ids = false;  // byte 0 of every report is then its id
    std::vector<HidTopCollection> collections;
};

// Parses Usage Page, Usage, Collection, End Collection, Report ID, Push, Pop
// and Input items; skips the rest, long items included. A truncated item or
// unbalanced collections leave valid false.
HidDescriptorLayout ParseReportDescriptor(const uint8_t* data, size_t size);

class HidReportFilter {
public:
    // Lets everything through.
    HidReportFilter() = default;
    // For a handle opened for the collection with this usage pair: a top-level
    // collection with that pair, else the top-level collection holding a
    // nested one with it. Everything passes when the descriptor is invalid,
    // uses no ids or has no such collection.
    static HidReportFilter ForCollection(const HidDescriptorLayout& layout, HidUsage usage);

    // Reports whose id no collection declares pass too: nobody else would
    // read them.
    bool Accepts(const uint8_t* report, size_t length) const;
    bool filters() const { return m_filtering; }

private:
    bool m_filtering = false;
    std::bitset<256> m_own;
    std::bitset<256> m_declared;
};

// One raw read: (buffer, length, timeout in ms: -1 blocks, 0 polls) -> bytes,
// 0 on time-out, negative on error.
using RawRead = std::function<int(uint8_t*, size_t, int)>;

// Reads until a report the filter accepts arrives, the time-out runs out or
// the read fails. Dropped reports are zeroed out of the buffer, so a short
// report that follows reads as zero-padded. A polling read (0) drops at most
// max_drops reports before answering "nothing waiting".
int ReadFiltered(const HidReportFilter& filter, const RawRead& raw, uint8_t* data, size_t length, int timeout_ms,
                 int max_drops = 64);

}  // namespace orvex
