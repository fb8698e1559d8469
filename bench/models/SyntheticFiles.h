#pragma once
// Found files as a scan of a card full of photos and a few films reports
// them, made up without reading anything: for the benches that measure what
// the UI thread does with many of them.

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/carve/CarvedFile.h"

namespace tamsel::bench {

// Files [first, first + count): every 7th a film, every 11th damaged.
inline std::vector<CarvedFile> syntheticFiles(std::int64_t first, std::int64_t count) {
    std::vector<CarvedFile> files;
    files.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = first; i < first + count; ++i) {
        CarvedFile f;
        f.index = i;
        f.offset = i * 16384;
        f.length = 9000 + i % 5000;
        f.ext = i % 7 == 0 ? "mp4" : "jpg";
        f.fileName = upperCased(f.ext) + "/" + rescuedFileName(i, f.ext);
        f.damaged = i % 11 == 0;
        files.push_back(std::move(f));
    }
    return files;
}

// A card image of `count` copies of the corpus's smallest real camera JPEG,
// one every 16 KiB (where syntheticFiles places its files), then 1 MiB of zeros.
inline void writePhotoCard(const std::filesystem::path& card, int count) {
    std::ifstream in(std::filesystem::path(TAMSEL_CORPUS_DIR) / "jpg" / "Canon_40D.jpg", std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    const std::string jpeg = bytes.str();
    std::ofstream out(card, std::ios::binary);
    std::string slot(16384, '\0');
    std::copy(jpeg.begin(), jpeg.end(), slot.begin());
    for (int i = 0; i < count; ++i) out.write(slot.data(), static_cast<std::streamsize>(slot.size()));
    out.write(std::string(1 << 20, '\0').data(), 1 << 20);
}

}  // namespace tamsel::bench
