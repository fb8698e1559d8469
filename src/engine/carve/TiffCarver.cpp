#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "engine/carve/ByteReaders.h"
#include "engine/carve/Formats.h"

namespace tamsel::carve {

namespace {
constexpr std::uint32_t kMaxFirstIfd = 0x1FFFFFFF;
constexpr std::size_t kMaxIfds = 65;
constexpr std::uint16_t kMaxEntries = 512;
constexpr std::uint64_t kMaxEntryBytes = 536870912;
constexpr std::uint32_t kMaxValues = 65536;
constexpr std::uint64_t kMaxMakeBytes = 64;
constexpr std::int64_t kMinLength = 512;          // exclusive
constexpr std::int64_t kMaxLength = 0x20000000;   // inclusive

enum Tag : std::uint16_t {
    kMake = 0x010F,
    kStripOffsets = 0x0111,
    kStripByteCounts = 0x0117,
    kTileOffsets = 0x0144,
    kTileByteCounts = 0x0145,
    kSubIFDs = 0x014A,
    kJpegOffset = 0x0201,
    kJpegLength = 0x0202,
    // Panasonic's own: where the sensor data starts (its strip offsets are unset).
    kPanasonicRawDataOffset = 0x0118,
    kExifIfd = 0x8769,
    kDngVersion = 0xC612,
};

std::uint64_t valueSize(std::uint16_t type) {
    switch (type) {
        case 1: case 2: case 6: case 7: return 1;
        case 3: case 8: return 2;
        case 4: case 9: case 11: case 13: return 4;
        case 5: case 10: case 12: case 16: case 17: case 18: return 8;
        default: return 0;
    }
}

std::string trimmedMake(ByteView bytes) {
    std::string s;
    for (std::uint8_t c : bytes) {
        if (c >= 0x80) return {};
        s.push_back(static_cast<char>(c));
    }
    const auto first = s.find_first_not_of(std::string(" \0", 2));
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(std::string(" \0", 2));
    return s.substr(first, last - first + 1);
}

bool contains(const std::string& haystack, const char* needle) { return haystack.find(needle) != std::string::npos; }
}  // namespace

std::optional<CarveResult> carveTIFF(RandomAccessSource& source, std::int64_t at) {
    const std::int64_t size = source.size();
    // A TIFF structure right behind "Exif\0\0" is a JPEG's (or HEIF's) EXIF
    // block, never a file of its own.
    if (at >= 6) {
        Bytes before = source.pread(at - 6, 6);
        if (before.size() == 6 && std::memcmp(before.data(), "Exif\0\0", 6) == 0) return std::nullopt;
    }
    Bytes header = source.pread(at, 16);
    if (header.size() < 16 || header[0] != header[1] || (header[0] != 'I' && header[0] != 'M')) return std::nullopt;
    const bool le = header[0] == 'I';
    const std::uint32_t first = u32(header.span(), 4, le);
    if (first < 8 || first > kMaxFirstIfd) return std::nullopt;
    const bool isCR2 = le && header[8] == 'C' && header[9] == 'R';
    const bool isRW2 = le && header[2] == 0x55 && header[3] == 0;

    std::vector<std::int64_t> pending{first};
    std::set<std::int64_t> visited;
    std::int64_t maxEnd = 8;
    int ifds = 0;
    int entries = 0;
    std::string make;
    bool isDNG = false;

    while (!pending.empty()) {
        const std::int64_t off = pending.back();
        pending.pop_back();
        if (visited.count(off) != 0 || visited.size() >= kMaxIfds) continue;
        visited.insert(off);
        if (off < 8 || at + off + 2 > size) continue;
        Bytes countBytes = source.pread(at + off, 2);
        if (countBytes.size() < 2) continue;
        const std::uint16_t n = u16(countBytes.span(), 0, le);
        if (n == 0 || n > kMaxEntries) continue;
        const std::int64_t ifdBytes = 12 * std::int64_t{n} + 6;
        Bytes ifd = source.pread(at + off, ifdBytes);
        if (static_cast<std::int64_t>(ifd.size()) < ifdBytes) continue;
        ++ifds;
        maxEnd = std::max(maxEnd, off + ifdBytes);

        std::vector<std::int64_t> stripOffsets, stripCounts, tileOffsets, tileCounts;
        std::int64_t jpegOffset = -1;
        std::int64_t jpegLength = -1;
        std::int64_t rawDataOffset = -1;
        const ByteView v = ifd.span();
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t e = 2 + 12 * k;
            const std::uint16_t tag = u16(v, e, le);
            const std::uint16_t type = u16(v, e + 2, le);
            const std::uint32_t count = u32(v, e + 4, le);
            const std::uint64_t perValue = valueSize(type);
            if (perValue == 0) continue;
            const std::uint64_t byteCount = perValue * count;
            if (byteCount >= kMaxEntryBytes) continue;
            std::uint32_t valueOffset = 0;
            const bool inlineValues = byteCount <= 4;
            if (!inlineValues) {
                valueOffset = u32(v, e + 8, le);
                maxEnd = std::max(maxEnd, static_cast<std::int64_t>(valueOffset + byteCount));
            }
            ++entries;

            auto readValues = [&]() -> std::vector<std::int64_t> {
                if (type != 3 && type != 4 && type != 13) return {};
                const std::uint32_t m = std::min(count, kMaxValues);
                const std::size_t width = type == 3 ? 2 : 4;
                std::vector<std::int64_t> out;
                auto take = [&](ByteView from) {
                    out.reserve(m);
                    for (std::uint32_t i = 0; i < m; ++i)
                        out.push_back(width == 2 ? std::int64_t{u16(from, i * width, le)}
                                                 : std::int64_t{u32(from, i * width, le)});
                };
                if (inlineValues) {
                    take(v.subspan(e + 8, 4));
                } else {
                    Bytes data = source.pread(at + valueOffset, static_cast<std::int64_t>(byteCount));
                    if (data.size() < byteCount) return {};
                    take(data.span());
                }
                return out;
            };

            switch (tag) {
                case kMake:
                    if (make.empty()) {
                        if (inlineValues) {
                            make = trimmedMake(v.subspan(e + 8, static_cast<std::size_t>(byteCount)));
                        } else {
                            Bytes m = source.pread(at + valueOffset,
                                                   static_cast<std::int64_t>(std::min(byteCount, kMaxMakeBytes)));
                            make = trimmedMake(m.span());
                        }
                    }
                    break;
                case kStripOffsets: stripOffsets = readValues(); break;
                case kStripByteCounts: stripCounts = readValues(); break;
                case kTileOffsets: tileOffsets = readValues(); break;
                case kTileByteCounts: tileCounts = readValues(); break;
                case kSubIFDs:
                case kExifIfd:
                    for (std::int64_t sub : readValues())
                        if (sub >= 8) pending.push_back(sub);
                    break;
                case kJpegOffset: {
                    auto values = readValues();
                    jpegOffset = values.empty() ? -1 : values.front();
                    break;
                }
                case kJpegLength: {
                    auto values = readValues();
                    jpegLength = values.empty() ? -1 : values.front();
                    break;
                }
                case kDngVersion: isDNG = true; break;
                case kPanasonicRawDataOffset:
                    if (isRW2) {
                        auto values = readValues();
                        rawDataOffset = values.empty() ? -1 : values.front();
                    }
                    break;
                default: break;
            }
        }
        if (rawDataOffset >= 8) {
            std::int64_t rawBytes = 0;
            for (std::int64_t c : stripCounts) rawBytes += c;
            maxEnd = std::max(maxEnd, rawDataOffset + rawBytes);
        } else {
            for (std::size_t i = 0; i < std::min(stripOffsets.size(), stripCounts.size()); ++i)
                maxEnd = std::max(maxEnd, stripOffsets[i] + stripCounts[i]);
        }
        for (std::size_t i = 0; i < std::min(tileOffsets.size(), tileCounts.size()); ++i)
            maxEnd = std::max(maxEnd, tileOffsets[i] + tileCounts[i]);
        if (jpegOffset >= 0 && jpegLength > 0) maxEnd = std::max(maxEnd, jpegOffset + jpegLength);
        const std::uint32_t next = u32(v, 2 + 12 * std::size_t{n}, le);
        if (next >= 8) pending.push_back(next);
    }

    if (ifds < 1 || entries < 4 || maxEnd <= kMinLength || maxEnd > kMaxLength || at + maxEnd > size)
        return std::nullopt;
    std::string upper = make;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    std::string ext = "tif";
    if (isRW2)
        ext = "rw2";
    else if (isCR2)
        ext = "cr2";
    else if (isDNG)
        ext = "dng";
    else if (contains(upper, "NIKON"))
        ext = "nef";
    else if (contains(upper, "SONY"))
        ext = "arw";
    else if (contains(upper, "CANON"))
        ext = "cr2";
    else if (contains(upper, "PENTAX") || contains(upper, "RICOH"))
        ext = "pef";
    return CarveResult{maxEnd, ext, std::nullopt};
}

// Olympus RAW, built as TIFF behind a header of its own.
std::optional<CarveResult> carveORF(RandomAccessSource& source, std::int64_t at) {
    auto r = carveTIFF(source, at);
    if (r) r->ext = "orf";
    return r;
}

}  // namespace tamsel::carve
