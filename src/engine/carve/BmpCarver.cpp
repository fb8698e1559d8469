#include "engine/carve/ByteReaders.h"
#include "engine/carve/Damage.h"
#include "engine/carve/Formats.h"

namespace tamsel::carve {

namespace {
constexpr std::int64_t kMaxBmp = 0x20000000;  // 512 MiB
constexpr std::int64_t kMaxSide = 65535;
// Writers that pad the file past its pixels (to an even length, a word) say so in its size.
constexpr std::int64_t kMostPadding = 1024;

bool knownHeader(std::uint32_t size) {
    return size == 12 || size == 40 || size == 52 || size == 56 || size == 64 || size == 108 || size == 124;
}
bool knownDepth(std::uint32_t bits) {
    return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}
}  // namespace

// Where the pixels end, by the header's size and depth (or the compressed
// size it gives), and behind them a colour profile; the size in the file
// header is taken when it covers them.
std::optional<CarveResult> carveBMP(RandomAccessSource& source, std::int64_t at) {
    const Bytes b = source.pread(at, 14 + 124);
    if (b.size() < 26) return std::nullopt;
    const ByteView h = b.span();
    const std::uint32_t fileSize = leU32(h, 2);
    const std::uint32_t pixelsAt = leU32(h, 10);
    const std::uint32_t headerSize = leU32(h, 14);
    if (!knownHeader(headerSize) || b.size() < 14 + headerSize || pixelsAt < 14 + headerSize) return std::nullopt;
    std::int64_t width = 0, height = 0;
    std::uint32_t planes = 0, bits = 0, compression = 0, imageSize = 0;
    if (headerSize == 12) {
        width = leU16(h, 18);
        height = leU16(h, 20);
        planes = leU16(h, 22);
        bits = leU16(h, 24);
    } else {
        width = static_cast<std::int32_t>(leU32(h, 18));
        height = static_cast<std::int32_t>(leU32(h, 22));
        if (height < 0) height = -height;  // stored top down
        planes = leU16(h, 26);
        bits = leU16(h, 28);
        compression = leU32(h, 30);
        imageSize = leU32(h, 34);
    }
    if (planes != 1 || !knownDepth(bits) || width < 1 || width > kMaxSide || height < 1 || height > kMaxSide)
        return std::nullopt;
    std::int64_t pixels = 0;
    if (compression == 0 || compression == 3 || compression == 6) {
        pixels = (width * bits + 31) / 32 * 4 * height;
    } else if (compression <= 5) {
        // Run lengths, JPEG or PNG: only the size given says how long.
        if (imageSize == 0) return std::nullopt;
        pixels = imageSize;
    } else {
        return std::nullopt;
    }
    std::int64_t end = std::int64_t{pixelsAt} + pixels;
    if (headerSize == 124) {
        // An embedded profile lies where the header says, counted from the header.
        const std::uint32_t profileAt = leU32(h, 14 + 112), profileSize = leU32(h, 14 + 116);
        if (profileSize > 0 && leU32(h, 14 + 56) == 0x4D424544)  // 'MBED'
            end = std::max(end, 14 + std::int64_t{profileAt} + profileSize);
    }
    if (end > kMaxBmp) return std::nullopt;
    if (fileSize >= end && fileSize - end <= kMostPadding) end = fileSize;
    if (at + end > source.size())
        return CarveResult{source.size() - at, "bmp", std::string(damage::kCutShort), false, source.size() - at};
    return CarveResult{end, "bmp", std::nullopt};
}

}  // namespace tamsel::carve
