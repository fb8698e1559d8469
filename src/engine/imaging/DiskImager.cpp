#include "engine/imaging/DiskImager.h"

#include <algorithm>
#include <chrono>

#include "engine/common/Throttle.h"
#include "engine/reading/FileSource.h"

namespace tamsel {

DiskImager::DiskImager(std::shared_ptr<RandomAccessSource> source, ImagerOutput& output, ProgressCallback onProgress)
    : source_(std::move(source)), output_(output), onProgress_(std::move(onProgress)) {}

ImagerProgress DiskImager::run(const CancellationToken& token) {
    const std::int64_t size = source_->size();
    std::int64_t pos = std::min(output_.resumeOffset(), size);
    const std::int64_t resumedFrom = pos;
    const auto started = std::chrono::steady_clock::now();
    Throttle throttle;
    (void)throttle.due();  // the first report comes after the first interval
    std::int64_t lastCheckpoint = pos;
    auto lastCheckpointTime = started;
    double speed = 0;
    std::int64_t rangeCount = 0;
    auto* fileSource = dynamic_cast<FileSource*>(source_.get());

    while (pos < size) {
        if (token.isCancelled()) break;
        Bytes data = source_->pread(pos, kChunk);
        if (data.empty()) break;
        try {
            output_.write(data, pos);
        } catch (...) {
            // Everything before `pos` is in the image: a stop here (most
            // often a full disk) continues from there, not from the last
            // periodic checkpoint.
            output_.checkpoint(pos);
            throw;
        }
        pos += static_cast<std::int64_t>(data.size());
        if (fileSource) {
            const auto ranges = fileSource->badRanges();
            output_.setBadRanges(ranges);
            rangeCount = static_cast<std::int64_t>(ranges.size());
        }
        const auto now = std::chrono::steady_clock::now();
        const std::int64_t every = lastCheckpoint == resumedFrom ? kFirstCheckpoint : kCheckpointEvery;
        if (pos - lastCheckpoint >= every || now - lastCheckpointTime >= std::chrono::seconds(kCheckpointSeconds)) {
            output_.checkpoint(pos);
            lastCheckpoint = pos;
            lastCheckpointTime = now;
        }
        if (throttle.due()) {
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            speed = elapsed > 0 ? static_cast<double>(pos - resumedFrom) / elapsed : 0;
            if (onProgress_) onProgress_({pos, size, source_->badBytes(), rangeCount, speed, resumedFrom});
        }
    }
    output_.finalize(pos >= size, pos);
    const ImagerProgress last{pos, size, source_->badBytes(), rangeCount, speed, resumedFrom};
    if (onProgress_) onProgress_(last);
    return last;
}

}  // namespace tamsel
