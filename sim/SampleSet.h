// Sample update sets for demos and tests, written as the update file format describes them.
#pragma once

#include <string>
#include <vector>

namespace qf580::sim {

// A sample update set for demos and tests. romType 0 MAIN, 1 SUB, 2 IRIG; with two disks the
// first ends in the middle of a record of the first pass, and the second starts with that
// record whole. Writes the files into dir, named from baseName as the reader derives disk
// names ("FW0000.q58" gives "FW0001.q58" and "FW0002.q58"), and returns their paths, disk 1
// (the file to choose) first. Throws std::invalid_argument or std::runtime_error.
struct SampleOptions {
    int romType = 0;
    int disks = 1;
    int recordsPerPass = 200;  // records after START
    unsigned seed = 1;
};
std::vector<std::string> WriteSampleSet(const std::string& dir, const std::string& baseName,
                                        const SampleOptions& options);

}  // namespace qf580::sim
