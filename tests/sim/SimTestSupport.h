// Byte strings of a host's side of the exchange, for the simulator's tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qf580::sim::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes B(std::string_view text) {
    return {text.begin(), text.end()};
}

inline const std::string kMainLine = "QUILLMAR QF580 MAIN ROM       \r\n";
inline const std::string kSubLine = "QUILLMAR QF580 SUB ROM        \r\n";
inline const std::string kIrigLine = "QUILLMAR QF580 IRIG ROM       \r\n";

inline Bytes Header(const std::string& romLine, char disk = '1') {
    std::string text = romLine + "0123456789ABCDEF" + '0' + disk + "    \r\n";
    return B(text);
}

inline Bytes Record(std::uint8_t count, std::uint8_t seed = 0) {
    Bytes record{count};
    unsigned sum = 0;
    for (int i = 0; i < 2 * count; ++i) {
        const auto byte = static_cast<std::uint8_t>(seed + 7 * i);
        record.push_back(byte);
        sum += byte;
    }
    record.push_back(static_cast<std::uint8_t>(sum));
    return record;
}

// One host write and the reply the device owes it.
struct Step {
    Bytes write;
    Bytes reply;
};

// The size of each host write of an exchange, as the device should have seen them.
inline std::vector<std::size_t> WriteSizes(const std::vector<Step>& steps) {
    std::vector<std::size_t> sizes;
    for (const Step& step : steps) {
        sizes.push_back(step.write.size());
    }
    return sizes;
}

// The whole exchange for a set with the given header and passes, one write per protocol step
// and per record, as the host makes them without fast transfer.
inline std::vector<Step> Exchange(const Bytes& header,
                                  const std::vector<std::vector<Bytes>>& passes) {
    std::vector<Step> steps{
        {B(":UP:EXEC\r\n"), {}}, {B("U"), {0xAA}}, {B("QUILLMAR\r\n"), B("QUILLMAR\r\n")},
        {{0x38}, {0x38}},        {header, {'Y'}},
    };
    for (const auto& pass : passes) {
        for (std::size_t i = 0; i < pass.size(); ++i) {
            const bool ack = i == 0 || i % 64 == 1;
            steps.push_back({pass[i], ack ? Bytes{'Y'} : Bytes{}});
        }
        steps.push_back({{0x00}, {}});
    }
    return steps;
}

inline std::vector<Bytes> Records(int count, std::uint8_t size = 3) {
    std::vector<Bytes> records;
    for (int i = 0; i < count; ++i) {
        records.push_back(Record(size, static_cast<std::uint8_t>(i)));
    }
    return records;
}

inline Bytes Concat(const std::vector<Step>& steps) {
    Bytes all;
    for (const auto& step : steps) {
        all.insert(all.end(), step.write.begin(), step.write.end());
    }
    return all;
}

inline Bytes ConcatReplies(const std::vector<Step>& steps) {
    Bytes all;
    for (const auto& step : steps) {
        all.insert(all.end(), step.reply.begin(), step.reply.end());
    }
    return all;
}

}  // namespace qf580::sim::test
