// Reading back what a test sent to a systemd-journald of its own (with-journald.sh).
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace qf580::test {

// with-journald.sh's exit code where no mount namespace can be made.
inline constexpr int kCannotIsolate = 77;

// The entries of `identifier` in the journal files under `dir`, oldest first, narrowed by
// `match` (a journalctl match such as FIELD=value) when given.
inline std::vector<nlohmann::json> JournalEntries(const std::string& dir,
                                                  const std::string& identifier,
                                                  const std::string& match = {}) {
    std::vector<std::string> args = {"/usr/bin/journalctl",
                                     "-D",
                                     dir,
                                     "-o",
                                     "json",
                                     "--no-pager",
                                     "-q",
                                     "SYSLOG_IDENTIFIER=" + identifier};
    if (!match.empty()) {
        args.push_back(match);
    }
    ChildProcess journalctl(args);
    EXPECT_EQ(journalctl.Wait(), 0) << journalctl.err;
    std::vector<nlohmann::json> entries;
    std::istringstream in(journalctl.out);
    for (std::string line; std::getline(in, line);) {
        entries.push_back(nlohmann::json::parse(line));
    }
    return entries;
}

}  // namespace qf580::test
