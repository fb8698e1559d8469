#include <algorithm>
#include <iterator>

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

// The tables' packets (PAT, SDT and the other PIDs below 0x20) count on
// without a gap; a recording written right behind another starts them
// again, and so ends the one before.
constexpr int kTablePids = 0x20;

// Packets of `size` bytes whose sync byte sits `syncAt` into each: the
// stream ends with the last packet before the rhythm stops, or before its
// tables start counting anew.
std::optional<CarveResult> walkPackets(RandomAccessSource& source, std::int64_t at, int size, int syncAt, const char* ext) {
    ForwardReader r(source);
    const std::uint8_t sync = syncByte();
    std::int64_t packets = 0;
    std::int64_t pos = at;
    int counter[kTablePids];
    std::fill(std::begin(counter), std::end(counter), -1);
    for (; pos - at < kMaxStream; pos += size, ++packets) {
        const ByteView head = r.at(pos + syncAt, 4);
        if (head.empty() || head[0] != sync) break;
        if (head.size() < 4) continue;
        const int pid = (head[1] & 0x1F) << 8 | head[2];
        if (pid >= kTablePids || !(head[3] & 0x10)) continue;
        const int cc = head[3] & 0x0F;
        // The same count again is a repeated packet, which the format allows.
        if (counter[pid] >= 0 && cc != counter[pid] && cc != ((counter[pid] + 1) & 0x0F)) break;
        counter[pid] = cc;
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
