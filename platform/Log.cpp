#include "platform/Log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdlib>
#include <mutex>

#include "platform/Text.h"

namespace orvex {

StreamSink::StreamSink(FILE* out, FILE* err, bool journalPrefixes)
    : m_out(out), m_err(err), m_journal(journalPrefixes) {}

void StreamSink::log_line(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), m_out);
    std::fputc('\n', m_out);
    std::fflush(m_out);
}

void StreamSink::log_raw(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), m_out);
    std::fflush(m_out);
}

void StreamSink::trace(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), m_err);
    std::fflush(m_err);
    if (!text.empty()) m_errAtLineStart = text.back() == '\n';
}

void StreamSink::diag_at(DiagLevel level, const std::string& line) {
    // One write, so that nothing else on stderr lands inside the line.
    std::string text;
    if (m_journal) {
        // The journal reads a priority only at the start of a line; a trace
        // left open would swallow it.
        if (!m_errAtLineStart) text += '\n';
        text += level == DiagLevel::Error ? "<3>" : level == DiagLevel::Warning ? "<4>" : "<6>";
    }
    text += "orvex-bridge: " + line + "\n";
    std::fwrite(text.data(), 1, text.size(), m_err);
    std::fflush(m_err);
    m_errAtLineStart = true;
}

bool IsJournalStream(int fd, const char* journalStream) {
    if (journalStream == nullptr) return false;
    // Two decimal numbers "device:inode" and nothing else; strtoumax alone
    // would take signs and blanks too.
    auto number = [](const char* text, char** end, uintmax_t* value) {
        if (*text < '0' || *text > '9') return false;
        *value = std::strtoumax(text, end, 10);
        return true;
    };
    char* end = nullptr;
    uintmax_t device = 0, inode = 0;
    if (!number(journalStream, &end, &device) || *end != ':') return false;
    if (!number(end + 1, &end, &inode) || *end != '\0') return false;
    struct stat info {};
    if (fstat(fd, &info) != 0) return false;
    return static_cast<uintmax_t>(info.st_dev) == device && static_cast<uintmax_t>(info.st_ino) == inode;
}

namespace {

StreamSink g_streamSink(stdout, stderr, IsJournalStream(STDERR_FILENO, std::getenv("JOURNAL_STREAM")));
std::mutex g_logMutex;  // keeps lines from several threads whole
LogSink* g_sink = &g_streamSink;
std::atomic<bool> g_quiet{false};
std::atomic<bool> g_verbose{false};

}  // namespace

void set_log_options(const LogOptions& options) {
    g_quiet = options.quiet;
    g_verbose = options.verbose;
}

LogSink* set_log_sink(LogSink* sink) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    LogSink* old = g_sink;
    g_sink = sink ? sink : &g_streamSink;
    return old == &g_streamSink ? nullptr : old;
}

void log_line(const std::string& line) {
    if (g_quiet) return;
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_sink->log_line(line);
}

void log_raw(const std::string& text) {
    if (g_quiet) return;
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_sink->log_raw(text);
}

void trace(const std::string& text) {
    if (g_quiet) return;
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_sink->trace(text);
}

void diag_error(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_sink->diag_at(DiagLevel::Error, line);
}

void diag_warning(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_sink->diag_at(DiagLevel::Warning, line);
}

void diag_info(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_sink->diag_at(DiagLevel::Info, line);
}

std::string escape_for_log(const std::string& text) {
    auto plain = [](unsigned char c) { return c >= 0x20 && c < 0x7F; };
    if (std::all_of(text.begin(), text.end(), plain)) return text;
    std::string out;
    out.reserve(text.size() + 16);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (plain(c)) {
                    out += ch;
                } else {
                    out += "\\x";
                    AppendHex(out, &c, 1);
                }
        }
    }
    return out;
}

void diag_verbose(const std::string& line) {
    if (!g_verbose) return;
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_sink->diag_at(DiagLevel::Info, line);
}

}  // namespace orvex
