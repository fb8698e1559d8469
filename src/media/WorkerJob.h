#pragma once
// One job given to a started decoding worker (tamsel-thumbnailer): the
// reads it asks for are served until it answers. Shared by the scan's
// thumbnails and the window's previews, so that a found file's bytes reach
// a decoder only in that sandboxed process.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <memory>
#include <mutex>

#include "engine/carve/CarvedFile.h"
#include "engine/common/Bytes.h"
#include "engine/common/Cancellation.h"
#include "engine/reading/RandomAccessSource.h"
#include "media/WorkerProtocol.h"
#include "platform/linux/Program.h"

namespace tamsel::media {

enum class WorkerAnswer {
    answered,
    failed,     // gone, too slow (`keepWaiting` said to stop) or saying what it should not
    cancelled,  // a read was cancelled
    unread,     // the source could not be read
};

// Gives `worker` the job and serves its reads with `bytes(offset, count)`
// (inside the file; `budget` bytes in all) until it answers into `result`.
// A worker that did not answer is stopped.
WorkerAnswer runWorkerJob(platform::RunningProgram& worker, const protocol::Job& job, std::int64_t budget,
                          const std::function<Bytes(std::int64_t offset, std::int64_t count)>& bytes,
                          const std::function<bool()>& keepWaiting, protocol::Result& result);

// A found file's picture at a preview's size, made by one worker kept for
// the next file (a user steps through them). Blocking; one call at a time.
class PreviewMaker {
public:
    // `source` is the disk or image scanned; `program` the worker,
    // ThumbnailPool::workerProgram() when empty.
    explicit PreviewMaker(std::shared_ptr<RandomAccessSource> source, std::string program = {});
    ~PreviewMaker();  // the worker stopped
    PreviewMaker(const PreviewMaker&) = delete;
    PreviewMaker& operator=(const PreviewMaker&) = delete;

    // The picture of `file` at most `side` pixels on its longer side, and
    // the decode's verdict; nothing when the worker could not make one (it
    // could not start, failed, ran too long, or `token` stopped it).
    std::optional<protocol::Result> make(const CarvedFile& file, int side, const CancellationToken& token);

private:
    std::shared_ptr<RandomAccessSource> source_;
    std::string program_;
    std::mutex lock_;
    platform::RunningProgram worker_;
};

}  // namespace tamsel::media
