// The production HID path against real kernel HID devices: Debian's kernel
// under QEMU (TCG), devices of every family from our uhid emulator, the real
// bridge binary in the guest, and a real WebSocket client here. Each case
// catches what the simulator cannot show: hidraw nodes shared by collections,
// the kernel's report-id checks, real uevents through systemd-udevd, real
// permission errors.
//
// One guest serves the whole program (see Guest). Its agent, the emulator,
// answers one request line with "- ..." lines and a last "ok ..." or "err ...".
// ORVEX_KERNEL_BRIDGE=FILE runs another bridge binary in the guest (a
// sanitized one works, slowly); ORVEX_KERNEL_CACHE moves the kernel cache.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/Process.h"
#include "support/QemuGuest.h"
#include "support/SimBridge.h"
#include "support/WsClient.h"

namespace orvex::test {
namespace {

using namespace std::chrono_literals;
using SteadyTime = std::chrono::steady_clock;

// Generous everywhere: a TCG guest on a shared two-core machine.
constexpr auto kBootTimeout = 240s;
constexpr auto kWait = 30s;
constexpr int kGuestWatchdogSeconds = 480;
constexpr int kQemuLimitSeconds = 540;
const char* const kAttachedAtStart[] = {"fa60", "fa65", "fa70", "fa71"};

std::string Hex(const std::vector<int>& bytes, bool upper = false) {
    std::string text;
    char digits[3];
    for (int b : bytes) {
        std::snprintf(digits, sizeof digits, upper ? "%02X" : "%02x", b & 0xFF);
        text += digits;
    }
    return text;
}

// What the emulator answers for a query code: the code, then byte i = i.
std::vector<int> Answer(int code, int length) {
    std::vector<int> bytes(length);
    for (int i = 0; i < length; ++i) bytes[i] = i == 0 ? code : i;
    return bytes;
}

std::string Zeros(int count) {
    return std::string(2 * count, '0');
}

std::string SanitizerReport(const std::vector<std::string>& lines) {
    for (const auto& line : lines)
        if (!SanitizerReportIn(line).empty()) return line;
    return "";
}

using Reply = GuestReply;

struct LogEntry {
    long t_ms = 0;
    std::string kind, hex;
};

// The guest, booted once for the whole program.
class Guest : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;

    bool Running() const { return m_vm.Running(); }
    Reply Ask(const std::string& request, std::chrono::milliseconds timeout = 60s) {
        return m_vm.Ask(request, timeout);
    }
    std::vector<LogEntry> Log(const std::string& device);
    std::vector<std::string> Output(const std::string& proc, const std::string& stream);
    std::map<std::string, std::string> Nodes();  // attached device -> "hidrawN"

    std::string skip, failure;
    uint16_t wsPort = 0;
    std::map<std::string, std::vector<LogEntry>> startupLog;

private:
    void Skip(const std::string& why);
    void Fail(const std::string& why);
    bool Build(std::string* kernel, std::string* initrd);
    bool Boot(const std::string& kernel, const std::string& initrd);
    bool StartBridge();

    QemuGuest m_vm;
    std::vector<std::pair<std::string, double>> m_figures;
};

Guest* const g_guest = static_cast<Guest*>(::testing::AddGlobalTestEnvironment(new Guest));

double SecondsSince(SteadyTime::time_point start) {
    return std::chrono::duration<double>(SteadyTime::now() - start).count();
}

void Guest::Skip(const std::string& why) {
    skip = why;
    // ctest reports the program as skipped on this line, not as passed.
    std::printf("orvex-kernel-suite: skipped: %s\n", why.c_str());
    std::fflush(stdout);
}

void Guest::Fail(const std::string& why) {
    failure = why;
    const std::string console = m_vm.Console();
    if (!console.empty()) failure += "\nguest console (end):\n" + console;
}

void Guest::SetUp() {
    auto start = SteadyTime::now();
    std::string kernel, initrd;
    if (!Build(&kernel, &initrd)) return;
    m_figures.emplace_back("kernel and initramfs", SecondsSince(start));
    start = SteadyTime::now();
    if (!Boot(kernel, initrd)) return;
    m_figures.emplace_back("boot to the emulator", SecondsSince(start));
    start = SteadyTime::now();
    if (!StartBridge()) return;
    m_figures.emplace_back("bridge up", SecondsSince(start));
    for (const char* device : kAttachedAtStart) startupLog[device] = Log(device);
}

bool Guest::Build(std::string* kernel, std::string* initrd) {
    if (FindInPath("qemu-system-x86_64").empty()) {
        Skip("qemu-system-x86_64 is missing (Debian package qemu-system-x86)");
        return false;
    }
    const char* overridden = std::getenv("ORVEX_KERNEL_BRIDGE");
    const std::string bridge = overridden && *overridden ? overridden : ORVEX_KERNEL_BRIDGE;
    if (access(bridge.c_str(), X_OK) != 0) {
        Fail("no bridge binary at " + bridge);
        return false;
    }
    GuestImage image;
    std::string why;
    switch (BuildGuestImage(std::string(ORVEX_KERNEL_SCRIPTS) + "/build-initramfs.sh",
                            {"--bridge", bridge, "--emulator", ORVEX_KERNEL_EMULATOR, "--out", ORVEX_KERNEL_WORK_DIR},
                            &image, &why)) {
        case ImageBuild::Skipped:
            Skip(why);
            return false;
        case ImageBuild::Failed:
            Fail(why);
            return false;
        case ImageBuild::Built:
            break;
    }
    *kernel = image.kernel;
    *initrd = image.initrd;
    return true;
}

bool Guest::Boot(const std::string& kernel, const std::string& initrd) {
    QemuGuest::Options options;
    options.kernel = kernel;
    options.initrd = initrd;
    options.append = "console=ttyS0 quiet loglevel=4 panic=-1 orvex.watchdog=" + std::to_string(kGuestWatchdogSeconds);
    options.forwards = {10086};
    options.bootTimeout = kBootTimeout;
    options.limitSeconds = kQemuLimitSeconds;
    std::string why;
    switch (m_vm.Start(options, &why)) {
        case QemuGuest::Boot::Running:
            wsPort = m_vm.HostPort(10086);
            return true;
        case QemuGuest::Boot::Skipped:
            Skip(why);
            return false;
        case QemuGuest::Boot::Failed:
            Fail(why);
            return false;
    }
    return false;
}

bool Guest::StartBridge() {
    // The bridge must find the devices present and udev quiet, or start-up
    // enumeration would race with their uevents.
    const auto deadline = SteadyTime::now() + kWait;
    while (Nodes().size() < std::size(kAttachedAtStart)) {
        if (SteadyTime::now() > deadline) {
            Fail("the emulator's devices got no hidraw nodes");
            return false;
        }
        std::this_thread::sleep_for(200ms);
    }
    if (!Ask("start settle").ok || Ask("wait settle 60", 70s).status != "0") {
        Fail("udevadm settle failed");
        return false;
    }
    // Options for a sanitized bridge; a plain one ignores them. Whatever a
    // sanitizer reports fails the case it happened in (SanitizerReport).
    const Reply started =
        Ask("start bridge ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 --listen 0.0.0.0 --port 10086");
    if (!started.ok) {
        Fail("the bridge did not start: " + started.status);
        return false;
    }
    const auto until = SteadyTime::now() + 120s;  // a sanitized bridge under TCG is slow
    while (SteadyTime::now() < until) {
        WsClient page(wsPort);
        if (page.Greeting(10s) == "0304") return true;
        if (Ask("wait bridge 0").ok) break;  // it ended
        std::this_thread::sleep_for(500ms);
    }
    std::string why = "the bridge does not greet a page; its stderr:";
    for (const auto& line : Output("bridge", "err")) why += "\n" + line;
    Fail(why);
    return false;
}

void Guest::TearDown() {
    if (m_vm.Running()) {
        Ask("stream off");
        const Reply stopped = Ask("stop bridge", 60s);
        if (stopped.ok || stopped.status != "bridge was not started") {
            EXPECT_EQ(stopped.status, "0") << "the bridge's exit status after SIGTERM";
        }
        const std::string report = SanitizerReport(Output("bridge", "err"));
        EXPECT_EQ(report, "") << "the bridge reported at shutdown";
    }
    if (!m_vm.PowerOff()) ADD_FAILURE() << "the guest did not power off";
    std::string figures;
    for (const auto& [what, seconds] : m_figures) {
        char text[96];
        std::snprintf(text, sizeof text, "%s%s %.1f s", figures.empty() ? "" : ", ", what.c_str(), seconds);
        figures += text;
    }
    if (!figures.empty()) std::printf("orvex-kernel-suite: %s\n", figures.c_str());
}

std::vector<LogEntry> Guest::Log(const std::string& device) {
    std::vector<LogEntry> entries;
    for (const auto& line : Ask("log " + device).lines) {
        std::stringstream fields(line);
        LogEntry entry;
        fields >> entry.t_ms >> entry.kind >> entry.hex;
        if (entry.hex == "-") entry.hex.clear();
        entries.push_back(entry);
    }
    return entries;
}

std::vector<std::string> Guest::Output(const std::string& proc, const std::string& stream) {
    return Ask("output " + proc + " " + stream).lines;
}

std::map<std::string, std::string> Guest::Nodes() {
    std::map<std::string, std::string> nodes;
    for (const auto& line : Ask("devices").lines) {
        std::stringstream fields(line);
        std::string name, attached, node;
        fields >> name >> attached >> node;
        if (attached == "1" && node != "-") nodes[name] = node;
    }
    return nodes;
}

// What the device received: the entries of these kinds, as hex.
std::vector<std::string> Received(const std::vector<LogEntry>& log, const std::vector<std::string>& kinds) {
    std::vector<std::string> hex;
    for (const auto& entry : log)
        if (std::find(kinds.begin(), kinds.end(), entry.kind) != kinds.end())
            hex.push_back(entry.kind + " " + entry.hex);
    return hex;
}

const LogEntry* FirstEntry(const std::vector<LogEntry>& log, const std::string& kind, const std::string& hex = "") {
    for (const auto& entry : log)
        if (entry.kind == kind && (hex.empty() || entry.hex == hex)) return &entry;
    return nullptr;
}

const std::string kInitialFeatureReport = "0c0a01fe01fe00000000";

class RealKernel : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_guest->skip.empty()) GTEST_SKIP() << g_guest->skip;
        ASSERT_EQ(g_guest->failure, "");
        m_page = std::make_unique<WsClient>(g_guest->wsPort);
        ASSERT_TRUE(m_page->Connect(10s));
        ASSERT_TRUE(m_page->WaitForMessages(1, kWait));
        ASSERT_EQ(m_page->Messages().front(), "0304");
    }

    void TearDown() override {
        if (!g_guest->Running()) return;
        g_guest->Ask("stream off");
        EXPECT_EQ(SanitizerReport(g_guest->Output("bridge", "err")), "");
    }

    // The page's messages after the greeting.
    std::vector<std::string> Texts() {
        auto messages = m_page->Messages();
        messages.erase(messages.begin());
        return messages;
    }

    // Waits for the text among the messages from index `from` on.
    bool WaitForText(const std::string& text, std::chrono::milliseconds timeout = kWait, size_t from = 0) {
        return m_page->FindMessage(text, from, timeout) >= 0;
    }

    void Ask(const std::string& request) {
        const Reply reply = g_guest->Ask(request);
        ASSERT_TRUE(reply.ok) << request << ": " << reply.status;
    }

    // A family rebuilt after an arrival opens its nodes one after another, and
    // a report sent before a node is open is lost: sent again until heard.
    bool ReportUntilForwarded(const std::string& device, const std::string& report, const std::string& text) {
        const auto deadline = SteadyTime::now() + kWait;
        const size_t from = m_page->Messages().size();
        while (SteadyTime::now() < deadline) {
            g_guest->Ask("report " + device + " " + report);
            if (WaitForText(text, 500ms, from)) return true;
        }
        return false;
    }

    // Waits until the device's log holds an entry of this kind.
    std::vector<LogEntry> WaitForLogEntry(const std::string& device, const std::string& kind,
                                          const std::string& hex = "") {
        const auto deadline = SteadyTime::now() + kWait;
        while (true) {
            auto log = g_guest->Log(device);
            if (FirstEntry(log, kind, hex) || SteadyTime::now() > deadline) return log;
            std::this_thread::sleep_for(100ms);
        }
    }

    std::unique_ptr<WsClient> m_page;
};

TEST_F(RealKernel, StartUpOpensEveryNodeAndSendsTheInitialFeatureReportOnlyToFeatureDevices) {
    const std::map<std::string, std::vector<std::string>> sent = {
        {"fa60", {"feature " + kInitialFeatureReport}},
        {"fa65", {}},
        {"fa70", {"feature " + kInitialFeatureReport}},
        {"fa71", {}},
    };
    for (const auto& [device, expected] : sent) {
        const auto& log = g_guest->startupLog[device];
        EXPECT_NE(FirstEntry(log, "open"), nullptr) << device << " was never opened";
        EXPECT_EQ(Received(log, {"feature", "output", "refused"}), expected) << device;
    }
}

// Collections of one node share every report; only a collection's own ids may
// come out of its handle.
TEST_F(RealKernel, ForwardsEachInputReportThroughItsOwnCollectionOnly) {
    struct Row {
        const char* device;
        const char* report;
        const char* text;  // empty: nobody forwards it
    };
    const Row rows[] = {
        {"fa60", "0501112233", "81010501112233"},
        {"fa65", "0502a1a2a3", "82010502a1a2a3"},
        {"fa65", "0602b1b2b3", "83010602b1b2b3"},
        {"fa65", "0402e1e2e3", ""},  // the query-answer collection: read by queries only
        {"fa65", "0502c1c2c3", "82010502c1c2c3"},
        {"fa65", "0602d1d2d3", "83010602d1d2d3"},
        {"fa70", "0503112233445566", "80010503112233"},
        {"fa71", "0604a1", "85010604a10000"},
    };
    std::vector<std::string> expected;
    for (const Row& row : rows) {
        Ask(std::string("report ") + row.device + " " + row.report);
        if (*row.text == '\0') continue;
        ASSERT_TRUE(WaitForText(row.text)) << row.device << " " << row.report;
        expected.push_back(row.text);
    }
    // A foreign report forwarded by a reader would have come before that
    // reader's next own text.
    EXPECT_EQ(Texts(), expected);
}

TEST_F(RealKernel, AcknowledgesAFamily81CommandThroughTheKernel) {
    ASSERT_TRUE(ReportUntilForwarded("fa60", "0501112233", "81010501112233"));
    Ask("clear fa60");
    m_page->SendText("81010704aabb");
    ASSERT_TRUE(WaitForText("01810101"));

    const auto texts = Texts();
    const auto ack = std::find(texts.begin(), texts.end(), "81010501500000");
    EXPECT_LT(ack - texts.begin(), std::find(texts.begin(), texts.end(), "01810101") - texts.begin())
        << "the acknowledgement report goes to the pages before the acknowledgement text";
    const auto sent = Received(g_guest->Log("fa60"), {"feature", "refused"});
    ASSERT_FALSE(sent.empty());
    EXPECT_LE(sent.size(), 10u);
    for (const auto& report : sent) EXPECT_EQ(report, "feature 0704aabb");
}

TEST_F(RealKernel, AnswersAFeatureQueryThroughTheKernel) {
    ASSERT_TRUE(ReportUntilForwarded("fa60", "0501112233", "81010501112233"));
    Ask("clear fa60");
    m_page->SendText("f081010502");
    ASSERT_TRUE(WaitForText("8101" + Hex(Answer(0x05, 15), true)));
    EXPECT_EQ(Received(g_guest->Log("fa60"), {"feature", "get_feature", "refused"}),
              (std::vector<std::string>{"feature a0050f0003000000", "get_feature a001000000000000",
                                        "get_feature " + Hex(Answer(0x05, 15))}));
}

TEST_F(RealKernel, WritesAFamily85CommandAsOneOutputReport) {
    ASSERT_TRUE(ReportUntilForwarded("fa71", "0604000000", "85010604000000"));
    Ask("clear fa71");
    m_page->SendText("85040502");
    const auto log = WaitForLogEntry("fa71", "output");
    EXPECT_EQ(Received(log, {"output", "refused"}), std::vector<std::string>{"output 04070005020012" + Zeros(65 - 7)});
}

// The control handle of a query shares its node with collections that keep
// reporting; their reports sit in its kernel buffer, which nobody reads
// between queries.
TEST_F(RealKernel, AnswersAnOutputQueryWhileTheNodesOtherCollectionsKeepReporting) {
    struct Row {
        const char* family;
        const char* device;
        const char* pairing;  // makes the device id known
        std::vector<const char*> streams;
        const char* frame;
        const char* request;
        std::string reply;
        const char* failureText;
    };
    const Row rows[] = {
        {"83",
         "fa65",
         "0602000000",
         {"0502f0f1f2", "0602f0f1f2"},
         "f083020a03",
         "040ca00a8004040000000142",
         "8302" + Hex(Answer(0x0A, 128), true),
         "83020AF0"},
        {"85",
         "fa71",
         "0604000000",
         {"0604f0f1f2"},
         "f085040b00",
         "040ca00b08000000000000c3",
         "85040b010203",
         "85040BF0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.family);
        const std::string device = row.device;
        ASSERT_TRUE(ReportUntilForwarded(device, row.pairing, std::string(row.family) + "01" + row.pairing));
        for (const char* report : row.streams) Ask("stream " + device + " " + report + " 10");
        ASSERT_TRUE(WaitForText(std::string(row.family) + "01" + row.streams.back()));
        Ask("clear " + device);

        m_page->SendText(row.frame);
        ASSERT_TRUE(WaitForText(row.reply));
        Ask("stream off");

        const auto texts = Texts();
        EXPECT_EQ(std::count(texts.begin(), texts.end(), row.reply), 1);
        EXPECT_EQ(std::count(texts.begin(), texts.end(), row.failureText), 0);
        const std::string answerReportText = std::string(row.family) + "0104";
        for (const auto& text : texts)
            EXPECT_NE(text.rfind(answerReportText, 0), 0u) << "an answer report was forwarded as an input report";
        const auto written = Received(g_guest->Log(device), {"output"});
        ASSERT_FALSE(written.empty());
        for (const auto& request : written) EXPECT_EQ(request, std::string("output ") + row.request);
    }
}

TEST_F(RealKernel, OpensAnArrivingDevicesFamilyOneSecondAfterItAppears) {
    Ask("clear fa60");
    Ask("clear fa60b");
    Ask("plug fa60b");
    const auto log = WaitForLogEntry("fa60b", "feature", kInitialFeatureReport);
    const LogEntry* appeared = FirstEntry(log, "start");
    const LogEntry* opened = FirstEntry(log, "feature", kInitialFeatureReport);
    ASSERT_TRUE(appeared && opened) << "the arriving device was not opened";
    EXPECT_GE(opened->t_ms - appeared->t_ms, 1000);

    // The whole family is rebuilt, the device already there included.
    const auto present = g_guest->Log("fa60");
    const LogEntry* reopened = FirstEntry(present, "feature", kInitialFeatureReport);
    ASSERT_NE(reopened, nullptr);
    EXPECT_GE(reopened->t_ms - appeared->t_ms, 1000);

    EXPECT_TRUE(ReportUntilForwarded("fa60b", "0507aabbcc", "81010507aabbcc"));
    EXPECT_TRUE(ReportUntilForwarded("fa60", "0501aabbcc", "81010501aabbcc"));
    Ask("unplug fa60b");
    EXPECT_TRUE(WaitForText("810007"));
}

TEST_F(RealKernel, AnnouncesARemovalAndServesTheDeviceAgainWhenReplugged) {
    struct Row {
        const char* device;
        std::vector<std::pair<const char*, const char*>> reports;  // report, its text
        std::vector<std::string> removals;
        std::vector<std::string> traces;
    };
    const Row rows[] = {
        {"fa60", {{"0501112233", "81010501112233"}}, {"810001"}, {"DBT_DEVICEREMOVECOMPLETE."}},
        {"fa65",
         {{"0502a1a2a3", "82010502a1a2a3"}, {"0602b1b2b3", "83010602b1b2b3"}},
         {"820002", "830002"},
         {"Vireo ----------------- DBT_DEVICEREMOVECOMPLETE.", "Sabre ----------------- DBT_DEVICEREMOVECOMPLETE."}},
    };
    auto countTrace = [](const std::string& trace) {
        const auto lines = g_guest->Output("bridge", "err");
        return std::count(lines.begin(), lines.end(), trace);
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.device);
        for (const auto& [report, text] : row.reports) ASSERT_TRUE(ReportUntilForwarded(row.device, report, text));
        std::vector<long> tracesBefore;
        for (const auto& trace : row.traces) tracesBefore.push_back(countTrace(trace));
        const size_t before = Texts().size();

        Ask(std::string("unplug ") + row.device);
        ASSERT_TRUE(WaitForText(row.removals.back()));
        const auto texts = Texts();
        EXPECT_EQ(std::vector<std::string>(texts.begin() + static_cast<long>(before), texts.end()), row.removals);
        for (size_t i = 0; i < row.traces.size(); ++i)
            EXPECT_EQ(countTrace(row.traces[i]), tracesBefore[i] + 1) << row.traces[i];

        Ask(std::string("plug ") + row.device);
        for (const auto& [report, text] : row.reports) EXPECT_TRUE(ReportUntilForwarded(row.device, report, text));
    }
}

TEST_F(RealKernel, AnUnprivilegedBridgeNamesTheRuleForEveryNodeItMayNotOpen) {
    const auto nodes = g_guest->Nodes();
    auto line = [](const std::string& node) {
        return "orvex-bridge: permission denied opening /dev/" + node +
               "; install 70-orvex-bridge.rules into /etc/udev/rules.d, run 'udevadm control --reload-rules' and "
               "replug the device";
    };
    auto allNamed = [&](const std::vector<std::string>& lines) {
        for (const auto& [device, node] : nodes)
            if (std::find(lines.begin(), lines.end(), line(node)) == lines.end()) return false;
        return true;
    };
    Ask("start nobody --listen 127.0.0.1 --port 10087");
    const auto deadline = SteadyTime::now() + kWait;
    std::vector<std::string> lines;
    while (!allNamed(lines = g_guest->Output("nobody", "err")) && SteadyTime::now() < deadline)
        std::this_thread::sleep_for(200ms);
    const Reply stopped = g_guest->Ask("stop nobody");
    lines = g_guest->Output("nobody", "err");

    EXPECT_EQ(nodes.size(), std::size(kAttachedAtStart));
    for (const auto& [device, node] : nodes) EXPECT_THAT(lines, ::testing::Contains(line(node))) << device;
    EXPECT_EQ(stopped.status, "0");
    EXPECT_EQ(SanitizerReport(lines), "");
}

}  // namespace
}  // namespace orvex::test
