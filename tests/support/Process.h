// Runs the bridge binary as a child process, capturing its output, for tests
// of the process as a user starts it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvex::test {

// The bridge built beside the tests.
inline const std::string kBridgeBinary = ORVEX_BRIDGE_BINARY;

class ChildProcess {
public:
    // argv[0] is the program. env entries "NAME=value" are added to (or
    // replace in) the current environment.
    ChildProcess(std::vector<std::string> argv, std::vector<std::string> env = {});
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    void Signal(int signal);
    // Exit status, or -1 if it has not ended within the time-out (128+n for a signal).
    int Wait(std::chrono::milliseconds timeout);
    // After the child ended: waits until its output pipes are drained.
    void FinishOutput();
    std::string Stdout();
    std::string Stderr();
    // Waits until stderr (stdout) contains the text.
    bool WaitForStderr(const std::string& text, std::chrono::milliseconds timeout);
    bool WaitForStdout(const std::string& text, std::chrono::milliseconds timeout);

private:
    void Drain(int fd, std::string* into);
    std::string m_program;
    pid_t m_pid = -1;
    int m_status = -1;
    bool m_ended = false;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::string m_stdout, m_stderr;
    std::thread m_outThread, m_errThread;
};

// Runs to completion (bounded) and returns {status, stdout, stderr}.
struct RunResult {
    int status;
    std::string out;
    std::string err;
};
RunResult RunToEnd(std::vector<std::string> argv, std::chrono::milliseconds timeout, std::vector<std::string> env = {});

// A fresh temporary directory, removed with everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// A loopback port held by a listening socket of the test, so that the bridge
// finds it taken. Released at destruction.
class TakenPort {
public:
    TakenPort();
    ~TakenPort();
    TakenPort(const TakenPort&) = delete;
    TakenPort& operator=(const TakenPort&) = delete;
    uint16_t port() const { return m_port; }  // 0 when no port could be taken

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// A TCP socket connected to 127.0.0.1:port, or -1 (errno says why).
int ConnectLoopback(uint16_t port);

// Connections to 127.0.0.1:port that never send a byte, closed at destruction.
class IdleConnections {
public:
    IdleConnections(uint16_t port, int count);
    ~IdleConnections();
    IdleConnections(const IdleConnections&) = delete;
    IdleConnections& operator=(const IdleConnections&) = delete;

private:
    std::vector<int> m_fds;
};

// The first line of text that reports a sanitizer finding; "" when none.
std::string SanitizerReportIn(const std::string& text);

// Parses the port out of the bridge's verbose start-up line.
int ParseListeningPort(const std::string& stderrText);

}  // namespace orvex::test
