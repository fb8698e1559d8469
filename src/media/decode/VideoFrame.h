#pragma once
// The first picture of a video, pulled through a CarveRangeLoader by
// FFmpeg's libraries, shown the way the file says (display matrix applied).

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "media/CaptureTime.h"
#include "media/decode/CarveRangeLoader.h"
#include "media/decode/Image.h"

namespace tamsel::media {

// The first frame, or, when that is of one colour (a fade-in), the first
// later frame of the first few seconds with something on it.
// Nothing when the container or codec is not understood, or when `deadline`
// passes first: a damaged file must not keep the decoder busy for ever.
// `taken`, when given, gets when the container says it was recorded.
std::optional<RgbImage> firstVideoFrame(CarveRangeLoader& loader, const std::string& ext, int maxSide,
                                        std::chrono::steady_clock::time_point deadline,
                                        std::optional<CaptureTime>* taken = nullptr);

// How far the brightness of `image` spreads (its standard deviation, 0-255):
// near 0 for a picture of one colour.
double brightnessSpread(const RgbImage& image);

// Pictures stored as planes in an FFmpeg pixel format (`pixelFormat`), turned
// into RGB and shrunk to `outWidth` x `outHeight` by area in one pass, so no
// full-size RGB copy is ever made. `matrix` is an SWS_CS_* value, or -1 to
// leave the scaler's default; `fullRange` tells how the samples are coded.
std::optional<RgbImage> scaledToRgb(const std::uint8_t* const planes[4], const int strides[4], int pixelFormat,
                                    int width, int height, int outWidth, int outHeight, int matrix = -1,
                                    bool fullRange = false);

}  // namespace tamsel::media
