#include "engine/carve/SignatureSearch.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <bitset>
#include <climits>
#include <cstring>
#include <stdexcept>

#include "engine/carve/Formats.h"

namespace tamsel {

namespace {

using Hits = std::vector<SignatureHit>;

inline std::size_t pairIndex(const std::uint8_t* at) { return std::size_t{at[0]} | std::size_t{at[1]} << 8; }

// One signature of one row, flattened in table order.
struct Pattern {
    std::span<const std::uint8_t> bytes;
    int at;
    const carve::Format* format;
};

// The byte tests of every signature's first two bytes, made from the table
// once. Signatures are grouped into at most eight buckets; a position passes
// when both its bytes have their low and high nibbles in one bucket's sets,
// which a nibble lookup tests 32 positions at a time whatever the number
// of signatures. Nibbles of one bucket's signatures may pair up into bytes
// none of them has: such positions are only confirmed and let go.
struct Prefilter {
    std::vector<Pattern> patterns;
    std::array<std::vector<std::uint8_t>, 256> byFirstByte;  // pattern indices
    alignas(16) std::uint8_t lo0[16] = {}, hi0[16] = {}, lo1[16] = {}, hi1[16] = {};
    std::bitset<65536> pairs;                 // every signature's first two bytes, first byte low

    Prefilter() {
        for (const carve::Format& f : carve::formats())
            for (const carve::Signature& s : f.signatures) {
                if (s.bytes.size() < 2) throw std::logic_error("a signature of one byte cannot be searched for");
                byFirstByte[s.bytes[0]].push_back(static_cast<std::uint8_t>(patterns.size()));
                patterns.push_back({s.bytes, s.at, &f});
                pairs.set(pairIndex(s.bytes.data()));
            }
        // A bucket per first byte, then the two whose union lets through the
        // fewest byte pairs merged until eight are left.
        struct Bucket {
            std::uint16_t lo0 = 0, hi0 = 0, lo1 = 0, hi1 = 0;
            int reach() const {
                return std::popcount(lo0) * std::popcount(hi0) * std::popcount(lo1) * std::popcount(hi1);
            }
            Bucket with(const Bucket& o) const {
                return {std::uint16_t(lo0 | o.lo0), std::uint16_t(hi0 | o.hi0), std::uint16_t(lo1 | o.lo1),
                        std::uint16_t(hi1 | o.hi1)};
            }
        };
        std::vector<Bucket> buckets;
        for (std::size_t first = 0; first < 256; ++first) {
            if (byFirstByte[first].empty()) continue;
            Bucket b;
            for (std::uint8_t k : byFirstByte[first]) {
                const auto& bytes = patterns[k].bytes;
                b = b.with({std::uint16_t(1u << (bytes[0] & 15)), std::uint16_t(1u << (bytes[0] >> 4)),
                            std::uint16_t(1u << (bytes[1] & 15)), std::uint16_t(1u << (bytes[1] >> 4))});
            }
            buckets.push_back(b);
        }
        while (buckets.size() > 8) {
            std::size_t bestA = 0, bestB = 1;
            int best = INT_MAX;
            for (std::size_t a = 0; a < buckets.size(); ++a)
                for (std::size_t b = a + 1; b < buckets.size(); ++b) {
                    const int cost = buckets[a].with(buckets[b]).reach() - buckets[a].reach() - buckets[b].reach();
                    if (cost < best) best = cost, bestA = a, bestB = b;
                }
            buckets[bestA] = buckets[bestA].with(buckets[bestB]);
            buckets.erase(buckets.begin() + static_cast<std::ptrdiff_t>(bestB));
        }
        for (std::size_t k = 0; k < buckets.size(); ++k) {
            const auto bit = static_cast<std::uint8_t>(1u << k);
            for (int nibble = 0; nibble < 16; ++nibble) {
                if (buckets[k].lo0 >> nibble & 1) lo0[nibble] |= bit;
                if (buckets[k].hi0 >> nibble & 1) hi0[nibble] |= bit;
                if (buckets[k].lo1 >> nibble & 1) lo1[nibble] |= bit;
                if (buckets[k].hi1 >> nibble & 1) hi1[nibble] |= bit;
            }
        }
    }

    bool passes(const std::uint8_t* at) const { return pairs[pairIndex(at)]; }

    // Every signature that starts at `m`.
    void confirm(const std::uint8_t* p, std::size_t n, std::size_t m, Hits& hits) const {
        for (std::uint8_t k : byFirstByte[p[m]]) {
            const Pattern& s = patterns[k];
            if (m + s.bytes.size() > n || std::memcmp(p + m, s.bytes.data(), s.bytes.size()) != 0) continue;
            const std::int64_t at = static_cast<std::int64_t>(m) - s.at;
            if (at >= 0) hits.emplace_back(at, s.format);
        }
    }
};

const Prefilter& prefilter() {
    static const Prefilter filter;
    return filter;
}

void scalarScan(const Prefilter& f, const std::uint8_t* p, std::size_t n, std::size_t from, Hits& hits) {
    for (std::size_t m = from; m + 1 < n; ++m)
        if (f.passes(p + m)) f.confirm(p, n, m, hits);
}

// The buckets a position's byte `v` may belong to, by its two nibbles.
__attribute__((target("avx2"))) inline __m256i buckets(__m256i v, __m256i lo, __m256i hi) {
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    return _mm256_and_si256(_mm256_shuffle_epi8(lo, _mm256_and_si256(v, nibble)),
                            _mm256_shuffle_epi8(hi, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble)));
}

__attribute__((target("avx2"))) inline __m256i nibbleTable(const std::uint8_t* t) {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t)));
}

// Real matches are rare, so nearly all the work is this filter.
__attribute__((target("avx2"))) std::size_t avx2Scan(const Prefilter& f, const std::uint8_t* p, std::size_t n, Hits& hits) {
    const __m256i lo0 = nibbleTable(f.lo0), hi0 = nibbleTable(f.hi0), lo1 = nibbleTable(f.lo1), hi1 = nibbleTable(f.hi1);
    const __m256i zero = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 33 <= n; i += 32) {
        const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1));
        const __m256i m = _mm256_and_si256(buckets(v0, lo0, hi0), buckets(v1, lo1, hi1));
        auto mask = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(m, zero)));
        while (mask != 0) {
            f.confirm(p, n, i + static_cast<std::size_t>(__builtin_ctz(mask)), hits);
            mask &= mask - 1;
        }
    }
    return i;
}

// The same filter 16 positions at a time, for processors without AVX2.
__attribute__((target("ssse3"))) inline __m128i buckets(__m128i v, __m128i lo, __m128i hi) {
    const __m128i nibble = _mm_set1_epi8(0x0F);
    return _mm_and_si128(_mm_shuffle_epi8(lo, _mm_and_si128(v, nibble)),
                         _mm_shuffle_epi8(hi, _mm_and_si128(_mm_srli_epi16(v, 4), nibble)));
}

__attribute__((target("ssse3"))) std::size_t ssse3Scan(const Prefilter& f, const std::uint8_t* p, std::size_t n, Hits& hits) {
    auto table = [](const std::uint8_t* t) { return _mm_load_si128(reinterpret_cast<const __m128i*>(t)); };
    const __m128i lo0 = table(f.lo0), hi0 = table(f.hi0), lo1 = table(f.lo1), hi1 = table(f.hi1);
    const __m128i zero = _mm_setzero_si128();
    std::size_t i = 0;
    for (; i + 17 <= n; i += 16) {
        const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
        const __m128i m = _mm_and_si128(buckets(v0, lo0, hi0), buckets(v1, lo1, hi1));
        auto mask = ~static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(m, zero))) & 0xFFFFu;
        while (mask != 0) {
            f.confirm(p, n, i + static_cast<std::size_t>(__builtin_ctz(mask)), hits);
            mask &= mask - 1;
        }
    }
    return i;
}

const bool kHaveAvx2 = __builtin_cpu_supports("avx2");
const bool kHaveSsse3 = __builtin_cpu_supports("ssse3");

}  // namespace

std::vector<SignatureHit> findSignaturesWith(SearchPath path, std::span<const std::uint8_t> window) {
    Hits hits;
    const Prefilter& f = prefilter();
    const std::uint8_t* p = window.data();
    const std::size_t n = window.size();
    std::size_t done = 0;
    if (path == SearchPath::avx2 && kHaveAvx2) done = avx2Scan(f, p, n, hits);
    else if (path != SearchPath::scalar && kHaveSsse3) done = ssse3Scan(f, p, n, hits);
    scalarScan(f, p, n, done, hits);
    // Positions are found in order except where a signature inside its file
    // moves a hit back; ties keep table order (rows lie in one array).
    std::sort(hits.begin(), hits.end());
    return hits;
}

std::vector<SignatureHit> findSignatures(std::span<const std::uint8_t> window) {
    return findSignaturesWith(kHaveAvx2 ? SearchPath::avx2 : SearchPath::ssse3, window);
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
