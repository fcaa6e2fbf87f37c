// A folder of the test's own under /tmp, removed with everything in it when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace qf580::test {

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/qf580-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        path_ = made ? made : "/tmp";
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    std::string path() const { return path_.string(); }
    // With its trailing separator, as the worker's directory is.
    std::string dir() const { return path() + "/"; }

    // Writes `bytes` at `relative` (folders made as needed) and returns the full path.
    std::string Write(const std::string& relative, std::string_view bytes) const {
        const std::filesystem::path file = path_ / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return file.string();
    }
    std::string Write(const std::string& relative, const std::vector<std::uint8_t>& bytes) const {
        return Write(relative,
                     std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    std::string Write(const std::string& relative, const char* text) const {
        return Write(relative, std::string_view(text));
    }
    std::string Write(const std::string& relative, const std::string& text) const {
        return Write(relative, std::string_view(text));
    }

    void Remove(const std::string& relative) const { std::filesystem::remove(path_ / relative); }

  private:
    std::filesystem::path path_;
};

}  // namespace qf580::test
