#include <algorithm>
#include <array>
#include <bit>
#include <string>

#include "engine/carve/ByteReaders.h"
#include "engine/carve/Damage.h"
#include "engine/carve/Formats.h"

namespace tamsel::carve {

namespace {
constexpr std::int64_t kMaxHeader = 4096;
constexpr std::int64_t kMaxFile = std::int64_t{64} << 30;
constexpr int kMaxElements = 20000000;
constexpr std::uint32_t kDocType = 0x4282;
constexpr std::uint32_t kSegment = 0x18538067;
constexpr std::uint32_t kCluster = 0x1F43B675;
constexpr std::int64_t kUnknown = -1;

// What may stand in a segment: seek head, info, tracks, cluster, cues,
// attachments, chapters, tags, and void and checksum elements.
bool inSegment(std::uint32_t id) {
    static constexpr std::array<std::uint32_t, 10> ids{0x114D9B74, 0x1549A966, 0x1654AE6B, kCluster, 0x1C53BB6B,
                                                       0x1941A469, 0x1043A770, 0x1254C367, 0xEC,     0xBF};
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}
// What may stand in a cluster: its time stamp, silent tracks, position,
// previous size, blocks, and void and checksum elements.
bool inCluster(std::uint32_t id) {
    static constexpr std::array<std::uint32_t, 9> ids{0xE7, 0x5854, 0xA7, 0xAB, 0xA3, 0xA0, 0xAF, 0xEC, 0xBF};
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

struct Element {
    std::uint32_t id = 0;
    std::int64_t size = 0;  // kUnknown: runs until an element its parent cannot hold
    int headerBytes = 0;
};

// The element header at `pos`, or nothing where the bytes are no header.
std::optional<Element> elementAt(ForwardReader& r, std::int64_t pos) {
    const ByteView b = r.upTo(pos, 12);
    if (b.size() < 2 || b[0] == 0) return std::nullopt;
    const int idBytes = std::countl_zero(b[0]) + 1;
    if (idBytes > 4 || static_cast<std::size_t>(idBytes) >= b.size() || b[static_cast<std::size_t>(idBytes)] == 0)
        return std::nullopt;
    Element e;
    for (int i = 0; i < idBytes; ++i) e.id = e.id << 8 | b[static_cast<std::size_t>(i)];
    const std::uint8_t first = b[static_cast<std::size_t>(idBytes)];
    const int sizeBytes = std::countl_zero(first) + 1;
    if (static_cast<std::size_t>(idBytes + sizeBytes) > b.size()) return std::nullopt;
    std::uint64_t size = first & (0xFFu >> sizeBytes);
    bool allOnes = size == (0xFFu >> sizeBytes);
    for (int i = 1; i < sizeBytes; ++i) {
        const std::uint8_t v = b[static_cast<std::size_t>(idBytes + i)];
        size = size << 8 | v;
        allOnes = allOnes && v == 0xFF;
    }
    if (!allOnes && size > static_cast<std::uint64_t>(kMaxFile)) return std::nullopt;
    e.size = allOnes ? kUnknown : static_cast<std::int64_t>(size);
    e.headerBytes = idBytes + sizeBytes;
    return e;
}

std::string docTypeIn(ForwardReader& r, std::int64_t from, std::int64_t to) {
    for (std::int64_t pos = from; pos < to;) {
        const auto e = elementAt(r, pos);
        if (!e || e->size == kUnknown) break;
        const std::int64_t data = pos + e->headerBytes;
        if (e->id == kDocType && e->size <= 32 && data + e->size <= to) {
            const ByteView text = r.at(data, static_cast<std::size_t>(e->size));
            return std::string(text.begin(), std::find(text.begin(), text.end(), 0));
        }
        pos = data + e->size;
    }
    return {};
}
}  // namespace

// An EBML header naming the document type, then the segment: its size,
// when given and filled by its elements, is the file's; a size left
// unknown (a recording still being written) runs as far as its elements
// do, clusters of unknown size as far as their blocks.
std::optional<CarveResult> carveEBML(RandomAccessSource& source, std::int64_t at) {
    // Element headers lie far apart in a file of large clusters.
    ForwardReader r(source, 65536);
    const auto header = elementAt(r, at);
    if (!header || header->size == kUnknown || header->size > kMaxHeader) return std::nullopt;
    const std::int64_t headerEnd = at + header->headerBytes + header->size;
    const std::string docType = docTypeIn(r, at + header->headerBytes, headerEnd);
    const char* ext = docType == "webm" ? "webm" : docType == "matroska" ? "mkv" : nullptr;
    if (!ext) return std::nullopt;
    const auto segment = elementAt(r, headerEnd);
    if (!segment || segment->id != kSegment) return std::nullopt;
    const std::int64_t segmentData = headerEnd + segment->headerBytes;
    const std::int64_t given = segment->size == kUnknown ? kUnknown : segmentData + segment->size;
    // The segment's children, and the blocks of a cluster of unknown size.
    std::int64_t pos = segmentData;
    bool inOpenCluster = false;
    for (int n = 0; n < kMaxElements && pos - at < kMaxFile && (given == kUnknown || pos < given); ++n) {
        const auto e = elementAt(r, pos);
        if (!e) break;
        if (inOpenCluster && !inCluster(e->id)) inOpenCluster = false;
        if (!inOpenCluster && !inSegment(e->id)) break;
        if (e->size == kUnknown) {
            if (e->id != kCluster) break;
            inOpenCluster = true;
            pos += e->headerBytes;
            continue;
        }
        pos += e->headerBytes + e->size;
    }
    const std::int64_t size = source.size();
    if (given != kUnknown && pos == given && given <= size) return CarveResult{given - at, ext, std::nullopt};
    const std::int64_t walked = std::min(pos, size) - at;
    if (walked <= segmentData - at) return std::nullopt;
    // Past the source's end, by its size or by its last element: cut short.
    if (pos >= size || (given != kUnknown && given > size))
        return CarveResult{size - at, ext, std::string(damage::kCutShort), false, walked};
    // A size its elements do not fill may hold another file; one left
    // unknown ends with its last element.
    if (given != kUnknown) return CarveResult{given - at, ext, std::nullopt, false, walked};
    return CarveResult{walked, ext, std::nullopt};
}

}  // namespace tamsel::carve
