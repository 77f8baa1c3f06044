// The libudev monitor: creation and clean shutdown on the real system, and
// delivery of hidraw events through a mocked udev (umockdev) when it can be
// preloaded; the hidraw backend's enumeration on the same mock. Tests that
// need the mock run themselves again in a child process under the preload
// library, so the rest of the program stays unmocked.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/HidApi.h"
#include "platform/linux/HidrawApi.h"
#include "platform/linux/UdevMonitor.h"
#include "support/Fakes.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;

// sockets_only: glib, under the mock, opens descriptors of its own from
// other threads at times of its choosing; the monitor's is a socket.
size_t OpenDescriptorCount(bool sockets_only = false) {
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            if (sockets_only) {
                char target[256] = {};
                const std::string link = std::string("/proc/self/fd/") + entry->d_name;
                if (readlink(link.c_str(), target, sizeof target - 1) <= 0 || std::strncmp(target, "socket:", 7) != 0)
                    continue;
            }
            ++count;
        }
        closedir(dir);
    }
    return count;
}

// ---- umockdev, loaded at run time --------------------------------------------

struct Umockdev {
    void* (*testbed_new)() = nullptr;
    int (*add_from_string)(void*, const char*, void**) = nullptr;
    void (*uevent)(void*, const char*, const char*) = nullptr;
    void (*remove_device)(void*, const char*) = nullptr;
    void (*object_unref)(void*) = nullptr;

    static const Umockdev* Get() {
        static const Umockdev* api = Load();
        return api;
    }

private:
    static const Umockdev* Load() {
        void* lib = dlopen("libumockdev.so.0", RTLD_NOW | RTLD_GLOBAL);
        if (lib == nullptr) return nullptr;
        static Umockdev api;
        api.testbed_new = reinterpret_cast<void* (*)()>(dlsym(lib, "umockdev_testbed_new"));
        api.add_from_string =
            reinterpret_cast<int (*)(void*, const char*, void**)>(dlsym(lib, "umockdev_testbed_add_from_string"));
        api.uevent = reinterpret_cast<void (*)(void*, const char*, const char*)>(dlsym(lib, "umockdev_testbed_uevent"));
        api.remove_device =
            reinterpret_cast<void (*)(void*, const char*)>(dlsym(lib, "umockdev_testbed_remove_device"));
        api.object_unref = reinterpret_cast<void (*)(void*)>(dlsym(lib, "g_object_unref"));
        if (!api.testbed_new || !api.add_from_string || !api.uevent || !api.remove_device || !api.object_unref)
            return nullptr;
        return &api;
    }
};

// The path of the first loaded object whose name contains one of the keys.
std::string LoadedObject(std::vector<const char*> keys) {
    struct Search {
        std::vector<const char*> keys;
        std::string found;
    } search{std::move(keys), {}};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            const char* name = info->dlpi_name;
            if (name == nullptr || !s->found.empty()) return 0;
            for (const char* key : s->keys)
                if (std::strstr(name, key)) s->found = name;
            return 0;
        },
        &search);
    return search.found;
}

#if defined(__SANITIZE_THREAD__)
#define ORVEX_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORVEX_UNDER_TSAN 1
#endif
#endif

enum class ChildOutcome { RunHere, Passed, Skipped, Failed };
constexpr const char* kChildMarker = "ORVEX_UMOCKDEV_CHILD";

// Runs the current test again, alone, in a child under the umockdev preload.
ChildOutcome RunCurrentTestMocked(std::string* report) {
#ifdef ORVEX_UNDER_TSAN
    // umockdev's worker thread and the test hand data to each other through
    // glib, whose locks are futexes ThreadSanitizer cannot see: it would
    // report the library's own hand-over in every run. The monitor itself
    // starts no thread; the other sanitizer runs cover these cases.
    *report = "umockdev synchronises through glib in a way ThreadSanitizer cannot follow";
    return ChildOutcome::Skipped;
#endif
    const Umockdev* api = Umockdev::Get();
    if (api == nullptr) {
        *report = "libumockdev.so.0 is not installed";
        return ChildOutcome::Skipped;
    }
    // umockdev only reports a mocked system once a test bed exists, so look
    // for the preloaded library itself.
    if (!LoadedObject({"libumockdev-preload"}).empty()) return ChildOutcome::RunHere;
    if (std::getenv(kChildMarker) != nullptr) {
        *report = "the umockdev preload library did not take effect";
        return ChildOutcome::Skipped;
    }

    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(info->test_suite_name()) + "." + info->name();
    const std::string filter = "--gtest_filter=" + name;

    std::string preload = "libumockdev-preload.so.0";
    // A sanitizer runtime must come first among preloaded libraries.
    const std::string runtime = LoadedObject({"/libasan.so", "/libtsan.so"});
    if (!runtime.empty()) preload = runtime + ":" + preload;
    if (const char* old = std::getenv("LD_PRELOAD")) preload += std::string(":") + old;
    // What glib and umockdev keep until exit is not ours to report.
    std::string asan = "verify_asan_link_order=0:detect_leaks=0";
    if (const char* old = std::getenv("ASAN_OPTIONS")) asan = std::string(old) + ":" + asan;
    std::string lsan = "detect_leaks=0";
    if (const char* old = std::getenv("LSAN_OPTIONS")) lsan = std::string(old) + ":" + lsan;

    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        *report = "pipe failed";
        return ChildOutcome::Failed;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], 1);
        dup2(pipe_fds[1], 2);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        setenv("LD_PRELOAD", preload.c_str(), 1);
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
        setenv("LSAN_OPTIONS", lsan.c_str(), 1);
        setenv(kChildMarker, "1", 1);
        const char* argv[] = {"udev_monitor_test", filter.c_str(), "--gtest_color=no", nullptr};
        execv("/proc/self/exe", const_cast<char* const*>(argv));
        _exit(127);
    }
    close(pipe_fds[1]);
    if (pid < 0) {
        close(pipe_fds[0]);
        *report = "fork failed";
        return ChildOutcome::Failed;
    }

    // Generous: the child starts a sanitized program and a mocked udev.
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    std::string output;
    bool timed_out = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= 0ms) {
            timed_out = true;
            break;
        }
        pollfd p{pipe_fds[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        output.append(buffer, static_cast<size_t>(n));
    }
    close(pipe_fds[0]);
    if (timed_out) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);

    *report = output;
    if (timed_out) {
        *report = "the mocked run did not end within 120 s:\n" + output;
        return ChildOutcome::Failed;
    }
    if (output.find("[  SKIPPED ] " + name) != std::string::npos) return ChildOutcome::Skipped;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && output.find("[       OK ] " + name) != std::string::npos)
        return ChildOutcome::Passed;
    return ChildOutcome::Failed;
}

#define ORVEX_RUN_MOCKED()                        \
    do {                                          \
        std::string report_;                      \
        switch (RunCurrentTestMocked(&report_)) { \
            case ChildOutcome::RunHere:           \
                break;                            \
            case ChildOutcome::Passed:            \
                return;                           \
            case ChildOutcome::Skipped:           \
                GTEST_SKIP() << report_;          \
            case ChildOutcome::Failed:            \
                FAIL() << report_;                \
        }                                         \
    } while (0)

// ---- recorded devices --------------------------------------------------------

std::string HidrawNode(const std::string& hidDevice, int minor) {
    const std::string node = "hidraw" + std::to_string(minor);
    return "P: /devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.1/" + hidDevice + "/hidraw/" + node + "\nN: " + node +
           "\nE: DEVNAME=/dev/" + node + "\nE: SUBSYSTEM=hidraw\nE: MAJOR=241\nE: MINOR=" + std::to_string(minor) +
           "\nA: dev=241:" + std::to_string(minor) + "\n\n";
}

std::string SysPath(const std::string& hidDevice, int minor) {
    return "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.1/" + hidDevice + "/hidraw/hidraw" +
           std::to_string(minor);
}

class AUdevMonitorOnAMockedSystem : public ::testing::Test {
protected:
    void TearDown() override {
        m_monitor.stop();
        if (m_testbed) Umockdev::Get()->object_unref(m_testbed);
    }

    void Add(const std::string& description) {
        if (!m_testbed) m_testbed = Umockdev::Get()->testbed_new();
        ASSERT_NE(m_testbed, nullptr);
        void* error = nullptr;
        ASSERT_TRUE(Umockdev::Get()->add_from_string(m_testbed, description.c_str(), &error)) << description;
    }
    void Emit(const std::string& syspath, const char* action) {
        Umockdev::Get()->uevent(m_testbed, syspath.c_str(), action);
    }

    void Start() {
        ASSERT_TRUE(m_monitor.start(m_loop, [this](const DeviceChange& change) {
            m_changes.push_back(change);
            m_threads.push_back(std::this_thread::get_id());
        }));
    }
    // Runs the loop until n changes have arrived or a generous time is up.
    void RunUntil(size_t n) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (m_changes.size() < n && std::chrono::steady_clock::now() < deadline) {
            m_loop.restart();
            m_loop.run_for(50ms);
        }
    }

    void* m_testbed = nullptr;
    boost::asio::io_context m_loop;
    UdevMonitor m_monitor;
    std::vector<DeviceChange> m_changes;
    std::vector<std::thread::id> m_threads;
};

TEST_F(AUdevMonitorOnAMockedSystem, DeliversArrivalAndRemovalOfAHidrawNodeOnTheLoopThread) {
    ORVEX_RUN_MOCKED();
    Add(HidrawNode("0003:1D57:FA60.0007", 3));
    Start();
    Emit(SysPath("0003:1D57:FA60.0007", 3), "add");
    RunUntil(1);
    ASSERT_EQ(m_changes.size(), 1u);
    EXPECT_EQ(test::Describe(m_changes[0]), "arrival /dev/hidraw3 bus 0003 1d57:fa60");
    EXPECT_EQ(m_threads[0], std::this_thread::get_id());

    Emit(SysPath("0003:1D57:FA60.0007", 3), "remove");
    RunUntil(2);
    ASSERT_EQ(m_changes.size(), 2u);
    EXPECT_EQ(test::Describe(m_changes[1]), "removal /dev/hidraw3 bus 0003 1d57:fa60");
}

TEST_F(AUdevMonitorOnAMockedSystem, DeliversEveryNodeOfABurstInOrderAndNothingOfOtherSubsystems) {
    ORVEX_RUN_MOCKED();
    Add("P: /devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/0003:1D57:FA65.0008/input/input9/event4\n"
        "N: input/event4\nE: DEVNAME=/dev/input/event4\nE: SUBSYSTEM=input\nE: MAJOR=13\nE: MINOR=68\n\n");
    for (int minor = 4; minor < 8; ++minor) Add(HidrawNode("0003:1D57:FA65.000" + std::to_string(minor), minor));
    Start();
    Emit("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/0003:1D57:FA65.0008/input/input9/event4", "add");
    for (int minor = 4; minor < 8; ++minor) Emit(SysPath("0003:1D57:FA65.000" + std::to_string(minor), minor), "add");
    RunUntil(4);
    m_loop.restart();
    m_loop.run_for(100ms);  // anything more would arrive now
    ASSERT_EQ(m_changes.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(m_changes[i].path, "/dev/hidraw" + std::to_string(i + 4));
        EXPECT_EQ(m_changes[i].product_id, 0xFA65);
    }
}

TEST_F(AUdevMonitorOnAMockedSystem, DeliversABurstLongerThanOneTurnOfTheLoopWithoutWaitingForMore) {
    ORVEX_RUN_MOCKED();
    Add(HidrawNode("0003:1D57:FA60.0007", 3));
    // Two per turn, so that eight queued events (the mock's socket holds
    // about ten) take four turns; the socket raises one wake-up only.
    UdevMonitor monitor(2);
    ASSERT_TRUE(monitor.start(m_loop, [this](const DeviceChange& change) { m_changes.push_back(change); }));
    for (int i = 0; i < 8; ++i) Emit(SysPath("0003:1D57:FA60.0007", 3), i % 2 ? "remove" : "add");
    RunUntil(8);
    monitor.stop();
    ASSERT_EQ(m_changes.size(), 8u);
    for (size_t i = 0; i < m_changes.size(); ++i)
        EXPECT_EQ(m_changes[i].kind, i % 2 ? DeviceChange::Kind::Removal : DeviceChange::Kind::Arrival) << i;
}

TEST_F(AUdevMonitorOnAMockedSystem, DeliversNothingMoreOnceAHandlerStopsIt) {
    ORVEX_RUN_MOCKED();
    Add(HidrawNode("0003:1D57:FA60.0007", 3));
    ASSERT_TRUE(m_monitor.start(m_loop, [this](const DeviceChange& change) {
        m_changes.push_back(change);
        m_monitor.stop();
    }));
    Emit(SysPath("0003:1D57:FA60.0007", 3), "add");
    Emit(SysPath("0003:1D57:FA60.0007", 3), "remove");
    RunUntil(1);
    m_loop.restart();
    m_loop.run_for(200ms);
    ASSERT_EQ(m_changes.size(), 1u);
    EXPECT_FALSE(m_monitor.running());
}

TEST_F(AUdevMonitorOnAMockedSystem, DeliversNothingAfterStopAndClosesItsSocket) {
    ORVEX_RUN_MOCKED();
    Add(HidrawNode("0003:1D57:FA60.0007", 3));
    // The loop opens its own descriptors the first time one is watched.
    Start();
    m_monitor.stop();
    const size_t before = OpenDescriptorCount(true);
    Start();
    EXPECT_GT(OpenDescriptorCount(true), before);
    m_monitor.stop();
    EXPECT_EQ(OpenDescriptorCount(true), before);
    Emit(SysPath("0003:1D57:FA60.0007", 3), "add");
    m_loop.restart();
    m_loop.run_for(200ms);
    EXPECT_TRUE(m_changes.empty());
}

// hidapi numbers buses its own way; the core compares the kernel's numbers
// (the HID_ID below), or every BLE device would be skipped.
TEST_F(AUdevMonitorOnAMockedSystem, EnumeratesNodesWithTheKernelsBusNumbers) {
    ORVEX_RUN_MOCKED();
    struct Case {
        const char *hid, *parent, *hidId, *name;
        int minor;
        uint16_t bus;
    };
    const Case cases[] = {
        {"0005:045E:0B13.0001", "/devices/virtual/misc/uhid", "0005:0000045E:00000B13", "BLE mouse", 1, kBusBluetooth},
        {"0018:045E:0B14.0002", "/devices/platform/AMDI0010:00/i2c-0/i2c-MSFT0001:00", "0018:0000045E:00000B14",
         "I2C touchpad", 2, 0x18},
    };
    for (const Case& c : cases) {
        const std::string hid = std::string(c.parent) + "/" + c.hid;
        const std::string node = "hidraw" + std::to_string(c.minor);
        Add("P: " + hid + "/hidraw/" + node + "\nN: " + node + "\nE: DEVNAME=/dev/" + node +
            "\nE: SUBSYSTEM=hidraw\nE: MAJOR=241\nE: MINOR=" + std::to_string(c.minor) +
            "\nA: dev=241:" + std::to_string(c.minor) + "\nL: device=../../../" + c.hid + "\n\nP: " + hid +
            "\nE: SUBSYSTEM=hid\nE: HID_ID=" + c.hidId + "\nE: HID_NAME=" + c.name + "\nE: HID_UNIQ=aa:bb:cc:dd:ee:0" +
            std::to_string(c.minor) +
            "\nH: report_descriptor=05010902A1010901A10005091901290315002501950375018102C0C0\n\n");
    }
    HidrawApi api;
    ASSERT_EQ(api.init(), 0);
    const std::vector<HidDeviceInfo> entries = api.enumerate(0x045E, 0);
    for (const Case& c : cases) {
        const std::string path = "/dev/hidraw" + std::to_string(c.minor);
        const auto count = std::count_if(entries.begin(), entries.end(),
                                         [&](const HidDeviceInfo& e) { return e.path == path && e.bus_type == c.bus; });
        EXPECT_GT(count, 0) << c.name << " not listed with bus " << c.bus;
    }
}

// ---- the real system -----------------------------------------------------------

TEST(AUdevMonitor, StartsAndStopsRepeatedlyWithoutLeakingDescriptors) {
    boost::asio::io_context loop;
    UdevMonitor monitor;
    // The loop opens its own descriptors the first time one is watched.
    if (!monitor.start(loop, [](const DeviceChange&) {})) GTEST_SKIP() << "no udev netlink socket here";
    monitor.stop();
    const size_t before = OpenDescriptorCount();
    ASSERT_TRUE(monitor.start(loop, [](const DeviceChange&) {}));
    EXPECT_TRUE(monitor.running());
    EXPECT_GT(OpenDescriptorCount(), before);
    monitor.stop();
    monitor.stop();
    EXPECT_FALSE(monitor.running());
    EXPECT_EQ(OpenDescriptorCount(), before);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(monitor.start(loop, [](const DeviceChange&) {}));
        // A second start replaces the first without leaking it.
        ASSERT_TRUE(monitor.start(loop, [](const DeviceChange&) {}));
        monitor.stop();
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
    // The cancelled waits still reach the loop; none may call a handler.
    loop.restart();
    EXPECT_NO_FATAL_FAILURE(loop.poll());
}

TEST(AUdevMonitor, CanBeDestroyedWithAWaitPendingOnALoopThatRunsLater) {
    boost::asio::io_context loop;
    bool called = false;
    {
        UdevMonitor monitor;
        if (!monitor.start(loop, [&called](const DeviceChange&) { called = true; }))
            GTEST_SKIP() << "no udev netlink socket here";
    }
    loop.run_for(50ms);
    EXPECT_FALSE(called);
}

}  // namespace
}  // namespace orvex
