#pragma once
// Makes one small upright JPEG per found photo or video straight from the
// found file's bytes in the source, into the session's "thumbs" folder, or
// an empty ".none" marker when none can be made. Whether a thumbnail exists
// is told by the files alone; existing ones are never remade.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "engine/carve/CarvedFile.h"
#include "engine/reading/RandomAccessSource.h"
#include "media/Image.h"

namespace tamsel::media {

namespace fs = std::filesystem;

struct ThumbnailLimits {
    std::int64_t photoBytes = 67108864;  // read from the found file's start
    // Bounds on one video, so that a damaged one cannot hold the scan open.
    std::int64_t videoBytes = 67108864;
    std::chrono::milliseconds videoTime{5000};
};

class ScanThumbnailer {
public:
    static constexpr int kMaxSide = 640;
    static constexpr int kQuality = 72;

    // Creates `sessionDir`/thumbs; a failure is ignored (writes then fail).
    ScanThumbnailer(std::shared_ptr<RandomAccessSource> source, const fs::path& sessionDir, ThumbnailLimits limits = {});

    // True when the thumbnail exists afterwards; false when the marker was
    // written instead, or when the thumbnail could not be saved (then
    // nothing is written, and notSaved() counts it). Never throws.
    bool makeThumbnail(const CarvedFile& file) noexcept;
    std::int64_t notSaved() const { return notSaved_.load(); }

    const fs::path& thumbsDir() const { return thumbsDir_; }

    static fs::path thumbsDirOf(const fs::path& sessionDir) { return sessionDir / "thumbs"; }
    // "%06d.jpg" and "%06d.none" of the found file's index.
    static fs::path thumbnailURL(const fs::path& sessionDir, std::int64_t index);
    static fs::path markerURL(const fs::path& sessionDir, std::int64_t index);

private:
    std::optional<RgbImage> photoThumbnail(const CarvedFile& file);
    std::optional<RgbImage> videoThumbnail(const CarvedFile& file);

    std::shared_ptr<RandomAccessSource> source_;
    fs::path thumbsDir_;
    ThumbnailLimits limits_;
    std::atomic<std::int64_t> notSaved_{0};
};

}  // namespace tamsel::media
