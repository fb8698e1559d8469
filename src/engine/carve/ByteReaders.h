#pragma once
// Integer readers and a forward reader shared by the carvers. Callers of the
// integer readers check the buffer's length first, so a reader never runs
// past the end.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/reading/RandomAccessSource.h"

namespace tamsel::carve {

using ByteView = std::span<const std::uint8_t>;

inline std::uint32_t beU32(ByteView b, std::size_t at) {
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) |
           std::uint32_t{b[at + 3]};
}
inline std::uint64_t beU64(ByteView b, std::size_t at) {
    return (std::uint64_t{beU32(b, at)} << 32) | beU32(b, at + 4);
}
inline std::uint32_t leU32(ByteView b, std::size_t at) {
    return std::uint32_t{b[at]} | (std::uint32_t{b[at + 1]} << 8) | (std::uint32_t{b[at + 2]} << 16) |
           (std::uint32_t{b[at + 3]} << 24);
}
inline std::uint16_t u16(ByteView b, std::size_t at, bool littleEndian) {
    return littleEndian ? static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8))
                        : static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}
inline std::uint32_t u32(ByteView b, std::size_t at, bool littleEndian) {
    return littleEndian ? leU32(b, at) : beU32(b, at);
}

inline std::uint16_t leU16(ByteView b, std::size_t at) { return u16(b, at, true); }

// A walk's bytes, read forward in pieces, so that a walk over many small
// structures (GIF sub-blocks, audio frames, transport packets) does not read
// the source once for each. The pieces start small, since most walks end at
// once (a signature in noise), and double up to `most`.
class ForwardReader {
public:
    static constexpr std::int64_t kFirstPiece = 4096;
    static constexpr std::int64_t kPiece = 1 << 20;

    explicit ForwardReader(RandomAccessSource& source, std::int64_t most = kPiece) : source_(source), most_(most) {}

    // The `n` bytes at `pos` (n at most kPiece), or an empty view when the
    // source ends before them.
    ByteView at(std::int64_t pos, std::size_t n) {
        const auto count = static_cast<std::int64_t>(n);
        if (pos < start_ || pos + count > start_ + static_cast<std::int64_t>(piece_.size())) {
            if (pos < 0 || pos >= source_.size()) return {};
            piece_ = source_.pread(pos, std::max(next_, count));
            start_ = pos;
            next_ = std::min(next_ * 2, most_);
            if (static_cast<std::int64_t>(piece_.size()) < count) return {};
        }
        return piece_.span().subspan(static_cast<std::size_t>(pos - start_), n);
    }

    // As many of the `n` bytes at `pos` as the source holds.
    ByteView upTo(std::int64_t pos, std::size_t n) {
        const std::int64_t left = source_.size() - pos;
        if (left <= 0) return {};
        return at(pos, static_cast<std::size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(n))));
    }

private:
    RandomAccessSource& source_;
    std::int64_t most_;
    std::int64_t next_ = kFirstPiece;
    Bytes piece_;
    std::int64_t start_ = 0;
};

}  // namespace tamsel::carve
