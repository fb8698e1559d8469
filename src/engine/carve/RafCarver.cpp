#include <algorithm>

#include "engine/carve/ByteReaders.h"
#include "engine/carve/Damage.h"
#include "engine/carve/Formats.h"

namespace tamsel::carve {

namespace {
constexpr std::int64_t kMaxRaf = 0x20000000;  // 512 MiB
constexpr std::int64_t kHeader = 0x94;
// Where the header gives offset and length pairs: the JPEG preview, the
// sensor data's header and the sensor data, then the second frame's
// header and data (cameras with two sensor readouts).
constexpr std::size_t kPairs[] = {0x54, 0x5C, 0x64, 0x78, 0x80};
}  // namespace

// The file ends with the furthest piece its header places.
std::optional<CarveResult> carveRAF(RandomAccessSource& source, std::int64_t at) {
    const Bytes b = source.pread(at, kHeader);
    if (static_cast<std::int64_t>(b.size()) < kHeader) return std::nullopt;
    // A format version of four digits.
    for (std::size_t i = 0x3C; i < 0x40; ++i)
        if (b[i] < '0' || b[i] > '9') return std::nullopt;
    std::int64_t end = 0;
    int pieces = 0;
    for (std::size_t k : kPairs) {
        const std::int64_t offset = beU32(b.span(), k), length = beU32(b.span(), k + 4);
        if (offset == 0 && length == 0) continue;
        if (offset < kHeader || offset > kMaxRaf || length > kMaxRaf) return std::nullopt;
        end = std::max(end, offset + length);
        ++pieces;
    }
    if (pieces < 2 || end > kMaxRaf) return std::nullopt;
    if (at + end > source.size())
        return CarveResult{source.size() - at, "raf", std::string(damage::kCutShort), false, source.size() - at};
    return CarveResult{end, "raf", std::nullopt};
}

}  // namespace tamsel::carve
