// Who may connect to the page server at all, decided per system from the
// connected socket before any byte is read.
#pragma once

#include <functional>
#include <string>

namespace orvex {

// At accept, before any byte is read: "" serves the connection, anything else
// closes it and is the reason for the log ("uid 1001, another user").
using PeerFilter = std::function<std::string(int socket)>;

// What a backend's look-up of a loopback peer's owner found.
enum class PeerLookup { Found, NotLoopback, NotFound, Failed };

// The system cannot say who owns loopback peers at all: every local user is
// served, as before there was a check, and the log says so once a run.
// Returns "" (serve).
std::string ServeUnknownPeer();

}  // namespace orvex
