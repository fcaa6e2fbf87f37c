// A SHA-256 by another route than the programs': coreutils' sha256sum.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/UpdateSet.h"

namespace qf580::test {

// Lower-case hex, as the programs write it.
inline std::string Sha256Sum(const Bytes& bytes) {
    ChildProcess sum({"/usr/bin/sha256sum"});
    sum.Write(std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(sum.Wait(), 0) << sum.err;
    return sum.out.substr(0, 64);
}

}  // namespace qf580::test
