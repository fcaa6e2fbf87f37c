// The guard of the tests that open sockets reads the interfaces of this process's network.
#include <gtest/gtest.h>

#include "tests/support/PrivateNet.h"
#include "tests/support/TempDir.h"

namespace qf580::test {
namespace {

TEST(PrivateNet, OnlyLoopbackCountsAsPrivate) {
    const std::string titles =
        "Inter-|   Receive                            |  Transmit\n"
        " face |bytes    packets errs drop fifo frame compressed multicast|bytes\n";
    const std::string lo = "    lo:       0       0    0    0    0     0          0         0\n";
    const struct {
        const char* what;
        std::string netDev;
        std::string others;
    } cases[] = {
        {"loopback alone", titles + lo, ""},
        {"an Ethernet card", titles + lo + "  eth0: 1 2 3\n", "eth0"},
        {"a wireless card before loopback", titles + "wlp2s0: 9\n" + lo, "wlp2s0"},
        {"two more", titles + lo + "  eth0: 1\n  veth1a2b: 0\n", "eth0 veth1a2b"},
        {"no titles read as interfaces", titles, ""},
    };
    TempDir tmp;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(InterfacesBesideLoopback(tmp.Write("dev", c.netDev)), c.others);
    }
    EXPECT_NE(InterfacesBesideLoopback(tmp.dir() + "missing"), "") << "unknown is not private";
}

}  // namespace
}  // namespace qf580::test
