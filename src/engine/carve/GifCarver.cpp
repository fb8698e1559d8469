#include "engine/carve/ByteReaders.h"
#include "engine/carve/Damage.h"
#include "engine/carve/Formats.h"

namespace tamsel::carve {

namespace {
constexpr std::int64_t kMaxGif = 0x10000000;  // 256 MiB
constexpr int kMaxBlocks = 10000000;

std::int64_t colourTable(std::uint8_t packed) { return (packed & 0x80) ? 3 * (std::int64_t{2} << (packed & 7)) : 0; }
}  // namespace

// Header, colour table, then extensions and pictures, each a run of
// sub-blocks closed by an empty one, up to the trailer byte.
std::optional<CarveResult> carveGIF(RandomAccessSource& source, std::int64_t at) {
    ForwardReader r(source);
    const ByteView h = r.at(at, 13);
    if (h.empty() || (h[4] != '7' && h[4] != '9') || h[5] != 'a') return std::nullopt;
    if (leU16(h, 6) == 0 || leU16(h, 8) == 0) return std::nullopt;
    std::int64_t pos = at + 13 + colourTable(h[10]);
    int pictures = 0;
    // Past the last whole block: where the file ends when its trailer is missing.
    std::int64_t lastWhole = pos;
    auto subBlocks = [&]() {
        for (;;) {
            const ByteView n = r.at(pos, 1);
            if (n.empty()) return false;
            pos += 1 + n[0];
            if (n[0] == 0) return true;
            if (pos - at > kMaxGif) return false;
        }
    };
    for (int blocks = 0; blocks < kMaxBlocks && pos - at <= kMaxGif; ++blocks) {
        const ByteView kind = r.at(pos, 1);
        if (kind.empty()) break;
        if (kind[0] == 0x3B) {
            if (pictures == 0) return std::nullopt;
            return CarveResult{pos + 1 - at, "gif", std::nullopt};
        }
        if (kind[0] == 0x21) {
            pos += 2;
        } else if (kind[0] == 0x2C) {
            // Image descriptor, local colour table, then the LZW code size.
            const ByteView d = r.at(pos, 10);
            if (d.empty()) break;
            pos += 10 + colourTable(d[9]);
            const ByteView code = r.at(pos, 1);
            if (code.empty() || code[0] < 2 || code[0] > 12) break;
            pos += 1;
            ++pictures;
        } else {
            break;
        }
        if (!subBlocks()) break;
        lastWhole = pos;
    }
    // No trailer: the pictures read so far are the file, cut short; what
    // follows is searched.
    if (pictures == 0) return std::nullopt;
    const std::int64_t length = std::min(lastWhole, source.size()) - at;
    return CarveResult{length, "gif", std::string(damage::kCutShort), false, length};
}

}  // namespace tamsel::carve
