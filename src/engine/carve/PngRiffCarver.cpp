#include <cstring>

#include "engine/carve/ByteReaders.h"
#include "engine/carve/Damage.h"
#include "engine/carve/Formats.h"

namespace tamsel::carve {

namespace {
constexpr int kMaxPngChunks = 100000;
constexpr std::int64_t kMaxPngLength = 0x10000000;
// No RIFF file of ours is larger: an AVI's RIFF holds at most 1 GiB before
// AVIX extensions take over, a WebP or WAV is far smaller than 4 GiB.
constexpr std::int64_t kMaxRiff = 0xC0000000;
constexpr int kMaxRiffChunks = 1000000;

bool isAsciiLetter(std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is(const Bytes& b, std::size_t at, const char (&text)[5]) { return std::memcmp(b.data() + at, text, 4) == 0; }

// How far the chunks of the RIFF at `at` go, one after another up to
// `limit`: the end of the last whole chunk (a last odd chunk may leave out
// its pad byte), and whether the walk stopped at `limit` rather than at
// bytes that are no chunk. With `intoLists`, a list whose own size runs
// past `limit` is stepped into (a recording cut off leaves its frame list so).
struct Walk {
    std::int64_t end = 0;
    bool reachedLimit = false;
};
Walk walkChunks(RandomAccessSource& source, std::int64_t at, std::int64_t limit, bool intoLists) {
    std::int64_t pos = at + 12;
    for (int i = 0; i < kMaxRiffChunks && pos + 8 <= limit; ++i) {
        Bytes c = source.pread(pos, 12);
        if (c.size() < 8) return {pos, true};
        for (std::size_t k = 0; k < 4; ++k)
            if (c[k] < 0x20 || c[k] > 0x7E) return {pos, false};
        const std::int64_t length = leU32(c.span(), 4);
        if (pos + 8 + length > limit) {
            if (intoLists && c.size() == 12 && is(c, 0, "LIST")) {
                pos += 12;
                continue;
            }
            return {pos, true};
        }
        pos += 8 + length + (length & 1);
    }
    return {std::min(pos, limit), pos >= limit};
}
}  // namespace

std::optional<CarveResult> carvePNG(RandomAccessSource& source, std::int64_t at) {
    std::int64_t pos = at + 8;
    for (int i = 0; i < kMaxPngChunks; ++i) {
        Bytes b = source.pread(pos, 8);
        if (b.size() < 8) return std::nullopt;
        const std::uint32_t len = beU32(b.span(), 0);
        for (std::size_t k = 4; k < 8; ++k)
            if (!isAsciiLetter(b[k])) return std::nullopt;
        pos += std::int64_t{len} + 12;
        if (pos - at > kMaxPngLength) return std::nullopt;
        if (is(b, 4, "IEND")) return CarveResult{pos - at, "png", std::nullopt};
    }
    return std::nullopt;
}

std::optional<CarveResult> carveRIFF(RandomAccessSource& source, std::int64_t at) {
    Bytes h = source.pread(at, 12);
    if (h.size() < 12) return std::nullopt;
    std::string ext;
    if (is(h, 8, "AVI "))
        ext = "avi";
    else if (is(h, 8, "WAVE"))
        ext = "wav";
    else if (is(h, 8, "WEBP"))
        ext = "webp";
    else
        return std::nullopt;
    const std::uint32_t size = leU32(h.span(), 4);
    if (size < 4) return std::nullopt;
    std::int64_t len = std::int64_t{size} + 8;
    if (ext == "avi") {
        // Large AVI files continue in AVIX containers right behind the first.
        for (;;) {
            Bytes x = source.pread(at + len, 12);
            if (x.size() < 12 || !holdsSignature(format("riff"), x.span()) || !is(x, 8, "AVIX")) break;
            len += std::int64_t{leU32(x.span(), 4)} + 8;
        }
    }
    // The chunks filling the size given exactly vouch for it.
    const std::int64_t given = at + std::int64_t{size} + 8;
    if (at + len <= source.size() && len <= kMaxRiff && walkChunks(source, at, given, false).end == given)
        return CarveResult{len, ext, std::nullopt};
    // A size no RIFF file has (0xFFFFFFF0 from a recording cut off): the
    // chunks say how far the file goes. A size past the source's end: cut
    // short there. Either way the search goes on from where the chunks
    // stop, never inside a frame.
    const Walk walk = walkChunks(source, at, source.size(), true);
    if (len > kMaxRiff && !walk.reachedLimit) {
        if (walk.end - at <= 12) return std::nullopt;
        return CarveResult{walk.end - at, ext, std::nullopt, false, walk.end - at};
    }
    if (at + len > source.size()) return CarveResult{source.size() - at, ext, std::string(damage::kCutShort), false, walk.end - at};
    // Chunks that do not fill the size given: it may hold another file.
    return CarveResult{len, ext, std::nullopt, false, std::max<std::int64_t>(12, std::min(walk.end - at, len))};
}

}  // namespace tamsel::carve
