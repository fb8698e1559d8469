#pragma once
// Finding the format table's signatures in a scan window.

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace tamsel {

namespace carve {
struct Format;
}

using SignatureHit = std::pair<std::int64_t, const carve::Format*>;

// Every candidate file start (match position less where the signature sits
// in its file, kept when >= 0) of every signature in `window`, by position,
// ties in table order.
std::vector<SignatureHit> findSignatures(std::span<const std::uint8_t> window);

// The same through one instruction set (AVX2 or SSSE3 only where the processor has
// them), for tests and benchmarks to hold the three alike.
enum class SearchPath { scalar, ssse3, avx2 };
std::vector<SignatureHit> findSignaturesWith(SearchPath path, std::span<const std::uint8_t> window);

bool isAllZero(std::span<const std::uint8_t> window);

}  // namespace tamsel
