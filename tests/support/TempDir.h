// A folder of the test's own under /tmp, removed with everything in it when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
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

    // Something at `relative` that is no regular file: opening or reading it could wait
    // without end, or it has no bytes at all. Returns the full path.
    enum class Special { Fifo, Folder, Socket };
    std::string Make(Special kind, const std::string& relative) const {
        const std::filesystem::path file = path_ / relative;
        std::filesystem::create_directories(file.parent_path());
        switch (kind) {
            case Special::Fifo:
                EXPECT_EQ(::mkfifo(file.c_str(), 0600), 0) << file;
                break;
            case Special::Folder:
                EXPECT_TRUE(std::filesystem::create_directory(file)) << file;
                break;
            case Special::Socket: {
                // Bound and closed again: the name stays, and nothing answers on it.
                const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_un address{};
                address.sun_family = AF_UNIX;
                EXPECT_LT(file.string().size(), sizeof address.sun_path) << file;
                std::strncpy(address.sun_path, file.c_str(), sizeof address.sun_path - 1);
                EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
                    << file;
                ::close(fd);
                break;
            }
        }
        return file.string();
    }
    static const char* Name(Special kind) {
        switch (kind) {
            case Special::Fifo:
                return "named pipe";
            case Special::Folder:
                return "folder";
            case Special::Socket:
                return "socket";
        }
        return "?";
    }

  private:
    std::filesystem::path path_;
};

}  // namespace qf580::test
