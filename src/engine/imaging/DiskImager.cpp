#include "engine/imaging/DiskImager.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "engine/common/Throttle.h"

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

    // One sector, read once: copied or marked unreadable.
    bool readSector(std::int64_t at) {
        const std::int64_t n = sectorLength(at);
        auto data = source.readOnce(at, n);
        if (data && static_cast<std::int64_t>(data->size()) == n) {
            commit(*data, at);
            state.map.set(at, n, BlockStatus::finished);
            goodThisRun += n;
            return true;
        }
        state.map.set(at, n, BlockStatus::badSector);
        return false;
    }

    void copying() {
        std::int64_t skip = 0;
        while (!cancelled()) {
            auto block = state.map.next(BlockStatus::nonTried, state.phasePos);
            if (!block) {
                if (state.sweep == 1 && state.map.next(BlockStatus::nonTried, 0)) {
                    // What was skipped is read now, without skipping.
                    state.sweep = 2;
                    state.phasePos = 0;
                    continue;
                }
                return;
            }
            // One step: up to the next chunk boundary, read cluster by cluster
            // and written at once.
            const std::int64_t at = block->offset;
            const std::int64_t stepEnd = std::min(block->end(), (at / kChunk + 1) * kChunk);
            Bytes buf = Bytes::zeros(static_cast<std::size_t>(stepEnd - at));
            std::vector<RescueBlock> marks;
            std::int64_t c = at;
            bool failed = false;
            while (c < stepEnd) {
                if (c > at && cancelled()) break;
                const std::int64_t n = std::min(stepEnd, (c / kCluster + 1) * kCluster) - c;
                auto data = source.readOnce(c, n);
                if (data && static_cast<std::int64_t>(data->size()) == n) {
                    std::memcpy(buf.data() + (c - at), data->data(), static_cast<std::size_t>(n));
                    marks.push_back({c, n, BlockStatus::finished});
                    skip = 0;
                } else {
                    marks.push_back({c, n, BlockStatus::nonTrimmed});
                    failed = true;
                }
                c += n;
                if (failed && state.sweep == 1) break;
            }
            if (c > at) {
                buf.narrow(0, static_cast<std::size_t>(c - at));
                commit(buf, at);
                for (const auto& m : marks) {
                    state.map.set(m.offset, m.length, m.status);
                    if (m.status == BlockStatus::finished) goodThisRun += m.length;
                }
            }
            state.phasePos = c;
            if (failed && state.sweep == 1) {
                skip = std::min(kMaxSkip, skip == 0 ? kCluster : skip * 2);
                state.phasePos = std::min(size, c + skip);
            }
            maybeCheckpoint();
            report();
        }
    }

    void trimming() {
        while (!cancelled()) {
            auto block = state.map.next(BlockStatus::nonTrimmed, 0);
            if (!block) return;
            std::int64_t s = block->offset, e = block->end();
            // From the leading edge up to the first unreadable sector ...
            while (s < e && !cancelled()) {
                const std::int64_t n = sectorLength(s);
                const bool ok = readSector(s);
                s += n;
                if (!ok) break;
                report();
            }
            // ... then from the trailing edge back to the last one.
            while (e > s && !cancelled()) {
                const std::int64_t from = std::max(s, (e - 1) / unit * unit);
                const bool ok = readSector(from);
                e = from;
                if (!ok) break;
                report();
            }
            if (stopped) return;  // what is left keeps its status and is trimmed on resume
            if (s < e) state.map.set(s, e - s, BlockStatus::nonScraped);
            state.phasePos = e;
            maybeCheckpoint();
            report();
        }
    }

    // Reads every sector of `status` blocks once, from phasePos on.
    void sectorByTheSector(BlockStatus status) {
        while (!cancelled()) {
            auto block = state.map.next(status, state.phasePos);
            if (!block) return;
            for (std::int64_t at = block->offset; at < block->end() && !cancelled();) {
                const std::int64_t n = sectorLength(at);
                readSector(at);
                at += n;
                state.phasePos = at;
                maybeCheckpoint();
                report();
            }
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
                    sectorByTheSector(BlockStatus::nonScraped);
                    if (!stopped) advance(state.retryBad ? RescuePhase::retrying : RescuePhase::finished);
                    break;
                case RescuePhase::retrying:
                    sectorByTheSector(BlockStatus::badSector);
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

ImagerProgress DiskImager::run(const CancellationToken& token) {
    const std::int64_t size = source_->size();
    Run r(*this, token, *source_, std::max<std::int64_t>(1, source_->unit()));
    if (auto resumed = output_.resumeState(); resumed && resumed->map.size() == size) {
        r.state = std::move(*resumed);
    } else {
        const std::int64_t from = std::clamp<std::int64_t>(output_.resumeOffset(), 0, size);
        r.state.map = RescueMap(size);
        r.state.map.set(0, from, BlockStatus::finished);
        r.state.written = from;
        r.state.phasePos = from;
    }
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
