// A one-disk set on the disk and the path of a record beside it: what the tests of
// qf580-flash --record and --loop start from.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/TempDir.h"
#include "tests/support/UpdateSet.h"
#include "transfer/UpdateDisk.h"

namespace qf580::test {

class SetWithRecord : public ::testing::Test {
  protected:
    // `records`: the set's one pass, before its END.
    explicit SetWithRecord(const Bytes& records)
        : set(Header(kRomMain, 1) + records + kEnd),
          file(tmp.Write("FW0001.q58", set)),
          record(tmp.path() + "/attempts.jsonl") {}

    TempDir tmp;
    Bytes set;
    std::string file;
    std::string record;
};

}  // namespace qf580::test
