// What the benchmarks share: scenarios, percentiles, per-thread figures from
// /proc, and the verdict line.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace orvex::bench {

struct DeviceRef {
    std::string name;
    int collection;  // its input collection for the family reporting
};

// perKind devices in each of families 0x81, 0x82 (whose 0xFF00 collection also
// gives family 0x83 a reader), 0x80 and 0x85; device ids from 1.
inline std::string Scenario(int perKind, std::vector<DeviceRef>* devices) {
    std::string json = R"({"devices":[)";
    int id = 1;
    auto add = [&](const std::string& name, const char* product, const char* collections, int input) {
        if (id > 1) json += ",";
        json += R"({"name":")" + name + R"(","vendor_id":"0x1D57","product_id":")" + product + R"(","device_id":)" +
                std::to_string(id) + collections + "}";
        if (devices) devices->push_back({name, input});
        ++id;
    };
    for (int i = 0; i < perKind; ++i) add("vireo" + std::to_string(i), "0xFA60", "", 1);
    for (int i = 0; i < perKind; ++i) add("sabre" + std::to_string(i), "0xFA65", "", 1);
    for (int i = 0; i < perKind; ++i) add("wired" + std::to_string(i), "0x1234", "", 1);
    for (int i = 0; i < perKind; ++i)
        add("wiredv" + std::to_string(i), "0x1235", R"(,"collections":[[65281,2],[65280,1]])", 1);
    return json + "]}";
}

inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// The threads of a process ("self" or a pid).
inline std::vector<long> Tasks(const std::string& pid) {
    std::vector<long> tids;
    if (DIR* dir = ::opendir(("/proc/" + pid + "/task").c_str())) {
        while (dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') tids.push_back(std::atol(entry->d_name));
        ::closedir(dir);
    }
    return tids;
}

struct ThreadFigures {
    std::string name;
    long long switches = 0;  // voluntary and involuntary context switches
    double cpuNanos = 0;     // time on a CPU
};

inline std::map<long, ThreadFigures> Figures(const std::string& pid, const std::vector<long>& tids) {
    std::map<long, ThreadFigures> figures;
    for (long tid : tids) {
        const std::string dir = "/proc/" + pid + "/task/" + std::to_string(tid);
        ThreadFigures f;
        std::ifstream status(dir + "/status");
        std::string line;
        bool seen = false;
        while (std::getline(status, line)) {
            if (line.rfind("Name:", 0) == 0) f.name = line.substr(line.find_first_not_of(" \t", 5));
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                f.switches += std::atoll(line.substr(line.find(':') + 1).c_str());
                seen = true;
            }
        }
        std::ifstream(dir + "/schedstat") >> f.cpuNanos;
        if (seen) figures[tid] = f;
    }
    return figures;
}

// The machine's load, printed with the figures: on a shared machine a broken
// bound may be another process's doing.
inline void PrintLoad() {
    std::string one, five;
    std::ifstream("/proc/loadavg") >> one >> five;
    std::printf("  load average: %s %s\n", one.c_str(), five.c_str());
}

// One line per bound, and the exit status: 1 when any bound is broken.
class Verdict {
public:
    void Check(bool ok, const char* what) {
        std::printf("  %s: %s\n", ok ? "ok  " : "FAIL", what);
        m_failed = m_failed || !ok;
    }
    int Status() const { return m_failed ? 1 : 0; }

private:
    bool m_failed = false;
};

}  // namespace orvex::bench
