#include "media/ScanThumbnailer.h"

#include <cstdio>

#include "engine/common/Files.h"
#include "media/CarveRangeLoader.h"
#include "media/Decoders.h"
#include "media/VideoFrame.h"
#include "workflow/MediaClass.h"

namespace tamsel::media {

namespace {

std::string numbered(std::int64_t index, const char* suffix) {
    char name[40];
    std::snprintf(name, sizeof name, "%06lld%s", static_cast<long long>(index), suffix);
    return name;
}

}  // namespace

ScanThumbnailer::ScanThumbnailer(std::shared_ptr<RandomAccessSource> source, const fs::path& sessionDir,
                                 ThumbnailLimits limits)
    : source_(std::move(source)), thumbsDir_(thumbsDirOf(sessionDir)), limits_(limits) {
    std::error_code ec;
    fs::create_directories(thumbsDir_, ec);
}

fs::path ScanThumbnailer::thumbnailURL(const fs::path& sessionDir, std::int64_t index) {
    return thumbsDirOf(sessionDir) / numbered(index, ".jpg");
}

fs::path ScanThumbnailer::markerURL(const fs::path& sessionDir, std::int64_t index) {
    return thumbsDirOf(sessionDir) / numbered(index, ".none");
}

bool ScanThumbnailer::makeThumbnail(const CarvedFile& file) noexcept {
    const fs::path jpg = thumbsDir_ / numbered(file.index, ".jpg");
    std::error_code ec;
    if (fs::symlink_status(jpg, ec).type() != fs::file_type::not_found) return true;
    std::optional<RgbImage> image;
    try {
        const std::string ext = lowerCasedExtension(file.ext);
        // GIF and BMP go through FFmpeg's image decoders, which the video path already opens.
        if (MediaKind::videoExtensions().contains(ext) || ext == "gif" || ext == "bmp")
            image = videoThumbnail(file);
        else if (!MediaKind::audioExtensions().contains(ext))
            image = photoThumbnail(file);
        if (image && !image->empty()) {
            const auto bytes = encodeJpeg(fittedWithin(std::move(*image), kMaxSide), kQuality);
            if (!bytes.empty()) {
                if (tryWriteAtomically(jpg, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())))
                    return true;
                // A full disk is no reason to give up on the file for good:
                // no marker, so that a later run makes it.
                ++notSaved_;
                return false;
            }
        }
    } catch (...) {
    }
    tryWriteAtomically(thumbsDir_ / numbered(file.index, ".none"), "");
    return false;
}

std::optional<RgbImage> ScanThumbnailer::photoThumbnail(const CarvedFile& file) {
    if (file.length <= 0) return std::nullopt;
    const Bytes bytes = source_->pread(file.offset, std::min(file.length, limits_.photoBytes));
    if (bytes.empty()) return std::nullopt;
    return decodePhoto(bytes.span(), file.ext, kMaxSide);
}

std::optional<RgbImage> ScanThumbnailer::videoThumbnail(const CarvedFile& file) {
    if (file.length <= 0) return std::nullopt;
    CarveRangeLoader loader(source_, file, limits_.videoBytes);
    return firstVideoFrame(loader, file.ext, kMaxSide, std::chrono::steady_clock::now() + limits_.videoTime);
}

}  // namespace tamsel::media
