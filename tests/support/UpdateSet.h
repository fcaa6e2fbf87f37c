// Update sets for tests, byte by byte: headers, records with their checksums, passes, and what
// a host sends before the records. The tests' own statement of the file format, independent
// of both the reader in transfer/ and the simulator.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qf580::test {

using Bytes = std::vector<std::uint8_t>;

// Concatenation, for byte strings and lists of write sizes alike.
template <typename T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes ToBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

// The ROM type lines, by ROM type: 0 MAIN, 1 SUB, 2 IRIG.
inline constexpr std::array<std::string_view, 3> kRomLines = {
    "QUILLMAR QF580 MAIN ROM       \r\n",
    "QUILLMAR QF580 SUB ROM        \r\n",
    "QUILLMAR QF580 IRIG ROM       \r\n",
};
inline const std::string kMainLine(kRomLines[0]);
inline const std::string kSubLine(kRomLines[1]);
inline const std::string kIrigLine(kRomLines[2]);

// The 56-byte header of a disk: a ROM type line (of any text, for headers a device must
// refuse), 16 free bytes, the disk number as two digits, 6 free bytes.
inline Bytes Header(std::string_view romLine, int diskNo = 1) {
    std::string h(romLine);
    h += "FW 2024-01-01   ";
    h += "0" + std::to_string(diskNo);
    h += "  v1.0";
    return ToBytes(h);
}

inline Bytes Header(int romType, int diskNo) {
    return Header(kRomLines[static_cast<std::size_t>(romType)], diskNo);
}

// A record as it stands in the file: count, data, checksum.
inline Bytes Record(const Bytes& data) {
    Bytes r{static_cast<std::uint8_t>(data.size() / 2)};
    unsigned sum = 0;
    for (std::uint8_t b : data) {
        r.push_back(b);
        sum += b;
    }
    r.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    return r;
}

// A record of `words` 16-bit words whose bytes differ from seed to seed.
inline Bytes Record(int words, unsigned seed = 0) {
    Bytes data(static_cast<std::size_t>(2 * words));
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(seed * 37u + i * 11u + 5u);
    }
    return Record(data);
}

inline const Bytes kEnd{0x00};

// `count` records of `words` words, each different.
inline std::vector<Bytes> Records(int count, int words = 3) {
    std::vector<Bytes> records;
    for (int i = 0; i < count; ++i) {
        records.push_back(Record(words, static_cast<unsigned>(i)));
    }
    return records;
}

// A pass of `count` records after START (so count + 1 records), without its END.
inline std::vector<Bytes> PassRecords(int count, unsigned seed, int words = 8) {
    std::vector<Bytes> records;
    for (int i = 0; i <= count; ++i) {
        records.push_back(Record(words, seed + static_cast<unsigned>(i)));
    }
    return records;
}

inline Bytes Join(const std::vector<Bytes>& records) {
    // Appended in place: a copy of the whole each time is quadratic, which large sets (and
    // the sanitizer builds) feel.
    Bytes all;
    for (const Bytes& r : records) {
        all.insert(all.end(), r.begin(), r.end());
    }
    return all;
}

// Records [from, to) of a pass, one after the other: what a disk holds of it.
inline Bytes Join(const std::vector<Bytes>& records, std::size_t from, std::size_t to) {
    return Join(std::vector<Bytes>(records.begin() + static_cast<long>(from),
                                   records.begin() + static_cast<long>(to)));
}

// What a device must receive before the records.
inline Bytes Handshake(const Bytes& header) {
    return ToBytes(":UP:EXEC\r\n") + ToBytes("U") + ToBytes("QUILLMAR\r\n") + Bytes{0x38} + header;
}

// The write sizes of the handshake: command, sync, identification, header size, header.
inline std::vector<std::size_t> HandshakeWrites() {
    return {10, 1, 10, 1, 56};
}

}  // namespace qf580::test
