#pragma once
// Integer readers shared by the carvers. Callers check the buffer's length
// first, so a reader never runs past the end.

#include <cstddef>
#include <cstdint>
#include <span>

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

}  // namespace tamsel::carve
