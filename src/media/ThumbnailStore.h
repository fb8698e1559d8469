#pragma once
// Thumbnail files decoded for display at the size a view asks for, kept in
// memory. A URL in the cache always returns the image first decoded for it;
// the least recently used entries go once the decoded bytes pass the bound.
// Also the thumbnail wait: the growing delays with which a view polls for a
// thumbnail that the worker has not written yet.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "engine/common/Cancellation.h"
#include "media/decode/Image.h"

namespace tamsel::media {

namespace fs = std::filesystem;

class ThumbnailStore {
public:
    static constexpr std::int64_t kDefaultBound = 256 * 1048576LL;
    static constexpr double kDefaultScale = 2.0;  // when there is no main screen
    static constexpr int kCellSize = 160;
    static constexpr int kInspectorSize = 320;

    explicit ThumbnailStore(std::int64_t maxBytes = kDefaultBound) : maxBytes_(maxBytes) {}
    static ThumbnailStore& shared();

    // The cached image of `url`, or the file decoded at pixelSize x scale
    // pixels on the longer side; nothing when there is no file or it does
    // not decode. Blocking: call it off the UI thread.
    std::shared_ptr<const RgbImage> cachedThumbnail(const fs::path& url, int pixelSize, double scale = kDefaultScale);

    std::int64_t cachedBytes() const;
    std::size_t cachedCount() const;

private:
    struct Entry {
        std::shared_ptr<const RgbImage> image;
        std::list<std::string>::iterator age;
    };
    std::shared_ptr<const RgbImage> lookup(const std::string& key);
    std::shared_ptr<const RgbImage> insert(const std::string& key, std::shared_ptr<const RgbImage> image);

    mutable std::mutex lock_;
    std::int64_t maxBytes_;
    std::int64_t bytes_ = 0;
    std::list<std::string> ages_;  // most recently used first
    std::unordered_map<std::string, Entry> cache_;
};

// How a thumbnail wait ended.
enum class ThumbnailWaitResult { image, none, gaveUp, cancelled };

struct ThumbnailWait {
    static constexpr std::chrono::milliseconds kFirstDelay{120};
    static constexpr std::chrono::milliseconds kMaxDelay{1500};
    static constexpr int kAttempts = 40;

    // The sleep after attempt `attempt` (0-based): 120, 240, 480, 960, then 1500 ms.
    static std::chrono::milliseconds delayAfter(int attempt);

    // Polls the store for the thumbnail of found file `index` of a session
    // until it decodes, its marker appears, 40 attempts pass or `token` is
    // cancelled. `sleep` waits between attempts (the window's timer).
    static ThumbnailWaitResult run(ThumbnailStore& store, const fs::path& sessionDir, std::int64_t index, int pixelSize,
                                   double scale, const CancellationToken& token,
                                   const std::function<void(std::chrono::milliseconds)>& sleep,
                                   std::shared_ptr<const RgbImage>* image);
};

}  // namespace tamsel::media
