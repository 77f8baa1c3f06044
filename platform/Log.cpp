#include "platform/Log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

namespace orvex {
namespace {

class StreamSink final : public LogSink {
public:
    void log_line(const std::string& line) override {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    void log_raw(const std::string& text) override {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    void trace(const std::string& text) override {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
    void diag(const std::string& line) override {
        std::fprintf(stderr, "orvex-bridge: %s\n", line.c_str());
        std::fflush(stderr);
    }
};

StreamSink g_streamSink;
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
    g_sink->diag(line);
}

std::string escape_for_log(const std::string& text) {
    auto plain = [](unsigned char c) { return c >= 0x20 && c < 0x7F; };
    if (std::all_of(text.begin(), text.end(), plain)) return text;
    static const char kDigits[] = "0123456789abcdef";
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
                    out += kDigits[c >> 4];
                    out += kDigits[c & 0xF];
                }
        }
    }
    return out;
}

void diag_verbose(const std::string& line) {
    if (!g_verbose) return;
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_sink->diag(line);
}

}  // namespace orvex
