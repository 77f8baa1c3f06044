// The command line.
#pragma once

#include <string>
#include <vector>

#include "bridge/OriginTrust.h"
#include "bridge/PageServer.h"

namespace orvex {

struct Options {
    ServerConfig server;
    OriginPolicy origins = OriginPolicy::Ask;
    // Edits of the trust file that run instead of the bridge.
    std::string trust;    // --trust ORIGIN
    std::string untrust;  // --untrust ORIGIN
    bool list_trusted = false;
    std::string simulate;     // scenario file; empty: real devices
    std::string sim_control;  // control socket path of the simulator
    bool verbose = false;
    bool raw = false;
    bool quiet = false;
    bool console = true;  // the console page and /status on the pages' port
    bool check = false;   // report what the bridge can see and open, then exit
    bool json = false;    // with check: one JSON object
    // A port held by another program is waited for (1 s, doubling to 30 s)
    // instead of ending the bridge with status 1.
    bool wait_for_port = false;
};

enum class ParseOutcome { Run, ExitSuccess, UsageError };

// Parses argv. Help and version are printed to stdout (ExitSuccess); usage
// errors to stderr (UsageError, exit status 2).
ParseOutcome ParseOptions(int argc, char** argv, Options* options);

extern const char* const kVersion;

}  // namespace orvex
