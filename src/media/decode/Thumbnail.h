#pragma once
// One found file's thumbnail: decoded from its bytes, shrunk to at most
// ThumbnailLimits::kMaxSide and encoded as JPEG. Runs in the thumbnail
// worker process, never in the scan's.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "media/ThumbnailLimits.h"
#include "media/decode/ByteRange.h"

namespace tamsel::media {

// The JPEG, or nothing when the file holds no picture that can be made.
std::optional<std::vector<std::uint8_t>> makeThumbnail(ByteRange& file, const std::string& ext,
                                                       const ThumbnailLimits& limits);

}  // namespace tamsel::media
