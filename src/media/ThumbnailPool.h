#pragma once
// The thumbnails of one scan, made by a few worker processes (one per core)
// at the lowest priority, in found order. A file's bytes come from what the
// scan has already read where it handed them over; otherwise they are read
// from the source once the scan's own reading is over. A worker that
// crashes or runs past its limits is killed and replaced; that file gets a
// marker. A thumbnail that cannot be saved (a full disk) gets none, so that
// a later run makes it.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/carve/CarvedFile.h"
#include "engine/carve/Session.h"
#include "engine/common/Bytes.h"
#include "engine/common/Cancellation.h"
#include "engine/common/Files.h"
#include "engine/reading/RandomAccessSource.h"
#include "media/ThumbnailLimits.h"

namespace tamsel::media {

namespace fs = std::filesystem;

struct ThumbnailCounts {
    std::int64_t made = 0;
    std::int64_t none = 0;    // no picture: a marker
    std::int64_t failed = 0;  // the worker crashed or ran too long: a marker
    // Not made now, made by a later run (no marker): no room to save it,
    // the source could not be read, no worker could be started.
    std::int64_t notSaved = 0;
    std::int64_t unread = 0;
    std::int64_t noWorker = 0;
    std::int64_t done() const { return made + none + failed + notSaved + unread + noWorker; }
    std::int64_t later() const { return notSaved + unread + noWorker; }
};

class ThumbnailPool {
public:
    struct Options {
        int workers = 0;  // 0: one per core
        // One file's limits: the worker's own CPU time, and wall time
        // whatever else the machine is doing.
        std::chrono::milliseconds cpuLimit{10000};
        std::chrono::milliseconds wallLimit{120000};
        ThumbnailLimits limits;
        // Bytes handed over by the scan and not used yet, at most.
        std::int64_t heldBudget = 96LL << 20;
        std::string program;  // the worker; workerProgram() when empty
        std::vector<std::string> environment;  // the worker's; a clean one when empty
    };
    // Told on a worker thread after each file, with whether it has a
    // thumbnail now and what its decode found wrong with its content (also
    // kept in the session's list of verdicts).
    using Done = std::function<void(const CarvedFile&, bool made, const std::optional<std::string>& damage)>;

    // `reader` reads found files the scan did not hand over. The session's
    // thumbs folder is made or opened; throws FileError when it cannot be.
    // `session` outlives the pool.
    ThumbnailPool(std::shared_ptr<RandomAccessSource> reader, const Session& session, Options options, Done onDone,
                  CancellationToken token);
    ~ThumbnailPool();  // stops at once: workers killed, threads joined
    ThumbnailPool(const ThumbnailPool&) = delete;
    ThumbnailPool& operator=(const ThumbnailPool&) = delete;

    // Whether the bytes of a file this long are to be handed over: when
    // they fit the budget at all. Waits until they fit beside the bytes
    // already held, so that the scan goes no faster than the workers can
    // take what it reads (reading twice would cost a failing card more).
    bool wantsBytes(std::int64_t length);
    void push(const CarvedFile& file, std::shared_ptr<const Bytes> held = nullptr);
    // The scan's reading is over: files without their bytes may be read now.
    void sourceFree();
    // Nothing more comes: returns when every file is done or the token is cancelled.
    void finishAndWait();

    ThumbnailCounts counts() const;
    // Whether a thumbnail or a no-picture marker is there already.
    bool madeBefore(std::int64_t index) const;
    std::int64_t pushed() const { return pushed_.load(); }
    // Where the worker program is: beside the build's programs, or installed.
    static std::string workerProgram();

private:
    struct Job {
        CarvedFile file;
        std::shared_ptr<const Bytes> held;
    };
    class Slot;
    bool stopped() const { return stopping_.load() || token_.isCancelled(); }
    std::optional<Job> next();
    void finished(const Job& job, bool made, int outcome, const std::optional<std::string>& damage);

    std::shared_ptr<RandomAccessSource> reader_;
    const Session& session_;
    UniqueFd thumbs_;
    Options options_;
    Done onDone_;
    CancellationToken token_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Job> ready_;     // bytes in hand
    std::deque<Job> deferred_;  // read from the source after the scan
    bool sourceFree_ = false;
    bool finishing_ = false;
    std::atomic<bool> stopping_{false};
    std::atomic<std::int64_t> held_{0};
    std::atomic<std::int64_t> pushed_{0};
    ThumbnailCounts counts_;
    std::vector<std::unique_ptr<Slot>> slots_;
};

}  // namespace tamsel::media
