// An idle bridge: the real binary with --simulate and its control socket, 20
// opened simulated devices and one connected page, no report at all. Counts the context switches
// (voluntary and involuntary) of every thread of the process over the run,
// and its CPU time, from /proc/<pid>/task/*. Bounds: at most 1 wake-up per
// second for the whole process, CPU below 0.1 % of one core; exits 1 when one
// is broken. Threads that woke are listed, to find what wakes.
//
//   bench_idle_wakeups [seconds]     (default 10)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "support/Process.h"
#include "support/WsClient.h"

using namespace std::chrono;
using namespace orvex::bench;

extern char** environ;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The number of the system call the thread waits in (7 poll, 202 futex, 232
// epoll_wait, ...), from /proc/<pid>/task/<tid>/syscall.
std::string Syscall(const std::string& pid, long tid) {
    std::string number;
    std::ifstream("/proc/" + pid + "/task/" + std::to_string(tid) + "/syscall") >> number;
    return number.empty() ? "?" : number;
}

// The bridge with stdout and stderr in files; -1 when it cannot start.
pid_t Spawn(const std::string& scenario, const std::string& dir) {
    std::vector<std::string> argv = {ORVEX_BRIDGE_BINARY, "--simulate", scenario, "--sim-control",
                                     dir + "/control",    "--port",     "0",      "--verbose"};
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("XDG_RUNTIME_DIR=", 0) != 0) env.push_back(*e);
    // Its own single-instance lock: another bridge on this machine must not
    // keep it from starting.
    env.push_back("XDG_RUNTIME_DIR=" + dir);
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    orvex::test::TempDir dir;
    const std::string scenarioFile = dir.path() + "/idle.json";
    std::ofstream(scenarioFile) << Scenario(5, nullptr);
    const pid_t pid = Spawn(scenarioFile, dir.path());
    if (pid <= 0) {
        std::fprintf(stderr, "cannot start %s\n", ORVEX_BRIDGE_BINARY);
        return 1;
    }
    const std::string pidText = std::to_string(pid);
    auto stop = [&] {
        ::kill(pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(milliseconds(50));
        if (::waitpid(pid, &status, WNOHANG) == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
    };

    int port = -1;
    for (int i = 0; i < 200 && port < 0; ++i) {
        std::this_thread::sleep_for(milliseconds(50));
        port = orvex::test::ParseListeningPort(ReadFile(dir.path() + "/stderr"));
    }
    if (port < 0) {
        std::fprintf(stderr, "the bridge did not start:\n%s\n", ReadFile(dir.path() + "/stderr").c_str());
        stop();
        return 1;
    }
    orvex::test::WsClient page(static_cast<uint16_t>(port));
    if (!page.Connect() || !page.WaitForMessages(1)) {
        std::fprintf(stderr, "the page did not connect\n");
        stop();
        return 1;
    }
    // Start-up is over once the thread count has settled: 25 readers (the
    // Sabre devices have two) and the bridge's own threads.
    size_t threads = 0;
    for (int stable = 0, i = 0; stable < 10 && i < 200; ++i) {
        std::this_thread::sleep_for(milliseconds(100));
        const size_t now = Tasks(pidText).size();
        stable = now == threads && now > 25 ? stable + 1 : 0;
        threads = now;
    }

    const auto before = Figures(pidText, Tasks(pidText));
    const auto start = steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto after = Figures(pidText, Tasks(pidText));
    const double wall = duration<double>(steady_clock::now() - start).count();
    const bool quiet = page.Messages().size() == 1;
    // Read before the bridge ends: where each thread waits tells which it is.
    std::map<long, std::string> syscalls;
    for (const auto& [tid, f] : after) syscalls[tid] = Syscall(pidText, tid);
    stop();

    long long switches = 0;
    double cpu = 0;
    std::vector<std::string> busy;
    for (const auto& [tid, f] : after) {
        auto it = before.find(tid);
        const long long s = f.switches - (it == before.end() ? 0 : it->second.switches);
        cpu += f.cpuNanos - (it == before.end() ? 0 : it->second.cpuNanos);
        switches += s;
        if (s > 0)
            busy.push_back("    thread " + std::to_string(tid) + (tid == pid ? " (main)" : "") +
                           ", waiting in syscall " + syscalls[tid] + ": " + std::to_string(s));
    }
    const double perSecond = static_cast<double>(switches) / wall;
    const double cpuPercent = cpu / (wall * 1e9) * 100.0;
    std::printf("idle: 20 simulated devices opened, 1 page, no reports, %.1f s, %zu threads\n", wall, after.size());
    std::printf("  wake-ups: %lld (%.2f/s)   CPU: %.3f%% of one core\n", switches, perSecond, cpuPercent);
    for (const auto& line : busy) std::printf("%s\n", line.c_str());
    PrintLoad();
    Verdict verdict;
    verdict.Check(quiet, "no text reached the page");
    verdict.Check(perSecond <= 1.0, "at most 1 wake-up per second");
    verdict.Check(cpuPercent < 0.1, "CPU below 0.1% of one core");
    return verdict.Status();
}
