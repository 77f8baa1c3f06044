#include "platform/linux/HidrawDescriptor.h"

#include <algorithm>
#include <cstring>

namespace orvex {

namespace {

enum ItemType { kMain = 0, kGlobal = 1, kLocal = 2 };

constexpr uint8_t kTagInput = 0x8;
constexpr uint8_t kTagCollection = 0xA;
constexpr uint8_t kTagEndCollection = 0xC;
constexpr uint8_t kTagUsagePage = 0x0;
constexpr uint8_t kTagReportId = 0x8;
constexpr uint8_t kTagPush = 0xA;
constexpr uint8_t kTagPop = 0xB;
constexpr uint8_t kTagUsage = 0x0;
constexpr size_t kMaxPushDepth = 32;

struct Globals {
    uint16_t usage_page = 0;
    uint8_t report_id = 0;
};

void AddUnique(std::vector<uint8_t>& ids, uint8_t id) {
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
}

}  // namespace

HidDescriptorLayout ParseReportDescriptor(const uint8_t* data, size_t size) {
    HidDescriptorLayout layout;
    Globals globals;
    std::vector<Globals> stack;
    bool haveUsage = false;
    HidUsage usage;
    int depth = 0;

    size_t i = 0;
    while (i < size) {
        const uint8_t prefix = data[i];
        if (prefix == 0xFE) {
            // Long item: size byte, tag byte, then the data. None is defined
            // that matters here.
            if (i + 2 >= size) return layout;
            const size_t longSize = data[i + 1];
            if (i + 3 + longSize > size) return layout;
            i += 3 + longSize;
            continue;
        }
        const size_t dataSize = (prefix & 0x3) == 3 ? 4 : (prefix & 0x3);
        if (i + 1 + dataSize > size) return layout;
        uint32_t value = 0;
        for (size_t b = 0; b < dataSize; ++b) value |= static_cast<uint32_t>(data[i + 1 + b]) << (8 * b);
        const int type = (prefix >> 2) & 0x3;
        const uint8_t tag = prefix >> 4;
        i += 1 + dataSize;

        if (type == kGlobal) {
            switch (tag) {
                case kTagUsagePage:
                    globals.usage_page = static_cast<uint16_t>(value);
                    break;
                case kTagReportId:
                    globals.report_id = static_cast<uint8_t>(value);
                    layout.uses_report_ids = true;
                    break;
                case kTagPush:
                    if (stack.size() < kMaxPushDepth) stack.push_back(globals);
                    break;
                case kTagPop:
                    if (!stack.empty()) {
                        globals = stack.back();
                        stack.pop_back();
                    }
                    break;
                default:
                    break;
            }
        } else if (type == kLocal) {
            if (tag == kTagUsage && !haveUsage) {
                // A four-byte usage carries its own page in the high half.
                usage = dataSize == 4 ? HidUsage{static_cast<uint16_t>(value >> 16), static_cast<uint16_t>(value)}
                                      : HidUsage{globals.usage_page, static_cast<uint16_t>(value)};
                haveUsage = true;
            }
        } else if (type == kMain) {
            if (tag == kTagCollection) {
                const HidUsage collectionUsage = haveUsage ? usage : HidUsage{globals.usage_page, 0};
                if (depth == 0) {
                    layout.collections.push_back(HidTopCollection{collectionUsage, {}, {}});
                } else {
                    layout.collections.back().nested.push_back(collectionUsage);
                }
                ++depth;
            } else if (tag == kTagEndCollection) {
                if (depth == 0) return layout;
                --depth;
            } else if (tag == kTagInput) {
                if (depth > 0 && globals.report_id != 0)
                    AddUnique(layout.collections.back().input_report_ids, globals.report_id);
            }
            // Local items apply to the next main item only.
            haveUsage = false;
        }
    }
    layout.valid = depth == 0;
    return layout;
}

HidReportFilter HidReportFilter::ForCollection(const HidDescriptorLayout& layout, HidUsage usage) {
    HidReportFilter filter;
    if (!layout.valid || !layout.uses_report_ids) return filter;
    const HidTopCollection* owner = nullptr;
    for (const auto& c : layout.collections)
        if (c.usage == usage) {
            owner = &c;
            break;
        }
    if (owner == nullptr)
        for (const auto& c : layout.collections)
            if (std::find(c.nested.begin(), c.nested.end(), usage) != c.nested.end()) {
                owner = &c;
                break;
            }
    if (owner == nullptr) return filter;
    filter.m_filtering = true;
    for (const auto& c : layout.collections)
        for (uint8_t id : c.input_report_ids) filter.m_declared.set(id);
    for (uint8_t id : owner->input_report_ids) filter.m_own.set(id);
    return filter;
}

bool HidReportFilter::Accepts(const uint8_t* report, size_t length) const {
    if (!m_filtering || length == 0) return true;
    const uint8_t id = report[0];
    return m_own.test(id) || !m_declared.test(id);
}

int ReadFiltered(const HidReportFilter& filter, const RawRead& raw, uint8_t* data, size_t length, int timeout_ms,
                 int max_drops) {
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    int remaining = timeout_ms;
    int drops = 0;
    while (true) {
        const int result = raw(data, length, remaining);
        if (result <= 0) return result;
        if (filter.Accepts(data, static_cast<size_t>(result))) return result;
        std::memset(data, 0, std::min(length, static_cast<size_t>(result)));
        if (timeout_ms == 0) {
            if (++drops >= max_drops) return 0;
            continue;
        }
        if (timeout_ms > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
            // Out of time: one last poll for a report already waiting.
            remaining = left > 0 ? static_cast<int>(left) : 0;
            if (left <= 0 && ++drops >= max_drops) return 0;
        }
    }
}

}  // namespace orvex
