// The process's limit on open descriptors.
#pragma once

namespace orvex {

// Raises the soft RLIMIT_NOFILE to the hard limit: every page, device node
// and bus connection is a descriptor, and the common soft limit of 1024 is
// soon reached by a client that opens connections in a loop. One verbose
// line when raised; nothing when it cannot be (the soft limit then stays).
void RaiseOpenFileLimit();

}  // namespace orvex
