// Output channels of the bridge.
//  - log_line: the bridge's own log lines ("Connection opened", ...) on stdout,
//    each followed by a line end and flushed.
//  - trace:    the trace channel (debugger output on other systems) on stderr,
//    written exactly as given.
//  - diag:     short extra diagnostics on stderr (errors always, details only
//    with --verbose).
// Tests replace the sink to capture what was written.
#pragma once

#include <string>

namespace orvex {

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void log_line(const std::string& line) = 0;
    // Text for stdout written exactly as given (it carries its own line end,
    // or none). Sinks that keep lines only receive it as one line.
    virtual void log_raw(const std::string& text) { log_line(text); }
    virtual void trace(const std::string& text) = 0;
    virtual void diag(const std::string& line) = 0;
};

struct LogOptions {
    bool quiet = false;    // no log lines, no traces; errors still reach stderr
    bool verbose = false;  // detail diagnostics too
};

void set_log_options(const LogOptions& options);

// Replaces the sink (nullptr restores the standard streams). Returns the old one.
LogSink* set_log_sink(LogSink* sink);

void log_line(const std::string& line);
void log_raw(const std::string& text);  // stdout, exactly as given
void trace(const std::string& text);
void diag_error(const std::string& line);    // always shown
void diag_verbose(const std::string& line);  // only with --verbose

// A page's text made fit for one log line: control characters and bytes from
// 0x7F up are written \n, \r, \t or \xHH, so that a page cannot end the line
// and write lines of its own ("Connection closed", ...). A text without such
// characters comes back unchanged, as pages and log readers have always seen
// it; in one that has any, a backslash is written \\ as well, so that an
// escaped line cannot be mistaken for a text that held those characters.
std::string escape_for_log(const std::string& text);

}  // namespace orvex
