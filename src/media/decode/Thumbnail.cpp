#include "media/decode/Thumbnail.h"

#include <vector>

#include "engine/carve/Damage.h"
#include "engine/carve/Formats.h"
#include "media/decode/CaptureTimes.h"
#include "media/decode/CarveRangeLoader.h"
#include "media/decode/Checks.h"
#include "media/decode/Decoders.h"
#include "media/decode/VideoFrame.h"
#include "engine/carve/MediaClass.h"

namespace tamsel::media {

namespace {

bool isBmff(ByteRange& file) {
    const Bytes head = file.read(0, 8);
    return carve::holdsSignature(carve::format("bmff"), head.span());
}

// The file's bytes up to a budget: what the checks and the decoder of a
// video read together stays within the limit.
class BudgetedRange final : public ByteRange {
public:
    BudgetedRange(ByteRange& inner, std::int64_t budget) : inner_(inner), left_(budget) {}
    std::int64_t length() const override { return inner_.length(); }
    Bytes read(std::int64_t offset, std::int64_t count) override {
        count = std::min(count, left_);
        if (count < 1) return {};
        Bytes b = inner_.read(offset, count);
        left_ -= static_cast<std::int64_t>(b.size());
        return b;
    }
    std::int64_t left() const { return left_; }

private:
    ByteRange& inner_;
    std::int64_t left_;
};

// Photos whose decoders fail only on damaged data: a file of one of these
// that gives no picture is damaged, not merely unsupported.
bool failsOnlyWhenDamaged(const std::string& e) {
    return e == "jpg" || e == "jpeg" || e == "png" || e == "heic" || e == "heif" || e == "avif" || e == "webp";
}

}  // namespace

ThumbnailResult makeThumbnail(ByteRange& file, const std::string& ext, const ThumbnailLimits& limits) {
    ThumbnailResult result;
    if (file.length() <= 0) return result;
    const std::string e = lowerCasedExtension(ext);
    std::vector<std::string> notes;
    std::optional<RgbImage> image;
    // Movies, and pictures the table names a container for (GIF, BMP), go
    // through FFmpeg, which the video path already opens.
    const carve::Extension* row = carve::extensionNamed(e);
    if (row && !row->container.empty() && row->kind != MediaClass::audio) {
        // The picture first, then the index and the coded stream with what is
        // left of the byte budget.
        BudgetedRange budgeted(file, limits.videoBytes);
        {
            CarveRangeLoader loader(budgeted, budgeted.left());
            image = firstVideoFrame(loader, ext, limits.side, std::chrono::steady_clock::now() + limits.videoTime,
                                    &result.taken);
        }
        if (e == "avi") {
            if (auto n = checkAvi(budgeted)) notes.push_back(*n);
        } else if (MediaKind::videoExtensions().contains(e) && isBmff(budgeted)) {
            if (auto n = checkMovie(budgeted)) notes.push_back(*n);
        }
    } else if (!MediaKind::audioExtensions().contains(e)) {
        const Bytes bytes = file.read(0, std::min(file.length(), limits.photoBytes));
        // A structure is judged only whole: a file larger than the bytes given is not.
        const bool whole = static_cast<std::int64_t>(bytes.size()) == file.length();
        JpegDamage jpeg;
        if (!bytes.empty()) {
            image = decodePhoto(bytes.span(), ext, limits.side, limits.side / 2, &jpeg);
            result.taken = photoCaptureTime(bytes.span());
        }
        if (whole) {
            if (jpeg.found) notes.push_back(jpeg.endedEarly ? std::string(damage::kCutShort) : damage::corrupt(jpeg.percentFrom));
            else if (jpeg.flatFromPercent >= 0) notes.push_back(damage::overwritten(jpeg.flatFromPercent));
            if (e == "png")
                if (auto n = checkPng(bytes.span())) notes.push_back(*n);
            if (e == "heic" || e == "heif" || e == "avif")
                if (auto n = checkHeif(bytes.span())) notes.push_back(*n);
            if ((!image || image->empty()) && notes.empty() && failsOnlyWhenDamaged(e)) notes.emplace_back(damage::kUnreadable);
        }
    }
    if (!notes.empty()) result.damage = damage::joined(notes);
    if (!image || image->empty()) return result;
    const int quality = limits.side > ThumbnailLimits::kMaxSide ? ThumbnailLimits::kPreviewQuality : ThumbnailLimits::kQuality;
    auto jpeg = encodeJpeg(fittedWithin(std::move(*image), limits.side), quality);
    if (!jpeg.empty()) result.jpeg = std::move(jpeg);
    return result;
}

}  // namespace tamsel::media
