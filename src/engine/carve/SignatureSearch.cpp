#include "engine/carve/SignatureSearch.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace tamsel {

namespace {

constexpr std::uint8_t kJpeg[] = {0xFF, 0xD8, 0xFF};
constexpr std::uint8_t kPng[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint8_t kFtyp[] = {0x66, 0x74, 0x79, 0x70};
constexpr std::uint8_t kRiff[] = {0x52, 0x49, 0x46, 0x46};
constexpr std::uint8_t kTiffLE[] = {0x49, 0x49, 0x2A, 0x00};
constexpr std::uint8_t kTiffBE[] = {0x4D, 0x4D, 0x00, 0x2A};

const std::array<Signature, 6> kSignatures{{
    {kJpeg, SigKind::jpeg, 0},
    {kPng, SigKind::png, 0},
    {kFtyp, SigKind::bmff, -4},
    {kRiff, SigKind::riff, 0},
    {kTiffLE, SigKind::tiffLE, 0},
    {kTiffBE, SigKind::tiffBE, 0},
}};

using Hits = std::vector<std::pair<std::int64_t, SigKind>>;

// The six first bytes differ, so a position matches at most one signature.
inline void confirm(const std::uint8_t* p, std::size_t n, std::size_t m, Hits& hits) {
    for (const Signature& s : kSignatures) {
        if (p[m] != s.pattern[0]) continue;
        if (m + s.pattern.size() <= n && std::memcmp(p + m, s.pattern.data(), s.pattern.size()) == 0) {
            const std::int64_t at = static_cast<std::int64_t>(m) + s.startAdjust;
            if (at >= 0) hits.emplace_back(at, s.kind);
        }
        return;
    }
}

void scalarScan(const std::uint8_t* p, std::size_t n, std::size_t from, Hits& hits) {
    for (std::size_t m = from; m + 1 < n; ++m) {
        const std::uint8_t a = p[m], b = p[m + 1];
        if ((a == 0xFF && b == 0xD8) || (a == 0x89 && b == 0x50) || (a == 0x66 && b == 0x74) ||
            (a == 0x52 && b == 0x49) || (a == 0x49 && b == 0x49) || (a == 0x4D && b == 0x4D))
            confirm(p, n, m, hits);
    }
}

// Filters on the first two bytes of every signature, 32 positions at a time;
// real matches are rare, so nearly all the work is this filter.
__attribute__((target("avx2"))) std::size_t avx2Scan(const std::uint8_t* p, std::size_t n, Hits& hits) {
    const __m256i a0 = _mm256_set1_epi8(static_cast<char>(0xFF)), b0 = _mm256_set1_epi8(static_cast<char>(0xD8));
    const __m256i a1 = _mm256_set1_epi8(static_cast<char>(0x89)), b1 = _mm256_set1_epi8(0x50);
    const __m256i a2 = _mm256_set1_epi8(0x66), b2 = _mm256_set1_epi8(0x74);
    const __m256i a3 = _mm256_set1_epi8(0x52), b3 = _mm256_set1_epi8(0x49);
    const __m256i a4 = _mm256_set1_epi8(0x49);
    const __m256i a5 = _mm256_set1_epi8(0x4D);
    std::size_t i = 0;
    for (; i + 33 <= n; i += 32) {
        const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1));
        const __m256i eq49 = _mm256_cmpeq_epi8(v1, b3);
        __m256i m = _mm256_and_si256(_mm256_cmpeq_epi8(v0, a0), _mm256_cmpeq_epi8(v1, b0));
        m = _mm256_or_si256(m, _mm256_and_si256(_mm256_cmpeq_epi8(v0, a1), _mm256_cmpeq_epi8(v1, b1)));
        m = _mm256_or_si256(m, _mm256_and_si256(_mm256_cmpeq_epi8(v0, a2), _mm256_cmpeq_epi8(v1, b2)));
        m = _mm256_or_si256(m, _mm256_and_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v0, a3), _mm256_cmpeq_epi8(v0, a4)), eq49));
        m = _mm256_or_si256(m, _mm256_and_si256(_mm256_cmpeq_epi8(v0, a5), _mm256_cmpeq_epi8(v1, a5)));
        auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(m));
        while (mask != 0) {
            confirm(p, n, i + static_cast<std::size_t>(__builtin_ctz(mask)), hits);
            mask &= mask - 1;
        }
    }
    return i;
}

std::size_t sse2Scan(const std::uint8_t* p, std::size_t n, Hits& hits) {
    const __m128i a0 = _mm_set1_epi8(static_cast<char>(0xFF)), b0 = _mm_set1_epi8(static_cast<char>(0xD8));
    const __m128i a1 = _mm_set1_epi8(static_cast<char>(0x89)), b1 = _mm_set1_epi8(0x50);
    const __m128i a2 = _mm_set1_epi8(0x66), b2 = _mm_set1_epi8(0x74);
    const __m128i a3 = _mm_set1_epi8(0x52), b3 = _mm_set1_epi8(0x49);
    const __m128i a4 = _mm_set1_epi8(0x49);
    const __m128i a5 = _mm_set1_epi8(0x4D);
    std::size_t i = 0;
    for (; i + 17 <= n; i += 16) {
        const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
        const __m128i eq49 = _mm_cmpeq_epi8(v1, b3);
        __m128i m = _mm_and_si128(_mm_cmpeq_epi8(v0, a0), _mm_cmpeq_epi8(v1, b0));
        m = _mm_or_si128(m, _mm_and_si128(_mm_cmpeq_epi8(v0, a1), _mm_cmpeq_epi8(v1, b1)));
        m = _mm_or_si128(m, _mm_and_si128(_mm_cmpeq_epi8(v0, a2), _mm_cmpeq_epi8(v1, b2)));
        m = _mm_or_si128(m, _mm_and_si128(_mm_or_si128(_mm_cmpeq_epi8(v0, a3), _mm_cmpeq_epi8(v0, a4)), eq49));
        m = _mm_or_si128(m, _mm_and_si128(_mm_cmpeq_epi8(v0, a5), _mm_cmpeq_epi8(v1, a5)));
        auto mask = static_cast<std::uint32_t>(_mm_movemask_epi8(m));
        while (mask != 0) {
            confirm(p, n, i + static_cast<std::size_t>(__builtin_ctz(mask)), hits);
            mask &= mask - 1;
        }
    }
    return i;
}

const bool kHaveAvx2 = __builtin_cpu_supports("avx2");

}  // namespace

std::span<const Signature> signatures() { return kSignatures; }

std::vector<std::pair<std::int64_t, SigKind>> findSignatures(std::span<const std::uint8_t> window) {
    Hits hits;
    const std::uint8_t* p = window.data();
    const std::size_t n = window.size();
    const std::size_t done = kHaveAvx2 ? avx2Scan(p, n, hits) : sse2Scan(p, n, hits);
    scalarScan(p, n, done, hits);
    // Positions are found in order except where startAdjust moves a hit back.
    std::sort(hits.begin(), hits.end());
    return hits;
}

bool isAllZero(std::span<const std::uint8_t> window) {
    const std::uint8_t* p = window.data();
    std::size_t n = window.size();
    std::size_t i = 0;
    constexpr std::size_t kBlock = 256;
    for (; i + kBlock <= n; i += kBlock) {
        std::uint64_t acc = 0;
        for (std::size_t k = 0; k < kBlock; k += 8) {
            std::uint64_t w;
            std::memcpy(&w, p + i + k, 8);
            acc |= w;
        }
        if (acc != 0) return false;
    }
    for (; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

}  // namespace tamsel
