// Linked into every test program that has tests opening IP sockets: such a test runs only
// where this process's network holds loopback alone (scripts/in-private-net.sh's namespace,
// or a builder without a network), and is skipped with the reason anywhere else. A test that
// opens none says so through QF_TEST_OPENS_NO_SOCKET=1, which the CMake files set for the
// tests they list as such; a test that says nothing counts as one that opens sockets.
// The skip is the exit code kSkipExitCode, ctest's SKIP_RETURN_CODE of those tests: a skip
// in an environment's SetUp is no skip to this Google Test, which then counts its tests as
// passed.
#include "tests/support/PrivateNet.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string_view>

namespace qf580::test {

std::string InterfacesBesideLoopback(const std::string& netDev) {
    std::ifstream in(netDev);
    if (!in) {
        return "(" + netDev + " cannot be read)";
    }
    std::string line;
    std::string others;
    // Two lines of column titles, then one line per interface: "  name: counters...".
    for (int n = 0; std::getline(in, line); ++n) {
        const std::size_t colon = line.find(':');
        if (n < 2 || colon == std::string::npos) {
            continue;
        }
        std::istringstream name(line.substr(0, colon));
        std::string interface;
        name >> interface;
        if (interface != "lo") {
            others += (others.empty() ? "" : " ") + interface;
        }
    }
    return others;
}

namespace {

class PrivateNetGuard final : public ::testing::Environment {
  public:
    void SetUp() override {
        const char* opensNone = std::getenv("QF_TEST_OPENS_NO_SOCKET");
        if (opensNone != nullptr && std::string_view(opensNone) == "1") {
            return;
        }
        const std::string others = InterfacesBesideLoopback("/proc/self/net/dev");
        if (!others.empty()) {
            std::printf(
                "Skipped: this test opens sockets, and runs only where the network "
                "holds loopback alone (scripts/in-private-net.sh); here there is also: "
                "%s\n",
                others.c_str());
            std::fflush(stdout);
            std::_Exit(kSkipExitCode);
        }
    }
};

// Google Test owns the environments it is given, and runs their SetUp before every test.
[[maybe_unused]] ::testing::Environment* const kGuard =
    ::testing::AddGlobalTestEnvironment(std::make_unique<PrivateNetGuard>().release());

}  // namespace

}  // namespace qf580::test
