#pragma once
// Found files as a thumbnail worker reads them, and picture probes.

#include <chrono>
#include <thread>
#include <vector>

#include "engine/reading/RandomAccessSource.h"
#include "media/decode/ByteRange.h"
#include "media/decode/Decoders.h"
#include "media/decode/Thumbnail.h"
#include "support/TempDir.h"

namespace tamsel::test {

// A found file's bytes as a worker is served them: every read recorded,
// an optional pause making each one slow.
class WatchedRange final : public media::ByteRange {
public:
    explicit WatchedRange(std::vector<std::uint8_t> data, std::chrono::milliseconds pause = {})
        : data_(std::move(data)), pause_(pause) {}
    std::int64_t length() const override { return static_cast<std::int64_t>(data_.size()); }
    Bytes read(std::int64_t offset, std::int64_t count) override {
        reads_.push_back({offset, count});
        if (pause_.count() > 0) std::this_thread::sleep_for(pause_);
        return media::MemoryRange(data_).read(offset, count);
    }
    const std::vector<BadRange>& reads() const { return reads_; }

private:
    std::vector<std::uint8_t> data_;
    std::chrono::milliseconds pause_;
    std::vector<BadRange> reads_;
};

// The thumbnail a worker makes of `file`, decoded back; empty when none.
inline media::RgbImage thumbnailOf(media::ByteRange& file, const std::string& ext, const media::ThumbnailLimits& limits = {}) {
    const auto jpeg = media::makeThumbnail(file, ext, limits).jpeg;
    if (!jpeg) return {};
    auto image = media::decodeJpeg(*jpeg, 4096);
    return image ? *image : media::RgbImage{};
}
inline media::RgbImage thumbnailOf(const std::vector<std::uint8_t>& bytes, const std::string& ext) {
    media::MemoryRange file(bytes);
    return thumbnailOf(file, ext);
}

// Mean of a quadrant, of one channel or of all three: 0 top-left, 1 top-right,
// 2 bottom-left, 3 bottom-right.
inline double quadrantMean(const media::RgbImage& img, int q, int channel = -1) {
    const int x0 = (q % 2) * img.width / 2, y0 = (q / 2) * img.height / 2;
    double sum = 0;
    std::int64_t n = 0;
    for (int y = y0; y < y0 + img.height / 2; ++y)
        for (int x = x0; x < x0 + img.width / 2; ++x, ++n)
            for (int c = 0; c < 3; ++c)
                if (channel < 0 || c == channel) sum += img.pixels[static_cast<std::size_t>((y * img.width + x) * 3 + c)];
    return n ? sum / static_cast<double>(channel < 0 ? n * 3 : n) : 0;
}

inline int darkestQuadrant(const media::RgbImage& img) {
    int best = 0;
    for (int q = 1; q < 4; ++q)
        if (quadrantMean(img, q) < quadrantMean(img, best)) best = q;
    return best;
}

}  // namespace tamsel::test
