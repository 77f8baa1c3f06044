#include "support/Process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace orvex::test {

ChildProcess::ChildProcess(std::vector<std::string> argv, std::vector<std::string> env) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        const auto eq = entry.find('=');
        if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& entry : env) {
        const auto eq = entry.find('=');
        if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : vars) envStrings.push_back(k + "=" + v);
    m_program = argv.empty() ? "" : argv[0];
    std::vector<char*> envp, args;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    for (auto& s : argv) args.push_back(s.data());
    args.push_back(nullptr);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    m_pid = pid;
    m_outThread = std::thread([this, fd = out[0]] { Drain(fd, &m_stdout); });
    m_errThread = std::thread([this, fd = err[0]] { Drain(fd, &m_stderr); });
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0 && Wait(std::chrono::milliseconds(0)) < 0) {
        kill(m_pid, SIGKILL);
        Wait(std::chrono::milliseconds(5000));
    }
    if (m_outThread.joinable()) m_outThread.join();
    if (m_errThread.joinable()) m_errThread.join();
    // A sanitizer report in the child is a failure of the test, whatever the
    // test itself checks of the child, and the report is shown whole.
    if (!SanitizerReportIn(m_stderr).empty())
        ADD_FAILURE() << "the child process " << m_program << " reported:\n" << m_stderr;
}

std::string SanitizerReportIn(const std::string& text) {
    for (const char* marker : {"WARNING: ThreadSanitizer", "ThreadSanitizer: reported", "ERROR: AddressSanitizer",
                               "ERROR: LeakSanitizer", "runtime error:"}) {
        const size_t at = text.find(marker);
        if (at == std::string::npos) continue;
        const size_t begin = text.rfind('\n', at);
        const size_t start = begin == std::string::npos ? 0 : begin + 1;
        return text.substr(start, text.find('\n', at) - start);
    }
    return "";
}

int ConnectLoopback(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

IdleConnections::IdleConnections(uint16_t port, int count) {
    for (int i = 0; i < count; ++i)
        if (const int fd = ConnectLoopback(port); fd >= 0) m_fds.push_back(fd);
}

IdleConnections::~IdleConnections() {
    for (const int fd : m_fds) close(fd);
}

void ChildProcess::Drain(int fd, std::string* into) {
    char buffer[4096];
    while (true) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(m_mutex);
        into->append(buffer, static_cast<size_t>(n));
        m_cv.notify_all();
    }
    close(fd);
}

void ChildProcess::FinishOutput() {
    if (m_outThread.joinable()) m_outThread.join();
    if (m_errThread.joinable()) m_errThread.join();
}

void ChildProcess::Signal(int signal) {
    if (m_pid > 0 && !m_ended) kill(m_pid, signal);
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (m_pid <= 0) return -1;
    if (m_ended) return m_status;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int status = 0;
        const pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_ended = true;
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_status;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string ChildProcess::Stdout() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stdout;
}

std::string ChildProcess::Stderr() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stderr;
}

bool ChildProcess::WaitForStderr(const std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_stderr.find(text) != std::string::npos; });
}

bool ChildProcess::WaitForStdout(const std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_stdout.find(text) != std::string::npos; });
}

RunResult RunToEnd(std::vector<std::string> argv, std::chrono::milliseconds timeout, std::vector<std::string> env) {
    RunResult result{-1, "", ""};
    {
        ChildProcess child(std::move(argv), std::move(env));
        result.status = child.Wait(timeout);
        if (result.status < 0) child.Signal(SIGKILL);
        child.Wait(std::chrono::milliseconds(5000));
        child.FinishOutput();
        result.out = child.Stdout();
        result.err = child.Stderr();
    }
    return result;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvex-test-XXXXXX").string();
    if (mkdtemp(pattern.data())) m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
}

TakenPort::TakenPort() {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(m_fd, 1) == 0 &&
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        m_port = ntohs(addr.sin_port);
}

TakenPort::~TakenPort() {
    if (m_fd >= 0) close(m_fd);
}

int ParseListeningPort(const std::string& stderrText) {
    const size_t line = stderrText.find("listening on ");
    if (line == std::string::npos) return -1;
    const std::string key = " port ";
    const size_t at = stderrText.find(key, line);
    if (at == std::string::npos) return -1;
    const char* digits = stderrText.c_str() + at + key.size();
    if (*digits < '0' || *digits > '9') return -1;
    return std::atoi(digits);
}

}  // namespace orvex::test
