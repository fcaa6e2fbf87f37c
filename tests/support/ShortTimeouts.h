// The link time limits of the tests: production waits 5 and 10 seconds for a silent device,
// the tests a fraction of a second.
#pragma once

#include "transfer/DeviceLink.h"

namespace qf580::test {

// The readiness wait and the read differ, so that a test can tell them apart.
inline LinkTimeouts ShortTimeouts() {
    return LinkTimeouts{100, 200, 150};
}

// For the command line, whose one option sets every limit: --timeout-ms.
inline constexpr int kShortTimeoutMs = 300;

}  // namespace qf580::test
