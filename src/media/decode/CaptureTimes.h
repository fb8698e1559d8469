#pragma once
// Capture times read from a file's own metadata: EXIF (DateTimeOriginal with
// OffsetTimeOriginal) in JPEG, TIFF-based RAW and HEIF files, and a video's
// creation_time as FFmpeg states it.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "media/CaptureTime.h"

namespace tamsel::media {

// "YYYY:MM:DD HH:MM:SS" (EXIF) or "YYYY-MM-DDTHH:MM:SS[.frac][Z|+HH:MM]"
// (ISO 8601), with `offset` ("+09:00") when the zone is stated apart.
std::optional<CaptureTime> parseCaptureTime(std::string_view text, std::string_view offset, DateSource from);

// The EXIF capture time of a photo whose first bytes are `head`, by its format.
std::optional<CaptureTime> photoCaptureTime(std::span<const std::uint8_t> head);

}  // namespace tamsel::media
