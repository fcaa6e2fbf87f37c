// The socket between the stand-in USB driver and the simulator carries frames both ways: a
// write reaches the device whole, as one USB transfer does, and the driver hears when the
// device has taken it, which is when a USB bulk write completes.
//
// A frame is one kind byte, the payload's length as 4 bytes big-endian, then the payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qf580::sim {

enum class FrameKind : std::uint8_t {
    Write = 'W',  // driver to device: one write of the host, whole
    Taken = 'T',  // device to driver, no payload: the device took the last write whole
    Reply = 'R',  // device to driver: bytes the device answers
};

inline constexpr std::size_t kFrameHeaderLength = 5;
// Far beyond the host's largest write (32768 bytes): a longer frame means the peer is not the
// other side of this socket, and it is dropped rather than buffered without end.
inline constexpr std::uint32_t kLargestFramePayload = 1u << 20;

inline void AppendFrame(std::vector<std::uint8_t>& out, FrameKind kind,
                        std::span<const std::uint8_t> payload = {}) {
    const auto length = static_cast<std::uint32_t>(payload.size());
    out.push_back(static_cast<std::uint8_t>(kind));
    for (const int shift : {24, 16, 8, 0}) {
        out.push_back(static_cast<std::uint8_t>(length >> shift));
    }
    out.insert(out.end(), payload.begin(), payload.end());
}

inline std::vector<std::uint8_t> MakeFrame(FrameKind kind,
                                           std::span<const std::uint8_t> payload = {}) {
    std::vector<std::uint8_t> frame;
    frame.reserve(kFrameHeaderLength + payload.size());
    AppendFrame(frame, kind, payload);
    return frame;
}

struct FrameView {
    FrameKind kind;
    std::span<const std::uint8_t> payload;  // valid until the reader's next Add
};

// Cuts whole frames out of a stream's bytes as they arrive.
class FrameReader {
  public:
    void Add(std::span<const std::uint8_t> bytes) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(at_));
        at_ = 0;
        buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    }

    // The next whole frame; nullopt until one has arrived, and for good once the stream is
    // broken.
    std::optional<FrameView> Next() {
        if (broken_ || buffer_.size() - at_ < kFrameHeaderLength) {
            return std::nullopt;
        }
        const std::uint8_t* head = buffer_.data() + at_;
        const auto kind = static_cast<FrameKind>(head[0]);
        const std::uint32_t length = (std::uint32_t{head[1]} << 24) |
                                     (std::uint32_t{head[2]} << 16) |
                                     (std::uint32_t{head[3]} << 8) | head[4];
        if ((kind != FrameKind::Write && kind != FrameKind::Taken && kind != FrameKind::Reply) ||
            length > kLargestFramePayload) {
            broken_ = true;
            return std::nullopt;
        }
        if (buffer_.size() - at_ - kFrameHeaderLength < length) {
            return std::nullopt;
        }
        const FrameView frame{kind, std::span(buffer_).subspan(at_ + kFrameHeaderLength, length)};
        at_ += kFrameHeaderLength + length;
        return frame;
    }

    // An unknown kind or an overlong frame came: nothing after it can be trusted.
    bool Broken() const { return broken_; }

  private:
    std::vector<std::uint8_t> buffer_;
    std::size_t at_ = 0;  // start of the first frame not yet taken
    bool broken_ = false;
};

}  // namespace qf580::sim
