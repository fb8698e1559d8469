#include <cstring>

#include "engine/carve/ByteReaders.h"
#include "engine/carve/Damage.h"
#include "engine/carve/Formats.h"

namespace tamsel::carve {

namespace {
constexpr std::int64_t kMaxMp3 = 0x40000000;  // 1 GiB
constexpr int kMaxFrames = 10000000;
// Frames a start without a tag needs before it is believed: a frame
// header is four bytes that noise holds now and then, eight in a row it does not.
constexpr int kFramesWithoutTag = 8;

struct Frame {
    int length = 0;
    std::uint8_t stream = 0;  // version, layer and sample rate bits: the same all through a file
};

// The frame whose header is `h`, or nothing.
std::optional<Frame> frameAt(ByteView h) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return std::nullopt;
    const int version = (h[1] >> 3) & 3;  // 0: MPEG 2.5, 2: MPEG 2, 3: MPEG 1
    const int layer = (h[1] >> 1) & 3;    // 1: layer III, 2: layer II, 3: layer I
    const int bitrateIndex = h[2] >> 4;
    const int rateIndex = (h[2] >> 2) & 3;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3 || (h[3] & 3) == 2)
        return std::nullopt;
    static constexpr int kBitrates[2][3][15] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    static constexpr int kRates[3] = {44100, 48000, 32000};
    const bool mpeg1 = version == 3;
    const int rate = kRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    const int bitrate = kBitrates[mpeg1 ? 0 : 1][3 - layer][bitrateIndex] * 1000;
    const int padding = (h[2] >> 1) & 1;
    int length = 0;
    if (layer == 3)
        length = (12 * bitrate / rate + padding) * 4;
    else if (layer == 1 && !mpeg1)
        length = 72 * bitrate / rate + padding;
    else
        length = 144 * bitrate / rate + padding;
    return Frame{length, static_cast<std::uint8_t>((h[1] & 0x1E) | (h[2] & 0x0C) << 3)};
}
}  // namespace

// An ID3v2 tag, then audio frames one behind another for as long as their
// headers agree, then perhaps an ID3v1 tag. A start without a tag is the
// first of several frames.
std::optional<CarveResult> carveMP3(RandomAccessSource& source, std::int64_t at) {
    ForwardReader r(source);
    std::int64_t pos = at;
    const ByteView tag = r.at(at, 10);
    if (tag.size() < 4) return std::nullopt;
    const bool tagged = !frameAt(tag);
    if (tagged) {
        if (tag.size() < 10) return std::nullopt;
        if (tag[3] < 2 || tag[3] > 4 || tag[4] == 0xFF) return std::nullopt;
        std::int64_t size = 0;
        for (std::size_t i = 6; i < 10; ++i) {
            if (tag[i] & 0x80) return std::nullopt;
            size = size << 7 | tag[i];
        }
        const bool footer = tag[3] == 4 && (tag[5] & 0x10);
        pos += 10 + size + (footer ? 10 : 0);
    }
    int frames = 0;
    std::uint8_t stream = 0;
    bool cut = false;
    while (frames < kMaxFrames && pos - at < kMaxMp3) {
        const ByteView h = r.at(pos, 4);
        if (h.empty()) {
            cut = pos < source.size();
            break;
        }
        const auto frame = frameAt(h);
        if (!frame || (frames > 0 && frame->stream != stream)) break;
        stream = frame->stream;
        pos += frame->length;
        ++frames;
    }
    if (frames < (tagged ? 1 : kFramesWithoutTag)) return std::nullopt;
    if (pos > source.size()) {
        pos = source.size();
        cut = true;
    }
    if (cut) return CarveResult{pos - at, "mp3", std::string(damage::kCutShort), false, pos - at};
    const ByteView old = r.at(pos, 3);
    if (!old.empty() && std::memcmp(old.data(), "TAG", 3) == 0 && pos + 128 <= source.size()) pos += 128;
    return CarveResult{pos - at, "mp3", std::nullopt};
}

}  // namespace tamsel::carve
