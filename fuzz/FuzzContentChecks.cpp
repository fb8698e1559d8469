// The structure checks a thumbnail worker runs on a found file: PNG chunks
// and image data, HEIF items, movie and AVI indexes, decoded pictures' bands.

#include <cstddef>
#include <cstdint>
#include <span>

#include "media/decode/Checks.h"

using namespace tamsel::media;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    (void)checkPng(bytes);
    (void)checkHeif(bytes);
    MemoryRange movie(bytes);
    (void)checkMovie(movie);
    MemoryRange avi(bytes);
    (void)checkAvi(avi);
    if (size >= 2) {
        // The bytes as a small picture, rows of the width the first byte gives.
        RgbImage image;
        image.width = 1 + data[0] % 32;
        image.height = static_cast<int>((size - 1) / (static_cast<std::size_t>(image.width) * 3));
        image.pixels.assign(data + 1, data + 1 + static_cast<std::size_t>(image.width) * 3 * static_cast<std::size_t>(image.height));
        if (auto from = flatBottomFrom(image); from && (*from <= 0 || *from >= 1)) __builtin_trap();
    }
    return 0;
}
