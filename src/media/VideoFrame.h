#pragma once
// The first picture of a video, pulled through a CarveRangeLoader by
// FFmpeg's libraries, shown the way the file says (display matrix applied).

#include <chrono>
#include <optional>
#include <string>

#include "media/CarveRangeLoader.h"
#include "media/Image.h"

namespace tamsel::media {

// Nothing when the container or codec is not understood, or when `deadline`
// passes first: a damaged file must not keep the decoder busy for ever.
std::optional<RgbImage> firstVideoFrame(CarveRangeLoader& loader, const std::string& ext, int maxSide,
                                        std::chrono::steady_clock::time_point deadline);

}  // namespace tamsel::media
