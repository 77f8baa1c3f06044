// The seams between the page side and the device side. Core code sends every
// upstream text through a PageSink and receives every decoded frame as a
// FrameTarget; neither needs to know that pages are WebSocket connections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvex {

// Bytes of the zero-filled buffer one inbound message is decoded into.
constexpr size_t COMMAND_BUFFER_SIZE = 1000;
// The longest message that means anything: two hex digits a byte of the
// buffer (what comes after is cut).
constexpr size_t kMaxCommandText = 2 * COMMAND_BUFFER_SIZE;

class PageSink {
public:
    virtual ~PageSink() = default;
    // Sends one text to every open page, in the same order to each. Safe from
    // any thread; never waits on the network. Callers hold no lock of theirs.
    virtual void broadcast(const std::string& text) = 0;
};

// Which page sent a frame: a number the server gives each page it opens,
// never given twice while it runs. The device side does not answer pages
// one by one (every reply goes to every page); it only counts each page's
// waiting frames, so that a page flooding commands is slowed alone.
using PageId = uint64_t;

// A page with this many frames waiting is not read any further until one of
// them has been taken on: its frames keep their order, none is lost, and the
// server thread never waits for the device side.
constexpr size_t kPageFrameLimit = 16;

class FrameTarget {
public:
    virtual ~FrameTarget() = default;
    // One decoded message in a COMMAND_BUFFER_SIZE buffer, zero beyond the
    // message. Byte 0 decides what it is (0xF0: a query, else a command).
    // Returns how many frames of that page now wait, this one included; from
    // kPageFrameLimit on, the server stops reading the page until told that
    // it has room (PageServer::resume_page). Only the page's id is passed, not
    // the connection: the device side needs nothing else of a page, and so
    // stays free of the network library.
    virtual size_t HandleFrame(const uint8_t* frame, PageId page) = 0;
};

}  // namespace orvex
