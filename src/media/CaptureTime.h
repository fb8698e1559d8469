#pragma once
// When a photo or a video was taken, as its own metadata states it: a
// calendar time, with its offset from UTC where the file gives one.

#include <optional>

#include "engine/carve/CarvedFile.h"
#include "engine/common/CalendarTime.h"

namespace tamsel::media {

struct CaptureTime {
    CalendarTime when;
    std::optional<int> offsetMinutes;
    DateSource from = DateSource::exif;  // exif or video
};

}  // namespace tamsel::media
