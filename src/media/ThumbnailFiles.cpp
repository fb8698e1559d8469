#include "media/ThumbnailFiles.h"

#include <cstdio>

namespace tamsel::media {

namespace {
std::string numbered(std::int64_t index, const char* suffix) {
    char name[40];
    std::snprintf(name, sizeof name, "%06lld%s", static_cast<long long>(index), suffix);
    return name;
}
}  // namespace

std::string ThumbnailFiles::jpegName(std::int64_t index) { return numbered(index, ".jpg"); }
std::string ThumbnailFiles::markerName(std::int64_t index) { return numbered(index, ".none"); }

}  // namespace tamsel::media
