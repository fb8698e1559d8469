// The photo and video paths of the thumbnailer over arbitrary bytes: the
// last byte picks the extension the carver would have given.

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <vector>

#include "engine/reading/MemorySource.h"
#include "media/ScanThumbnailer.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* const kExts[] = {"jpg", "png", "webp", "tif", "heic", "avif", "dng", "cr2", "nef", "cr3",
                                        "mp4", "mov", "avi", "3gp", "mts", "mkv", "gif", "bmp"};
    static const fs::path session = fs::temp_directory_path() / ("tamsel-fuzz-thumbs-" + std::to_string(getpid()));
    if (size < 1) return 0;
    const char* ext = kExts[data[size - 1] % (sizeof kExts / sizeof kExts[0])];
    std::vector<std::uint8_t> bytes(data, data + size);
    const auto length = static_cast<std::int64_t>(bytes.size());
    auto source = std::make_shared<tamsel::MemorySource>(std::move(bytes));
    tamsel::media::ThumbnailLimits limits;
    limits.videoTime = std::chrono::milliseconds(2000);
    tamsel::media::ScanThumbnailer thumbnailer(source, session, limits);
    tamsel::CarvedFile file;
    file.index = 1;
    file.offset = 0;
    file.length = length;
    file.ext = ext;
    thumbnailer.makeThumbnail(file);
    std::error_code ec;
    fs::remove(tamsel::media::ScanThumbnailer::thumbnailURL(session, 1), ec);
    fs::remove(tamsel::media::ScanThumbnailer::markerURL(session, 1), ec);
    return 0;
}
