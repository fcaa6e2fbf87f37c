// What a child process does with its signals, read from /proc: the command-line tests look at
// which stop signals it has blocked for its watcher and which it was started ignoring.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <fstream>
#include <string>

namespace qf580::test {

// The signals the process has blocked (`field` "SigBlk") or ignores ("SigIgn"); none once it
// has ended.
inline unsigned long long SignalMask(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stoull(line.substr(field.size() + 1), nullptr, 16);
        }
    }
    return 0;
}

inline bool Has(unsigned long long mask, int signal) {
    return (mask >> (signal - 1) & 1) != 0;
}

}  // namespace qf580::test
