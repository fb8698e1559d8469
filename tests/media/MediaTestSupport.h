#pragma once
// Sources that watch how the thumbnailer reads, and picture probes.

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/reading/MemorySource.h"
#include "media/decode/Decoders.h"
#include "support/TempDir.h"

namespace tamsel::test {

// Every read is recorded; an optional pause makes each one slow.
class WatchedSource final : public RandomAccessSource {
public:
    explicit WatchedSource(std::vector<std::uint8_t> data, std::chrono::milliseconds pause = {})
        : inner_(std::make_shared<MemorySource>(std::move(data))), pause_(pause) {}
    std::int64_t size() const override { return inner_->size(); }
    std::int64_t badBytes() const override { return inner_->badBytes(); }
    const std::string& displayName() const override { return inner_->displayName(); }
    Bytes pread(std::int64_t offset, std::int64_t count) override {
        {
            std::lock_guard guard(lock_);
            reads_.push_back({offset, count});
        }
        if (pause_.count() > 0) std::this_thread::sleep_for(pause_);
        return inner_->pread(offset, count);
    }
    std::shared_ptr<RandomAccessSource> duplicate() override { return nullptr; }
    void close() override {}
    std::vector<BadRange> reads() const {
        std::lock_guard guard(lock_);
        return reads_;
    }

private:
    std::shared_ptr<MemorySource> inner_;
    std::chrono::milliseconds pause_;
    mutable std::mutex lock_;
    std::vector<BadRange> reads_;
};

inline media::RgbImage decodedFile(const fs::path& jpg) {
    auto bytes = readFile(jpg);
    auto image = media::decodeJpeg(bytes, 4096);
    return image ? *image : media::RgbImage{};
}

// Mean of one channel-averaged quadrant: 0 top-left, 1 top-right, 2 bottom-left, 3 bottom-right.
inline double quadrantMean(const media::RgbImage& img, int q) {
    const int x0 = (q % 2) * img.width / 2, y0 = (q / 2) * img.height / 2;
    double sum = 0;
    std::int64_t n = 0;
    for (int y = y0; y < y0 + img.height / 2; ++y)
        for (int x = x0; x < x0 + img.width / 2; ++x, ++n)
            for (int c = 0; c < 3; ++c) sum += img.pixels[static_cast<std::size_t>((y * img.width + x) * 3 + c)];
    return n ? sum / static_cast<double>(n * 3) : 0;
}

inline int darkestQuadrant(const media::RgbImage& img) {
    int best = 0;
    for (int q = 1; q < 4; ++q)
        if (quadrantMean(img, q) < quadrantMean(img, best)) best = q;
    return best;
}

}  // namespace tamsel::test
