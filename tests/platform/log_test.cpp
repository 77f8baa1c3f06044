// The standard streams' sink: journal priorities on the bridge's own
// diagnostics when stderr is the journal, and nothing else changed.
#include "platform/Log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace orvex {
namespace {

std::string Contents(FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[256];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    return text;
}

struct Streams {
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    ~Streams() {
        if (out) std::fclose(out);
        if (err) std::fclose(err);
    }
};

void WriteEveryKind(LogSink& sink) {
    sink.log_line("Connection opened");
    sink.diag_at(DiagLevel::Error, "permission denied opening /dev/hidraw3");
    sink.trace("DBT_DEVICEARRIVAL.\n");
    sink.diag_at(DiagLevel::Warning, "BLE unavailable");
    sink.trace("8101");  // a trace that leaves its line open
    sink.diag_at(DiagLevel::Info, "listening on 127.0.0.1 port 10086");
    sink.log_raw("[connect] raw\n");
}

TEST(TheStreamSink, PrefixesOnlyItsDiagnosticsWithJournalPrioritiesWhenStderrIsTheJournal) {
    const struct {
        bool journal;
        const char* err;
    } cases[] = {
        {true,
         "<3>orvex-bridge: permission denied opening /dev/hidraw3\n"
         "DBT_DEVICEARRIVAL.\n"
         "<4>orvex-bridge: BLE unavailable\n"
         "8101\n"
         "<6>orvex-bridge: listening on 127.0.0.1 port 10086\n"},
        {false,
         "orvex-bridge: permission denied opening /dev/hidraw3\n"
         "DBT_DEVICEARRIVAL.\n"
         "orvex-bridge: BLE unavailable\n"
         "8101orvex-bridge: listening on 127.0.0.1 port 10086\n"},
    };
    for (const auto& c : cases) {
        Streams streams;
        ASSERT_TRUE(streams.out && streams.err);
        StreamSink sink(streams.out, streams.err, c.journal);
        WriteEveryKind(sink);
        EXPECT_EQ(Contents(streams.out), "Connection opened\n[connect] raw\n") << c.journal;
        EXPECT_EQ(Contents(streams.err), c.err) << c.journal;
    }
}

TEST(AJournalStream, IsRecognisedOnlyByTheExactDeviceAndInodeOfTheDescriptor) {
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    struct stat info {};
    ASSERT_EQ(fstat(fileno(file), &info), 0);
    const std::string dev = std::to_string(info.st_dev), ino = std::to_string(info.st_ino);
    const struct {
        std::string value;
        bool journal;
    } cases[] = {
        {dev + ":" + ino, true},
        {dev + ":" + std::to_string(info.st_ino + 1), false},
        {std::to_string(info.st_dev + 1) + ":" + ino, false},
        {dev + ":" + ino + "x", false},
        {dev + ":", false},
        {":" + ino, false},
        {" " + dev + ":" + ino, false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsJournalStream(fileno(file), c.value.c_str()), c.journal) << c.value;
    EXPECT_FALSE(IsJournalStream(fileno(file), nullptr));
    std::fclose(file);
}

}  // namespace
}  // namespace orvex
