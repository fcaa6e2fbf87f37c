// Sample update sets: valid headers, random records with correct checksums, one END per pass.
#include "sim/SampleSet.h"

#include <cstdint>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string_view>

#include "sim/Protocol.h"

namespace qf580::sim {
namespace {

// Offsets 32 to 55 after the ROM type line: 16 free bytes, the disk number, 6 more bytes; so
// the header reads as two text lines in the program's preview.
std::vector<std::uint8_t> Header(int romType, int disk) {
    std::string text(kRomTypes[static_cast<std::size_t>(romType)].line);
    text += "SIM SAMPLE SET  ";
    text += '0';
    text += static_cast<char>('0' + disk);
    text += "    \r\n";
    return {text.begin(), text.end()};
}

std::vector<std::uint8_t> RandomRecord(std::mt19937& random) {
    // The raw engine output, not a distribution: distributions differ between standard
    // libraries, and a seed should give the same set everywhere.
    const auto count = static_cast<std::uint8_t>(1 + random() % 255);
    std::vector<std::uint8_t> record{count};
    for (int i = 0; i < 2 * count; ++i) {
        record.push_back(static_cast<std::uint8_t>(random() & 0xFF));
    }
    record.push_back(Checksum(std::span(record).subspan(1)));
    return record;
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
        throw std::runtime_error("cannot write " + path);
    }
}

}  // namespace

std::vector<std::string> WriteSampleSet(const std::string& dir, const std::string& baseName,
                                        const SampleOptions& options) {
    if (options.romType < 0 || options.romType > 2) {
        throw std::invalid_argument("ROM type must be 0 (MAIN), 1 (SUB) or 2 (IRIG)");
    }
    if (options.disks != 1 && options.disks != 2) {
        throw std::invalid_argument("an update set has 1 or 2 disks");
    }
    if (options.recordsPerPass < 0) {
        throw std::invalid_argument("records per pass must not be negative");
    }
    if (baseName.empty()) {
        throw std::invalid_argument("no file name given");
    }

    std::mt19937 random(options.seed);
    std::vector<std::uint8_t> disk1 = Header(options.romType, 1);
    std::vector<std::uint8_t> disk2;
    // Disk 1 is cut in the middle of the record halfway through pass 1; disk 2 starts with
    // that record whole, as the reader drops the cut part.
    const int splitIndex = (options.recordsPerPass + 1) / 2;
    std::vector<std::uint8_t>* out = &disk1;
    const int passes = kRomTypes[static_cast<std::size_t>(options.romType)].passes;
    for (int pass = 1; pass <= passes; ++pass) {
        for (int index = 0; index <= options.recordsPerPass; ++index) {
            const std::vector<std::uint8_t> record = RandomRecord(random);
            if (options.disks == 2 && pass == 1 && index == splitIndex) {
                disk1.insert(disk1.end(), record.begin(), record.begin() + 1 + record[0]);
                disk2 = Header(options.romType, 2);
                out = &disk2;
            }
            out->insert(out->end(), record.begin(), record.end());
        }
        out->push_back(kEndRecord);
    }

    const std::string prefix = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    std::vector<std::string> paths{prefix + DiskName(baseName, 1)};
    if (options.disks == 2) {
        paths.push_back(prefix + DiskName(baseName, 2));
        if (paths[1] == paths[0]) {
            throw std::invalid_argument("the name " + baseName + " gives both disks one name");
        }
    }
    WriteFile(paths[0], disk1);
    if (options.disks == 2) {
        WriteFile(paths[1], disk2);
    }
    return paths;
}

}  // namespace qf580::sim
