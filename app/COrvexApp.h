// The process: single instance, backends, the main loop, exit status.
#pragma once

#include "app/Options.h"

namespace orvex {

constexpr const char* kInstanceName = "ZNQ Orvex Config";

class COrvexApp {
public:
    // Runs the bridge until SIGINT, SIGTERM or the end of its login session.
    // Exit status: 0 after a normal shutdown or when another instance runs,
    // 1 when the server cannot listen (and may not wait for its port), 2 for
    // a bad scenario file.
    int InitInstance(const Options& options);
};

}  // namespace orvex
