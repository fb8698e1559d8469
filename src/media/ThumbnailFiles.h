#pragma once
// Where a session keeps its thumbnails: "thumbs/000012.jpg", or an empty
// "000012.none" for a found file that holds no picture. Whether a thumbnail
// exists is told by these files alone.

#include <cstdint>
#include <filesystem>
#include <string>

#include "engine/carve/Session.h"

namespace tamsel::media {

namespace fs = std::filesystem;

struct ThumbnailFiles {
    static std::string jpegName(std::int64_t index);
    static std::string markerName(std::int64_t index);
    static fs::path thumbsDirOf(const fs::path& sessionDir) { return sessionDir / Session::kThumbsName; }
    static fs::path thumbnailPath(const fs::path& sessionDir, std::int64_t index) {
        return thumbsDirOf(sessionDir) / jpegName(index);
    }
    static fs::path markerPath(const fs::path& sessionDir, std::int64_t index) {
        return thumbsDirOf(sessionDir) / markerName(index);
    }
};

}  // namespace tamsel::media
