// Byte strings of a host's side of the exchange, for the simulator's tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/UpdateSet.h"

namespace qf580::sim::test {

// The update-set builder of every test area.
using namespace qf580::test;

inline Bytes B(std::string_view text) {
    return ToBytes(text);
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

// One pass as fast transfer writes it: START and record 1 alone, then the records after each
// acknowledgement point up to the next one in one write (answered), the rest in one more
// write (unanswered), and END alone.
inline std::vector<Step> FastExchange(const Bytes& header, const std::vector<Bytes>& pass) {
    std::vector<Step> steps = Exchange(header, {});
    Bytes batch;
    for (std::size_t i = 0; i < pass.size(); ++i) {
        batch.insert(batch.end(), pass[i].begin(), pass[i].end());
        if (i == 0 || i % 64 == 1) {
            steps.push_back({batch, {'Y'}});
            batch.clear();
        }
    }
    if (!batch.empty()) {
        steps.push_back({batch, {}});
    }
    steps.push_back({{0x00}, {}});
    return steps;
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
