#pragma once
// One found file's thumbnail and verdict: decoded from its bytes, shrunk to
// at most the limits' side (a thumbnail's, or a preview's) and encoded as JPEG, its content
// judged by the same decode and by its structure, and when it was taken read. Runs in the thumbnail
// worker process, never in the scan's.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "media/CaptureTime.h"
#include "media/ThumbnailLimits.h"
#include "media/decode/ByteRange.h"

namespace tamsel::media {

struct ThumbnailResult {
    std::optional<std::vector<std::uint8_t>> jpeg;  // nothing: no picture can be made
    std::optional<std::string> damage;              // what is wrong with the content, in plain words
    std::optional<CaptureTime> taken;
};

ThumbnailResult makeThumbnail(ByteRange& file, const std::string& ext, const ThumbnailLimits& limits);

}  // namespace tamsel::media
