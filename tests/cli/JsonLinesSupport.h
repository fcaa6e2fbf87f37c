// What the command line's tests read back: a file whole, JSON Lines parsed one object a line,
// and the schema validator's verdict on lines.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace qf580::test {

inline std::string Contents(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Every line as JSON; one that is not one JSON object fails the test.
inline std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(nlohmann::json::parse(line, nullptr, false));
        EXPECT_TRUE(lines.back().is_object()) << line;
    }
    return lines;
}

constexpr const char* kEvents = "qf580-flash-events.schema.json";
constexpr const char* kRecord = "qf580-flash-record.schema.json";

// The validator's verdict on `lines` against the schema `name`: "N valid" for N good lines.
inline std::string Validate(const std::string& name, const std::string& lines) {
    ChildProcess validator({QF_PYTHON3, QF_VALIDATOR, std::string(QF_SCHEMA_DIR "/") + name});
    validator.Write(lines);
    const int code = validator.Wait();
    return validator.out + (code == 0 ? "" : "exit " + std::to_string(code)) + validator.err;
}

// The verdict on that many lines, every one of them good.
inline std::string Valid(std::size_t lines) {
    return std::to_string(lines) + " valid\n";
}

}  // namespace qf580::test
