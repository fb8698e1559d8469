#include "engine/carve/ByteReaders.h"
#include "engine/carve/Damage.h"
#include "engine/carve/Formats.h"

namespace tamsel::carve {

namespace {
// The sync byte every packet starts with, the first of the signature.
std::uint8_t syncByte() { return format("mpeg-ts").signatures[0].bytes[0]; }
// Packets in a row a start needs before it is believed.
constexpr int kFirstPackets = 5;
// A camcorder splits its recordings long before this.
constexpr std::int64_t kMaxStream = std::int64_t{64} << 30;

// Packets of `size` bytes whose sync byte sits `syncAt` into each: the
// stream ends with the last packet before the rhythm stops.
std::optional<CarveResult> walkPackets(RandomAccessSource& source, std::int64_t at, int size, int syncAt, const char* ext) {
    ForwardReader r(source);
    const std::uint8_t sync = syncByte();
    std::int64_t packets = 0;
    std::int64_t pos = at;
    for (; pos - at < kMaxStream; pos += size, ++packets) {
        const ByteView byte = r.at(pos + syncAt, 1);
        if (byte.empty() || byte[0] != sync) break;
    }
    if (packets < kFirstPackets) return std::nullopt;
    // A last packet the source's end cuts off.
    if (pos > source.size() || (pos < source.size() && pos + syncAt >= source.size())) {
        const std::int64_t length = std::min(pos, source.size()) - at;
        return CarveResult{length, ext, std::string(damage::kCutShort), false, length};
    }
    return CarveResult{pos - at, ext, std::nullopt};
}
}  // namespace

std::optional<CarveResult> carveTS(RandomAccessSource& source, std::int64_t at) {
    return walkPackets(source, at, 188, 0, "ts");
}

// Each packet behind a 4-byte arrival time stamp (AVCHD).
std::optional<CarveResult> carveM2TS(RandomAccessSource& source, std::int64_t at) {
    return walkPackets(source, at, 192, 4, "mts");
}

}  // namespace tamsel::carve
