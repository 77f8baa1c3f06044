#include "support/Pages.h"

#include <algorithm>
#include <cstring>

namespace orvex::test {

bool FakePages::Start(const ServerConfig&, FrameTarget& target, std::string* error) {
    Event("start");
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!failStart.empty()) {
        if (error) *error = failStart;
        return false;
    }
    m_target = &target;
    return true;
}

void FakePages::Stop() {
    Event("stop");
    std::lock_guard<std::mutex> lock(m_mutex);
    m_target = nullptr;
}

size_t FakePages::Receive(const std::vector<uint8_t>& message, PageId page) {
    uint8_t buffer[COMMAND_BUFFER_SIZE] = {};
    std::memcpy(buffer, message.data(), std::min(message.size(), COMMAND_BUFFER_SIZE));
    FrameTarget* target;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        target = m_target;
    }
    return target ? target->HandleFrame(buffer, page) : 0;
}

std::vector<std::vector<uint8_t>> RecordingTarget::Frames() {
    std::vector<std::vector<uint8_t>> frames;
    for (auto& [frame, page] : m_frames.All()) frames.push_back(frame);
    return frames;
}

std::vector<PageId> RecordingTarget::Pages() {
    std::vector<PageId> pages;
    for (auto& [frame, page] : m_frames.All()) pages.push_back(page);
    return pages;
}

}  // namespace orvex::test
