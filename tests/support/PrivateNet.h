// Whether this process can reach anything but loopback: the guard of the tests that open
// sockets (PrivateNet.cpp).
#pragma once

#include <string>

namespace qf580::test {

// The exit code of a test program whose test was skipped for want of a private network.
constexpr int kSkipExitCode = 77;

// The network interfaces other than "lo" that `netDev` (the kernel's /proc/self/net/dev of
// this process's namespace) lists, separated by blanks; empty when loopback is alone. A file
// that cannot be read counts as a network that is not private.
std::string InterfacesBesideLoopback(const std::string& netDev);

}  // namespace qf580::test
