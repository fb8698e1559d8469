// Thumbnails per second on one core, as a worker makes them: the corpus
// JPEGs, a 24-megapixel JPEG made by ImageMagick from a real corpus photo
// (noise would measure only the entropy decoder), through DCT-scaled
// decoding against a full decode plus resize; and the corpus HEIFs, one
// with the phone's own thumbnail item, the others decoded whole.

#include <benchmark/benchmark.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "media/decode/Decoders.h"
#include "media/decode/Thumbnail.h"
#include "media/ThumbnailLimits.h"

namespace {

namespace fs = std::filesystem;
using namespace tamsel::media;

std::vector<std::uint8_t> readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

const std::vector<std::vector<std::uint8_t>>& corpusJpegs() {
    static const auto files = [] {
        std::vector<std::vector<std::uint8_t>> out;
        for (const auto& e : fs::directory_iterator(fs::path(TAMSEL_CORPUS_DIR) / "jpg")) out.push_back(readAll(e.path()));
        return out;
    }();
    return files;
}

const std::vector<std::uint8_t>& largeJpeg() {
    static const auto bytes = [] {
        const fs::path p = fs::temp_directory_path() / "tamsel-bench-24mp-photo.jpg";
        if (!fs::exists(p)) {
            // A camera-like file: a phone photo upscaled to 6000x4000, quality 90, its EXIF kept.
            const fs::path photo = fs::path(TAMSEL_CORPUS_DIR) / "jpg" / "hdr_iphone_hdr_NO.jpg";
            const std::string cmd = "convert '" + photo.string() +
                                    "' -resize 6000x4000^ -gravity center -extent 6000x4000 -quality 90 '" + p.string() +
                                    "' 2>/dev/null";
            if (std::system(cmd.c_str()) != 0) return std::vector<std::uint8_t>{};
        }
        return readAll(p);
    }();
    return bytes;
}

bool thumbnail(const std::vector<std::uint8_t>& bytes, int decodeSide) {
    auto image = decodePhoto(bytes, "jpg", decodeSide, decodeSide);
    if (!image) return false;
    return !encodeJpeg(fittedWithin(std::move(*image), ThumbnailLimits::kMaxSide), ThumbnailLimits::kQuality).empty();
}

void CorpusJpegs(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    std::int64_t made = 0;
    for (auto _ : state)
        for (const auto& f : corpusJpegs()) made += thumbnail(f, side);
    state.SetItemsProcessed(made);
}

void LargeJpeg(benchmark::State& state) {
    if (largeJpeg().empty()) {
        state.SkipWithError("ImageMagick's convert is needed to make the 24-megapixel JPEG");
        return;
    }
    const int side = static_cast<int>(state.range(0));
    std::int64_t made = 0;
    for (auto _ : state) made += thumbnail(largeJpeg(), side);
    state.SetItemsProcessed(made);
}

void Heif(benchmark::State& state) {
    const auto bytes = readAll(fs::path(TAMSEL_CORPUS_DIR) / "heic" / (state.range(0) ? "iphone_13_pro_max.HEIC" : "IMG_5195.HEIC"));
    std::int64_t made = 0;
    for (auto _ : state) {
        MemoryRange file(bytes);
        made += makeThumbnail(file, "heic", ThumbnailLimits{}).jpeg.has_value();
    }
    state.SetItemsProcessed(made);
}

}  // namespace

// 1: a photo with a thumbnail item (a phone's); 0: one without, its grid of tiles decoded.
BENCHMARK(Heif)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
// 640: DCT scaling to the smallest scale that still gives 640; INT_MAX: full decode, then resize.
BENCHMARK(CorpusJpegs)->Arg(ThumbnailLimits::kMaxSide)->Arg(INT_MAX)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LargeJpeg)->Arg(ThumbnailLimits::kMaxSide)->Arg(INT_MAX)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
