// orvex-bridge --check: what the bridge can see and open, for users and bug
// reports. It never takes the single-instance lock, so it runs beside a
// bridge, and it only reads: it opens device nodes and closes them at once.
#pragma once

#include "app/Options.h"

namespace orvex {

// Prints the report (text, or one JSON object with options.json) on stdout.
// Exit status: 0 when everything needed works, 1 otherwise, 2 for a bad
// scenario file.
int RunCheck(const Options& options);

}  // namespace orvex
