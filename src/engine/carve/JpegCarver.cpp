#include <cstring>

#include "engine/carve/Damage.h"
#include "engine/carve/Formats.h"

namespace tamsel::carve {

namespace {
constexpr int kMaxHeaderSteps = 256;
constexpr std::int64_t kSpanLimit = 0x10000000;  // 256 MiB
constexpr std::int64_t kChunk = 0x100000;
constexpr std::int64_t kShortestTruncated = 1024;

// Whether the bytes at `p` start another photo.
bool startsPhoto(const std::uint8_t* p, std::size_t n) {
    static const Format& jpeg = format("jpeg");
    return holdsSignature(jpeg, {p, n});
}

// SOF0 to SOF15; C4 (DHT), C8 (JPG) and CC (DAC) share the range but are no frame.
bool isFrameHeader(std::uint8_t m) { return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC; }

// The end of a photo whose header segments could not all be read: its own
// end marker, passing over the whole pictures its header may still hold
// (an EXIF thumbnail, SOI to EOI), up to the next picture that begins after.
std::optional<CarveResult> endBehindDamagedHeader(RandomAccessSource& source, std::int64_t start, std::int64_t from) {
    const std::int64_t limit = start + kSpanLimit;
    std::int64_t pos = from;
    int depth = 0;
    while (pos < limit) {
        Bytes chunk = source.pread(pos, kChunk);
        if (chunk.size() < 3) break;
        const std::uint8_t* p = chunk.data();
        const std::size_t n = chunk.size();
        const bool last = n < static_cast<std::size_t>(kChunk);
        // Unless this is the last chunk, its last two bytes are looked at with the next.
        for (std::size_t i = 0; last ? i + 1 < n : i + 2 < n; ++i) {
            if (p[i] != 0xFF) continue;
            if (startsPhoto(p + i, n - i)) {
                ++depth;
            } else if (p[i + 1] == 0xD9) {
                if (depth == 0) return CarveResult{pos + static_cast<std::int64_t>(i) + 2 - start, "jpg", std::nullopt};
                --depth;
            }
        }
        if (last) {
            pos += static_cast<std::int64_t>(n);
            break;
        }
        pos += static_cast<std::int64_t>(n) - 2;
    }
    // No end of its own: ends where the search finds the next file.
    const std::int64_t end = std::min(std::max(pos, from), std::min(limit, source.size()));
    if (end - start <= kShortestTruncated) return std::nullopt;
    return CarveResult{end - start, "jpg", std::string(damage::kCutShort), false, from - start};
}
}  // namespace

// A photo has a frame header before its scan; bytes that merely start and
// end like a JPEG (FF D8 FF D9 in every exFAT up-case table) are no file.
std::optional<CarveResult> carveJPEG(RandomAccessSource& source, std::int64_t at) {
    std::int64_t pos = at + 2;
    bool sawFrame = false;
    for (int step = 0; step < kMaxHeaderSteps; ++step) {
        Bytes b = source.pread(pos, 4);
        // An unreadable sector in the header segments: the photo is still
        // there behind it.
        if (b.size() == 4 && source.knownBadBytesIn(pos, 4) > 0) return endBehindDamagedHeader(source, at, pos + 4);
        if (b.size() < 4 || b[0] != 0xFF) return std::nullopt;
        const std::uint8_t m = b[1];
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
            pos += 2;
        } else if (m == 0xD8) {
            return std::nullopt;
        } else if (m == 0xD9) {
            return std::nullopt;  // ended before any scan: no image in it
        } else {
            const int len = (b[2] << 8) | b[3];
            if (len < 2) return std::nullopt;
            if (m == 0xDA) {
                if (!sawFrame) return std::nullopt;
                return scanJPEGEnd(source, at, pos + 2 + len);
            }
            if (isFrameHeader(m)) sawFrame = true;
            pos += 2 + len;
        }
        if (pos - at > kSpanLimit) return std::nullopt;
    }
    return std::nullopt;
}

std::optional<CarveResult> scanJPEGEnd(RandomAccessSource& source, std::int64_t start, std::int64_t scanFrom) {
    const std::int64_t limit = start + kSpanLimit;
    std::int64_t pos = scanFrom;
    bool previousEndedInFF = false;
    std::int64_t end = -1;
    while (pos < limit) {
        Bytes chunk = source.pread(pos, kChunk);
        if (chunk.empty()) break;
        const std::uint8_t* p = chunk.data();
        const std::size_t n = chunk.size();
        if (previousEndedInFF) {
            if (p[0] == 0xD9) return CarveResult{pos + 1 - start, "jpg", std::nullopt};
            const std::uint8_t across[] = {0xFF, p[0], n > 1 ? p[1] : std::uint8_t{0}};
            if (n > 1 && startsPhoto(across, 3)) {
                end = pos - 1;
                break;
            }
        }
        // Only FF bytes matter; memchr finds them far faster than a byte loop.
        const std::uint8_t* cursor = p;
        const std::uint8_t* last = p + n - 1;  // a marker needs a following byte
        while (cursor < last) {
            const void* hit = std::memchr(cursor, 0xFF, static_cast<std::size_t>(last - cursor));
            if (hit == nullptr) break;
            const std::uint8_t* ff = static_cast<const std::uint8_t*>(hit);
            const std::int64_t i = ff - p;
            if (ff[1] == 0xD9) return CarveResult{pos + i + 2 - start, "jpg", std::nullopt};
            if (startsPhoto(ff, n - static_cast<std::size_t>(i))) {
                end = pos + i;
                break;
            }
            cursor = ff + 1;
        }
        if (end >= 0) break;
        previousEndedInFF = p[n - 1] == 0xFF;
        pos += static_cast<std::int64_t>(n);
    }
    if (end < 0) end = std::min(pos, limit);
    if (end - start <= kShortestTruncated) return std::nullopt;
    return CarveResult{end - start, "jpg", std::string(damage::kCutShort), false, scanFrom - start};
}

}  // namespace tamsel::carve
