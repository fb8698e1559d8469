#pragma once
// A decoded picture: 8-bit RGB, rows top to bottom, no padding.

#include <cstdint>
#include <vector>

namespace tamsel::media {

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // width * height * 3

    bool empty() const { return width <= 0 || height <= 0; }
    std::int64_t byteCount() const { return static_cast<std::int64_t>(pixels.size()); }
};

// Decoders refuse pictures larger than this rather than allocate gigabytes
// for a damaged header.
inline constexpr std::int64_t kMaxDecodedPixels = 80'000'000;

// Turns a picture stored with EXIF orientation `orientation` (1 to 8) upright.
RgbImage oriented(RgbImage image, int orientation);
// Shrinks by area averaging so that the longer side is at most `maxSide`.
RgbImage fittedWithin(RgbImage image, int maxSide);
// The same from 8-bit RGB rows with the given stride, without a full-size copy.
RgbImage fittedWithin(const std::uint8_t* rgb, int width, int height, int stride, int maxSide);
// From 8-bit RGBA rows with the given stride, alpha laid over white.
RgbImage fromRgba(const std::uint8_t* rgba, int width, int height, int stride);
RgbImage fromRgb(const std::uint8_t* rgb, int width, int height, int stride);

}  // namespace tamsel::media
