// The update protocol and the update file format as the simulator knows them, stated once for
// the device model and the sample sets.
//
// Written from the protocol itself and deliberately not shared with transfer/: the simulator
// checks the transfer code and the transfer code checks the simulator, which only holds while
// neither takes its knowledge from the other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qf580::sim {

// The handshake: the update command and "U", answered 0xAA; the identification, echoed; the
// header size, echoed; the header, answered "Y" (or "N" for an unknown ROM type line).
inline constexpr std::string_view kExec = ":UP:EXEC\r\n";
inline constexpr std::uint8_t kSync = 'U';
inline constexpr std::uint8_t kSyncReply = 0xAA;
inline constexpr std::string_view kIdent = "QUILLMAR\r\n";
inline constexpr std::uint8_t kHeaderSize = 0x38;
inline constexpr std::size_t kHeaderLength = 56;
inline constexpr std::uint8_t kYes = 'Y';
inline constexpr std::uint8_t kNo = 'N';

// A record: a count N (1 to 255), 2N data bytes and their sum modulo 256. A count of 0 is the
// END record that closes a pass.
inline constexpr std::uint8_t kEndRecord = 0x00;

constexpr std::size_t RecordLength(std::uint8_t count) {
    return 2 * std::size_t{count} + 2;
}

// The checksum of a record's data bytes.
inline std::uint8_t Checksum(std::span<const std::uint8_t> data) {
    unsigned sum = 0;
    for (const std::uint8_t byte : data) {
        sum += byte;
    }
    return static_cast<std::uint8_t>(sum & 0xFF);
}

// Acknowledgements come after the START record (index 0) and after every 64th record from
// index 1 on, counted within each pass.
constexpr bool IsAckPoint(int recordIndex) {
    return recordIndex == 0 || recordIndex % 64 == 1;
}

// The header's first 32 bytes name the ROM type; the type decides the passes of records.
struct RomType {
    std::string_view line;
    int passes;
};
inline constexpr std::size_t kRomLineLength = 32;
// Index 0 MAIN, 1 SUB, 2 IRIG.
inline constexpr std::array<RomType, 3> kRomTypes{{
    {"QUILLMAR QF580 MAIN ROM       \r\n", 1},
    {"QUILLMAR QF580 SUB ROM        \r\n", 2},
    {"QUILLMAR QF580 IRIG ROM       \r\n", 2},
}};

// The ROM type a header names; nullptr for an unknown line or a header too short.
const RomType* FindRomType(std::span<const std::uint8_t> header);

// Disk N's file name from the chosen one: the digit replaces the character before the last
// '.', or the last character when there is no '.'.
std::string DiskName(const std::string& chosen, int disk);

}  // namespace qf580::sim
