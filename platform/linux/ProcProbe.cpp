#include "platform/linux/ProcProbe.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace orvex {

namespace {

bool ParseHex(const std::string& text, unsigned long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    *value = std::strtoul(text.c_str(), &end, 16);
    return *end == '\0';
}

// "0100007F" (IPv4) or 32 digits (IPv6): the address words as the kernel
// prints them, each in host byte order.
bool ParseProcAddress(const std::string& hex, std::string* text) {
    char buffer[INET6_ADDRSTRLEN] = {};
    if (hex.size() == 8) {
        unsigned long word = 0;
        if (!ParseHex(hex, &word)) return false;
        in_addr address{};
        address.s_addr = static_cast<uint32_t>(word);
        if (!inet_ntop(AF_INET, &address, buffer, sizeof buffer)) return false;
    } else if (hex.size() == 32) {
        in6_addr address{};
        for (int i = 0; i < 4; ++i) {
            unsigned long word = 0;
            if (!ParseHex(hex.substr(static_cast<size_t>(i) * 8, 8), &word)) return false;
            const uint32_t host = static_cast<uint32_t>(word);
            std::memcpy(address.s6_addr + i * 4, &host, 4);
        }
        if (!inet_ntop(AF_INET6, &address, buffer, sizeof buffer)) return false;
    } else {
        return false;
    }
    *text = buffer;
    return true;
}

}  // namespace

FlockHolder FindFlockHolder(const std::string& path, const std::string& procRoot) {
    FlockHolder holder;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            holder.known = true;  // no bridge ever ran with this lock file
            return holder;
        }
        holder.error = path + ": " + std::strerror(errno);
        return holder;
    }
    std::ifstream locks(procRoot + "/locks");
    if (!locks) {
        holder.error = "cannot read " + procRoot + "/locks";
        return holder;
    }
    holder.known = true;
    // "1: FLOCK  ADVISORY  WRITE 1234 00:19:5678 0 EOF"; waiters carry "->"
    // after the number and hold nothing.
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, type, mode, access, pid, id;
        fields >> number >> type;
        if (type != "FLOCK") continue;
        fields >> mode >> access >> pid >> id;
        unsigned int devMajor = 0, devMinor = 0;
        unsigned long inode = 0;
        char tail = 0;
        if (std::sscanf(id.c_str(), "%x:%x:%lu%c", &devMajor, &devMinor, &inode, &tail) != 3) continue;
        if (devMajor != major(info.st_dev) || devMinor != minor(info.st_dev) || inode != info.st_ino) continue;
        holder.held = true;
        holder.pid = std::strtol(pid.c_str(), nullptr, 10);
        break;
    }
    return holder;
}

std::vector<TcpListener> FindTcpListeners(uint16_t port, const std::string& procRoot) {
    std::vector<TcpListener> listeners;
    for (const char* table : {"/net/tcp", "/net/tcp6"}) {
        std::ifstream file(procRoot + table);
        std::string line;
        std::getline(file, line);  // the column titles
        // "0: 0100007F:2766 00000000:0000 0A ... uid timeout inode ..."
        while (std::getline(file, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            if (state != "0A") continue;  // TCP_LISTEN
            const size_t colon = local.find(':');
            unsigned long localPort = 0;
            if (colon == std::string::npos || !ParseHex(local.substr(colon + 1), &localPort)) continue;
            if (localPort != port) continue;
            TcpListener listener;
            if (!ParseProcAddress(local.substr(0, colon), &listener.address)) continue;
            listener.port = port;
            listener.inode = std::strtoul(inode.c_str(), nullptr, 10);
            listener.uid = std::strtol(uid.c_str(), nullptr, 10);
            listeners.push_back(listener);
        }
    }
    return listeners;
}

bool ProcessHasSocket(long pid, unsigned long inode, bool* known, const std::string& procRoot) {
    *known = false;
    if (pid <= 0 || inode == 0) return false;
    const std::string dir = procRoot + "/" + std::to_string(pid) + "/fd";
    DIR* fds = opendir(dir.c_str());
    if (!fds) return false;
    *known = true;
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    bool found = false;
    while (const dirent* entry = readdir(fds)) {
        if (entry->d_name[0] == '.') continue;
        char target[64];
        const ssize_t n = readlink((dir + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (wanted == target) {
            found = true;
            break;
        }
    }
    closedir(fds);
    return found;
}

SocketHolder FindPortHolder(uint16_t port, const std::string& procRoot) {
    SocketHolder holder;
    const std::vector<TcpListener> listeners = FindTcpListeners(port, procRoot);
    if (listeners.empty()) return holder;
    holder.uid = listeners.front().uid;
    DIR* processes = opendir(procRoot.c_str());
    if (!processes) return holder;
    while (const dirent* entry = readdir(processes)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        bool known = false;
        bool found = false;
        for (const TcpListener& listener : listeners)
            if (ProcessHasSocket(pid, listener.inode, &known, procRoot)) found = true;
        if (!found) continue;
        holder.pid = pid;
        std::ifstream comm(procRoot + "/" + entry->d_name + "/comm");
        std::getline(comm, holder.program);
        break;
    }
    closedir(processes);
    return holder;
}

std::string DescribeHolder(const SocketHolder& holder) {
    const std::string uid = holder.uid >= 0 ? "uid " + std::to_string(holder.uid) : "unknown uid";
    if (holder.pid <= 0) return uid + " (its process is not visible)";
    return "pid " + std::to_string(holder.pid) + " (" + (holder.program.empty() ? "" : holder.program + ", ") + uid +
           ")";
}

}  // namespace orvex
