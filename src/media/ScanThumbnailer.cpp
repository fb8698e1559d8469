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

bool writeJPEG(const RgbImage& image, const fs::path& target) {
    const auto bytes = encodeJpeg(image, ScanThumbnailer::kQuality);
    if (bytes.empty()) return false;
    return tryWriteAtomically(target, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
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
    bool made = false;
    try {
        const std::string ext = lowerCasedExtension(file.ext);
        // GIF and BMP go through FFmpeg's image decoders, which the video path already opens.
        if (MediaKind::videoExtensions().contains(ext) || ext == "gif" || ext == "bmp")
            made = videoThumbnail(file, jpg);
        else if (!MediaKind::audioExtensions().contains(ext))
            made = photoThumbnail(file, jpg);
    } catch (...) {
        made = false;
    }
    if (!made) tryWriteAtomically(thumbsDir_ / numbered(file.index, ".none"), "");
    return made;
}

bool ScanThumbnailer::photoThumbnail(const CarvedFile& file, const fs::path& target) {
    if (file.length <= 0) return false;
    const Bytes bytes = source_->pread(file.offset, std::min(file.length, limits_.photoBytes));
    if (bytes.empty()) return false;
    auto image = decodePhoto(bytes.span(), file.ext, kMaxSide);
    if (!image || image->empty()) return false;
    return writeJPEG(fittedWithin(std::move(*image), kMaxSide), target);
}

bool ScanThumbnailer::videoThumbnail(const CarvedFile& file, const fs::path& target) {
    if (file.length <= 0) return false;
    CarveRangeLoader loader(source_, file, limits_.videoBytes);
    auto image = firstVideoFrame(loader, file.ext, kMaxSide, std::chrono::steady_clock::now() + limits_.videoTime);
    if (!image || image->empty()) return false;
    return writeJPEG(fittedWithin(std::move(*image), kMaxSide), target);
}

}  // namespace tamsel::media
