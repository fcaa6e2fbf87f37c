// Owns one file descriptor and closes it exactly once.
#pragma once

#include <utility>

namespace qf580::posix {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int Release() noexcept { return std::exchange(fd_, -1); }
    // Closes the descriptor held (a close interrupted by a signal is not repeated: the
    // descriptor is gone either way) and takes `fd` instead.
    void Reset(int fd = -1) noexcept;

  private:
    int fd_ = -1;
};

}  // namespace qf580::posix
