#include "engine/imaging/DiskImager.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>

#include "engine/common/Throttle.h"
#include "engine/imaging/ParallelReads.h"

namespace tamsel {

namespace {
using Clock = std::chrono::steady_clock;
// After a failed cluster the copying pass jumps ahead, further after each
// failure in a row: a damaged area is left for later, the good data first.
constexpr std::int64_t kMaxSkip = 64LL << 20;
// Trimming and scraping find a bad sector at a time; losing one to a crash
// costs a read of a failing sector again, so they checkpoint often.
constexpr auto kSectorCheckpointEvery = std::chrono::seconds(1);
}  // namespace

DiskImager::DiskImager(std::shared_ptr<RandomAccessSource> source, ImagerOutput& output, ProgressCallback onProgress,
                       ImagerOptions options)
    : source_(std::move(source)), output_(output), onProgress_(std::move(onProgress)), options_(options) {}

struct DiskImager::Run {
    Run(DiskImager& s, const CancellationToken& t, RandomAccessSource& src, std::int64_t unitSize)
        : self(s), token(t), source(src), size(src.size()), unit(unitSize) {}
    DiskImager& self;
    const CancellationToken& token;
    RandomAccessSource& source;
    const std::int64_t size;
    const std::int64_t unit;
    RescueState state;
    std::int64_t resumedFrom = 0;
    std::int64_t goodThisRun = 0;
    Clock::time_point started = Clock::now();
    Clock::time_point lastCheckpointTime = started;
    std::int64_t lastCheckpointWritten = 0;
    Throttle throttle;
    double speed = 0;
    bool stopped = false;

    ImagerProgress progress() const {
        ImagerProgress p;
        p.totalBytes = size;
        p.bytesDone = size - state.pendingBytes();
        p.phase = state.phase;
        p.goodBytes = state.map.bytes(BlockStatus::finished);
        p.badBytes = size - p.goodBytes - state.map.bytes(BlockStatus::nonTried);
        p.badRangeCount = static_cast<std::int64_t>(state.map.unreadable().size());
        p.bytesPerSec = speed;
        p.resumedFrom = resumedFrom;
        return p;
    }

    void report(bool force = false) {
        if (!force && !throttle.due()) return;
        const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
        speed = elapsed > 0 ? static_cast<double>(goodThisRun) / elapsed : 0;
        if (self.onProgress_) self.onProgress_(progress());
    }

    void checkpoint() {
        self.output_.checkpointState(state);
        lastCheckpointTime = Clock::now();
        lastCheckpointWritten = state.written;
    }

    // Copying checkpoints by bytes written, as a single pass did; the
    // sector passes by time.
    void maybeCheckpoint() {
        const auto now = Clock::now();
        if (state.phase == RescuePhase::copying) {
            const std::int64_t every = lastCheckpointWritten == resumedFrom ? kFirstCheckpoint : kCheckpointEvery;
            if (state.written - lastCheckpointWritten >= every || now - lastCheckpointTime >= std::chrono::seconds(kCheckpointSeconds))
                checkpoint();
        } else if (now - lastCheckpointTime >= kSectorCheckpointEvery) {
            checkpoint();
        }
    }

    bool cancelled() {
        if (token.isCancelled()) stopped = true;
        return stopped;
    }

    // Writes and only then records: a write that fails leaves the state as
    // it was, so the checkpoint never claims bytes the image lacks.
    void commit(const Bytes& data, std::int64_t at) {
        try {
            self.output_.write(data, at);
        } catch (...) {
            checkpoint();
            throw;
        }
        state.written = std::max(state.written, at + static_cast<std::int64_t>(data.size()));
    }

    std::int64_t sectorLength(std::int64_t at) const { return std::min(unit, size - at); }

    void copying() {
        std::int64_t skip = 0;
        ParallelReads reads(source, kReadsInFlight);
        while (!cancelled()) {
            auto block = state.map.next(BlockStatus::nonTried, state.phasePos);
            if (!block) {
                if (state.sweep == 1 && state.map.next(BlockStatus::nonTried, 0)) {
                    // What was skipped is read now, without skipping.
                    state.sweep = 2;
                    state.phasePos = 0;
                    reads.startGently();
                    continue;
                }
                return;
            }
            // One step: up to the next chunk boundary, read cluster by cluster
            // and written at once.
            const std::int64_t at = block->offset;
            const std::int64_t stepEnd = std::min(block->end(), (at / kChunk + 1) * kChunk);
            std::vector<RescueBlock> clusters;
            for (std::int64_t c = at; c < stepEnd;) {
                const std::int64_t n = std::min(stepEnd, (c / kCluster + 1) * kCluster) - c;
                clusters.push_back({c, n, BlockStatus::nonTried});
                c += n;
            }
            Bytes buf = Bytes::zeros(static_cast<std::size_t>(stepEnd - at));
            std::size_t next = 0;
            bool halt = false;
            std::exception_ptr error;
            while (true) {
                while (!halt && next < clusters.size() && reads.hasRoom()) {
                    // A stop answers between two reads.
                    if (next > 0 && cancelled()) {
                        halt = true;
                        break;
                    }
                    reads.submit(clusters[next].offset, clusters[next].length);
                    ++next;
                }
                if (reads.inFlight() == 0) break;
                auto done = reads.wait();
                auto& cl = clusters[static_cast<std::size_t>(done.offset / kCluster - at / kCluster)];
                if (done.error) {
                    if (!error) error = done.error;
                    halt = true;
                } else if (done.data) {
                    std::memcpy(buf.data() + (cl.offset - at), done.data->data(), static_cast<std::size_t>(cl.length));
                    cl.status = BlockStatus::finished;
                } else {
                    cl.status = BlockStatus::nonTrimmed;
                    if (state.sweep == 1) halt = true;
                }
            }
            // What was read without a gap from the step's start is kept.
            std::int64_t c = at;
            bool failed = false;
            for (const auto& cl : clusters) {
                if (cl.status == BlockStatus::nonTried) break;
                if (cl.status == BlockStatus::finished && !failed) skip = 0;
                failed = failed || cl.status == BlockStatus::nonTrimmed;
                c = cl.end();
            }
            if (c > at) {
                buf.narrow(0, static_cast<std::size_t>(c - at));
                commit(buf, at);
                for (const auto& cl : clusters) {
                    if (cl.offset >= c) break;
                    state.map.set(cl.offset, cl.length, cl.status);
                    if (cl.status == BlockStatus::finished) goodThisRun += cl.length;
                }
            }
            state.phasePos = c;
            if (error) std::rethrow_exception(error);
            if (failed && state.sweep == 1) {
                skip = std::min(kMaxSkip, skip == 0 ? kCluster : skip * 2);
                state.phasePos = std::min(size, c + skip);
            }
            maybeCheckpoint();
            report();
        }
    }

    // Reads the sectors of [from, to) one per read, forwards or backwards
    // from `to`, as many at once as `reads` has room for; with
    // `untilFailure` no read goes out after the first failure. Every sector
    // read is copied or marked unreadable, so none is read again in a later
    // sector pass. Returns where the reading stopped: the end of the stretch
    // read from `from` (forwards) or its start (backwards).
    std::int64_t readSectors(ParallelReads& reads, std::int64_t from, std::int64_t to, bool backward, bool untilFailure) {
        std::int64_t next = backward ? to : from;  // the next sector to issue starts (forwards) or ends (backwards) here
        std::set<std::int64_t> pending;
        bool halt = false;
        std::exception_ptr error;
        auto settledUpTo = [&] { return pending.empty() ? next : *pending.begin(); };
        while (true) {
            while (!halt && (backward ? next > from : next < to) && reads.hasRoom()) {
                if (cancelled()) {
                    halt = true;
                    break;
                }
                const std::int64_t at = backward ? std::max(from, (next - 1) / unit * unit) : next;
                const std::int64_t n = backward ? next - at : std::min(sectorLength(at), to - at);
                reads.submit(at, n);
                pending.insert(at);
                next = backward ? at : at + n;
            }
            if (reads.inFlight() == 0) break;
            auto done = reads.wait();
            pending.erase(done.offset);
            if (done.error) {
                if (!error) error = done.error;
                halt = true;
                continue;
            }
            if (done.data) {
                commit(*done.data, done.offset);
                state.map.set(done.offset, done.length, BlockStatus::finished);
                goodThisRun += done.length;
            } else {
                state.map.set(done.offset, done.length, BlockStatus::badSector);
                if (untilFailure) halt = true;
            }
            if (!backward && !untilFailure) {
                state.phasePos = settledUpTo();
                maybeCheckpoint();
            }
            report();
        }
        if (error) std::rethrow_exception(error);
        return next;
    }

    void trimming() {
        ParallelReads reads(source, kReadsInFlight);
        while (!cancelled()) {
            auto block = state.map.next(BlockStatus::nonTrimmed, 0);
            if (!block) return;
            // From the leading edge up to the first unreadable sector, then
            // from the trailing edge back to the last one.
            std::int64_t s = block->offset, e = block->end();
            s = readSectors(reads, s, e, false, true);
            if (!stopped && s < e) e = readSectors(reads, s, e, true, true);
            if (stopped) return;  // what is left keeps its status and is trimmed on resume
            if (s < e) state.map.set(s, e - s, BlockStatus::nonScraped);
            state.phasePos = e;
            maybeCheckpoint();
            report();
        }
    }

    // Reads every sector of `status` blocks once, from phasePos on.
    void sectorByTheSector(BlockStatus status, int readsAtOnce) {
        ParallelReads reads(source, readsAtOnce);
        while (!cancelled()) {
            auto block = state.map.next(status, state.phasePos);
            if (!block) return;
            readSectors(reads, block->offset, block->end(), false, false);
        }
    }

    void advance(RescuePhase next) {
        state.phase = next;
        state.phasePos = 0;
        checkpoint();
    }

    void go() {
        while (!cancelled() && state.phase != RescuePhase::finished) {
            switch (state.phase) {
                case RescuePhase::copying:
                    copying();
                    if (!stopped) advance(RescuePhase::trimming);
                    break;
                case RescuePhase::trimming:
                    trimming();
                    if (!stopped) advance(RescuePhase::scraping);
                    break;
                case RescuePhase::scraping:
                    sectorByTheSector(BlockStatus::nonScraped, kReadsInFlight);
                    if (!stopped) advance(state.retryBad ? RescuePhase::retrying : RescuePhase::finished);
                    break;
                case RescuePhase::retrying:
                    // One at a time: a sector read again stays unreadable, and a resume
                    // reads again whatever lies after the position.
                    sectorByTheSector(BlockStatus::badSector, 1);
                    if (!stopped) {
                        state.retryBad = false;
                        state.phase = RescuePhase::finished;
                        state.phasePos = 0;
                    }
                    break;
                case RescuePhase::finished: break;
            }
        }
    }
};

RescueState DiskImager::startingState(const ImagerOutput& output, std::int64_t size) {
    if (auto resumed = output.resumeState(); resumed && resumed->map.size() == size) return std::move(*resumed);
    RescueState state;
    const std::int64_t from = std::clamp<std::int64_t>(output.resumeOffset(), 0, size);
    state.map = RescueMap(size);
    state.map.set(0, from, BlockStatus::finished);
    state.written = from;
    state.phasePos = from;
    return state;
}

ImagerProgress DiskImager::run(const CancellationToken& token) {
    const std::int64_t size = source_->size();
    Run r(*this, token, *source_, std::max<std::int64_t>(1, source_->unit()));
    r.state = startingState(output_, size);
    if (options_.retryBad && r.state.phase != RescuePhase::finished) r.state.retryBad = true;
    if (size == 0) r.state.phase = RescuePhase::finished;
    r.resumedFrom = size - r.state.pendingBytes();
    r.lastCheckpointWritten = r.state.written;
    (void)r.throttle.due();  // the first report comes after the first interval
    const CancellationScope scope(*source_, token);
    try {
        r.go();
    } catch (const ReadCancelled&) {
        r.stopped = true;
    }
    output_.finalizeState(r.state);
    r.report(true);
    return r.progress();
}

}  // namespace tamsel
