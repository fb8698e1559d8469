#pragma once
// Finding the six file signatures in a scan window.

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace tamsel {

enum class SigKind { jpeg, png, bmff, riff, tiffLE, tiffBE };

struct Signature {
    std::span<const std::uint8_t> pattern;
    SigKind kind;
    int startAdjust;
};

// In table order; the order breaks ties between hits at the same position.
std::span<const Signature> signatures();

// Every candidate file start (match position + startAdjust, kept when >= 0)
// of every signature in `window`, by position, ties in table order.
std::vector<std::pair<std::int64_t, SigKind>> findSignatures(std::span<const std::uint8_t> window);

bool isAllZero(std::span<const std::uint8_t> window);

}  // namespace tamsel
