#pragma once
// What one thumbnail may cost: its size, the bytes a decoder is given and
// the time a video's decoder is allowed. Shared by the scan's side, which serves the
// bytes, and the worker, which decodes them.

#include <chrono>
#include <cstdint>

namespace tamsel::media {

struct ThumbnailLimits {
    // A thumbnail: a JPEG of at most this many pixels on its longer side. A
    // picture a file holds ready (a HEIF's thumbnail item) serves when its
    // longer side reaches half the side asked for (a grid tile at twice its size).
    static constexpr int kMaxSide = 640;
    static constexpr int kQuality = 72;
    // A preview: larger, and kept finer.
    static constexpr int kMaxPreviewSide = 4096;
    static constexpr int kPreviewQuality = 88;

    int side = kMaxSide;  // the picture's longer side at most

    std::int64_t photoBytes = 67108864;  // read from the found file's start
    std::int64_t videoBytes = 67108864;
    std::chrono::milliseconds videoTime{5000};
};

}  // namespace tamsel::media
