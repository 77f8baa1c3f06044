// Output channels of the bridge.
//  - log_line: the bridge's own log lines ("Connection opened", ...) on stdout,
//    each followed by a line end and flushed.
//  - trace:    the trace channel (debugger output on other systems) on stderr,
//    written exactly as given.
//  - diag:     short extra diagnostics on stderr (errors always, details only
//    with --verbose).
// Tests replace the sink to capture what was written.
#pragma once

#include <cstdio>
#include <exception>
#include <string>

namespace orvex {

// Severity of a diagnostic, for the journal's priorities.
enum class DiagLevel { Error, Warning, Info };

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void log_line(const std::string& line) = 0;
    // Text for stdout written exactly as given (it carries its own line end,
    // or none). Sinks that keep lines only receive it as one line.
    virtual void log_raw(const std::string& text) { log_line(text); }
    virtual void trace(const std::string& text) = 0;
    virtual void diag(const std::string& line) = 0;
    // Sinks that ignore severity receive the line only.
    virtual void diag_at(DiagLevel /*level*/, const std::string& line) { diag(line); }
};

// The standard streams' sink. When stderr is the journal, diagnostics carry
// the syslog priority prefix ("<3>", "<4>", "<6>") so that journalctl -p
// filters them; traces and stdout lines are written unchanged.
class StreamSink final : public LogSink {
public:
    StreamSink(FILE* out, FILE* err, bool journalPrefixes);
    void log_line(const std::string& line) override;
    void log_raw(const std::string& text) override;
    void trace(const std::string& text) override;
    void diag(const std::string& line) override { diag_at(DiagLevel::Info, line); }
    void diag_at(DiagLevel level, const std::string& line) override;

private:
    FILE* m_out;
    FILE* m_err;
    const bool m_journal;
    bool m_errAtLineStart = true;  // a trace may leave a line open
};

// True when fd is the stream systemd connected to the journal: journalStream
// (the JOURNAL_STREAM variable, "device:inode") names its device and inode.
bool IsJournalStream(int fd, const char* journalStream);

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
void diag_warning(const std::string& line);  // always shown
void diag_info(const std::string& line);     // always shown
void diag_verbose(const std::string& line);  // only with --verbose

// Runs step and reports what it throws as one error line, "what: reason" (or
// "what" alone for a throw that is no std::exception): one failed step must
// never end the thread that runs it. False when it threw.
template <typename Step>
bool RunReportingFailure(const char* what, Step&& step) {
    try {
        step();
        return true;
    } catch (const std::exception& e) {
        diag_error(std::string(what) + ": " + e.what());
    } catch (...) {
        diag_error(what);
    }
    return false;
}

// A page's text made fit for one log line: control characters and bytes from
// 0x7F up are written \n, \r, \t or \xHH, so that a page cannot end the line
// and write lines of its own ("Connection closed", ...). A text without such
// characters comes back unchanged, as pages and log readers have always seen
// it; in one that has any, a backslash is written \\ as well, so that an
// escaped line cannot be mistaken for a text that held those characters.
std::string escape_for_log(const std::string& text);

}  // namespace orvex
