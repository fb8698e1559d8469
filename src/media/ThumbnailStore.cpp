#include "media/ThumbnailStore.h"

#include <algorithm>

#include "engine/common/Files.h"
#include "media/decode/Decoders.h"
#include "media/ThumbnailFiles.h"

namespace tamsel::media {

namespace {
constexpr std::int64_t kMaxThumbnailFile = 16 * 1048576LL;
}

ThumbnailStore& ThumbnailStore::shared() {
    static ThumbnailStore store;
    return store;
}

std::shared_ptr<const RgbImage> ThumbnailStore::lookup(const std::string& key) {
    std::lock_guard guard(lock_);
    auto it = cache_.find(key);
    if (it == cache_.end()) return nullptr;
    ages_.splice(ages_.begin(), ages_, it->second.age);
    return it->second.image;
}

std::shared_ptr<const RgbImage> ThumbnailStore::insert(const std::string& key, std::shared_ptr<const RgbImage> image) {
    std::lock_guard guard(lock_);
    // A request that overlapped an earlier one keeps the earlier image.
    if (auto it = cache_.find(key); it != cache_.end()) return it->second.image;
    ages_.push_front(key);
    bytes_ += image->byteCount();
    cache_.emplace(key, Entry{image, ages_.begin()});
    while (bytes_ > maxBytes_ && ages_.size() > 1) {
        auto victim = cache_.find(ages_.back());
        bytes_ -= victim->second.image->byteCount();
        cache_.erase(victim);
        ages_.pop_back();
    }
    return image;
}

std::shared_ptr<const RgbImage> ThumbnailStore::cachedThumbnail(const fs::path& url, int pixelSize, double scale) {
    const std::string key = url.string();
    if (auto hit = lookup(key)) return hit;
    // Read as a file we wrote: never through a link, never more than a thumbnail's size.
    auto bytes = readSessionFile(url, kMaxThumbnailFile);
    if (!bytes) return nullptr;
    const int maxPixels = std::max(1, static_cast<int>(pixelSize * scale));
    const std::span<const std::uint8_t> data(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size());
    auto decoded = decodeJpeg(data, maxPixels);
    if (!decoded || decoded->empty()) return nullptr;
    return insert(key, std::make_shared<const RgbImage>(fittedWithin(std::move(*decoded), maxPixels)));
}

std::int64_t ThumbnailStore::cachedBytes() const {
    std::lock_guard guard(lock_);
    return bytes_;
}

std::size_t ThumbnailStore::cachedCount() const {
    std::lock_guard guard(lock_);
    return cache_.size();
}

std::chrono::milliseconds ThumbnailWait::delayAfter(int attempt) {
    auto delay = kFirstDelay;
    for (int i = 0; i < attempt && delay < kMaxDelay; ++i) delay *= 2;
    return std::min(delay, kMaxDelay);
}

ThumbnailWaitResult ThumbnailWait::run(ThumbnailStore& store, const fs::path& sessionDir, std::int64_t index,
                                       int pixelSize, double scale, const CancellationToken& token,
                                       const std::function<void(std::chrono::milliseconds)>& sleep,
                                       std::shared_ptr<const RgbImage>* image) {
    const fs::path url = ThumbnailFiles::thumbnailURL(sessionDir, index);
    const fs::path marker = ThumbnailFiles::markerURL(sessionDir, index);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (token.isCancelled()) return ThumbnailWaitResult::cancelled;
        if (auto found = store.cachedThumbnail(url, pixelSize, scale)) {
            if (image) *image = std::move(found);
            return ThumbnailWaitResult::image;
        }
        std::error_code ec;
        if (fs::symlink_status(marker, ec).type() == fs::file_type::regular) return ThumbnailWaitResult::none;
        sleep(delayAfter(attempt));
    }
    return ThumbnailWaitResult::gaveUp;
}

}  // namespace tamsel::media
