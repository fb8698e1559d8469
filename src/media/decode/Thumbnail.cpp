#include "media/decode/Thumbnail.h"

#include "media/decode/CarveRangeLoader.h"
#include "media/decode/Decoders.h"
#include "media/decode/VideoFrame.h"
#include "workflow/MediaClass.h"

namespace tamsel::media {

std::optional<std::vector<std::uint8_t>> makeThumbnail(ByteRange& file, const std::string& ext,
                                                       const ThumbnailLimits& limits) {
    if (file.length() <= 0) return std::nullopt;
    const std::string e = lowerCasedExtension(ext);
    std::optional<RgbImage> image;
    // GIF and BMP go through FFmpeg's image decoders, which the video path already opens.
    if (MediaKind::videoExtensions().contains(e) || e == "gif" || e == "bmp") {
        CarveRangeLoader loader(file, limits.videoBytes);
        image = firstVideoFrame(loader, ext, ThumbnailLimits::kMaxSide, std::chrono::steady_clock::now() + limits.videoTime);
    } else if (!MediaKind::audioExtensions().contains(e)) {
        const Bytes bytes = file.read(0, std::min(file.length(), limits.photoBytes));
        if (!bytes.empty()) image = decodePhoto(bytes.span(), ext, ThumbnailLimits::kMaxSide, ThumbnailLimits::kEnoughSide);
    }
    if (!image || image->empty()) return std::nullopt;
    auto jpeg = encodeJpeg(fittedWithin(std::move(*image), ThumbnailLimits::kMaxSide), ThumbnailLimits::kQuality);
    if (jpeg.empty()) return std::nullopt;
    return jpeg;
}

}  // namespace tamsel::media
