#include "media/ThumbnailPool.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "engine/carve/FoundList.h"
#include "media/ThumbnailFiles.h"
#include "media/WorkerJob.h"
#include "platform/linux/Program.h"

namespace tamsel::media {

namespace {

enum class Outcome { made, none, failed, notSaved, unread, noWorker, cancelled };

// The lowest CPU share and disk priority for this thread; the workers it
// starts inherit them.
void lowerThisThreadsPriority() {
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    ::setpriority(PRIO_PROCESS, tid, 19);
    constexpr int kWhoProcess = 1, kClassBestEffort = 2, kClassShift = 13;
    ::syscall(SYS_ioprio_set, kWhoProcess, static_cast<int>(tid), (kClassBestEffort << kClassShift) | 7);
}

// CPU time a process has used, user and system.
std::chrono::milliseconds cpuTimeOf(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) return {};
    // Fields from the state on: state(3) ... utime(14) stime(15).
    std::istringstream fields(line.substr(close + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) fields >> skip;
    long long user = 0, system = 0;
    fields >> user >> system;
    static const long ticks = ::sysconf(_SC_CLK_TCK);
    return std::chrono::milliseconds((user + system) * 1000 / std::max(1L, ticks));
}

bool existsAt(int dir, const std::string& name) {
    struct stat st {};
    return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace

class ThumbnailPool::Slot {
public:
    explicit Slot(ThumbnailPool& pool) : pool_(pool), thread_([this] { run(); }) {}
    ~Slot() {
        if (thread_.joinable()) thread_.join();
    }

private:
    void run() {
        lowerThisThreadsPriority();
        while (auto job = pool_.next()) {
            damage_.reset();
            const Outcome outcome = make(*job);
            pool_.finished(*job, outcome == Outcome::made, static_cast<int>(outcome), damage_);
        }
        platform::stopProgram(worker_);
    }

    bool startWorker() {
        if (worker_.pid > 0) return true;
        const auto& options = pool_.options_;
        auto started = platform::startProgram(options.program, {},
                                              options.environment.empty() ? platform::cleanEnvironment() : options.environment);
        if (!started) return false;
        worker_ = *started;
        return true;
    }

    Bytes bytesFor(const Job& job, std::int64_t offset, std::int64_t count) {
        if (job.held && offset + count <= static_cast<std::int64_t>(job.held->size()))
            return job.held->slice(static_cast<std::size_t>(offset), static_cast<std::size_t>(count));
        return preadFound(*pool_.reader_, job.file, offset, count);
    }

    Outcome make(const Job& job) {
        const ThumbnailLimits& limits = pool_.options_.limits;
        if (!startWorker()) return Outcome::noWorker;
        const auto cpuStart = cpuTimeOf(worker_.pid);
        const auto wallStart = std::chrono::steady_clock::now();
        bool stopped = false;
        const auto keepWaiting = [&] {
            if (pool_.stopped()) return !(stopped = true);
            return cpuTimeOf(worker_.pid) - cpuStart < pool_.options_.cpuLimit &&
                   std::chrono::steady_clock::now() - wallStart < pool_.options_.wallLimit;
        };
        // A worker asks for no more than the limits let it decode.
        const std::int64_t budget = std::max(limits.photoBytes, limits.videoBytes) + (1 << 20);
        protocol::Result result;
        const auto bytes = [&](std::int64_t offset, std::int64_t count) { return bytesFor(job, offset, count); };
        switch (runWorkerJob(worker_, protocol::Job{job.file.ext, job.file.length, limits}, budget, bytes, keepWaiting, result)) {
            case WorkerAnswer::answered: return save(job, result);
            case WorkerAnswer::cancelled: return Outcome::cancelled;
            case WorkerAnswer::unread: return Outcome::unread;
            case WorkerAnswer::failed: break;
        }
        return stopped ? Outcome::cancelled : Outcome::failed;
    }

    Outcome save(const Job& job, const protocol::Result& result) {
        const int dir = pool_.thumbs_.get();
        // The verdict and the date before the picture: a file with a
        // thumbnail is not looked at again, so they must already be kept.
        ContentCheck check{job.file.index, result.damage, std::nullopt, DateSource::none};
        if (result.taken) {
            check.taken = toEpoch(result.taken->when, result.taken->offsetMinutes);
            check.takenFrom = result.taken->from;
        }
        if (check.note || check.taken) {
            try {
                pool_.session_.appendCheck(check);
            } catch (const std::exception&) {
                return Outcome::notSaved;
            }
            damage_ = result.damage;
        }
        if (!result.jpeg) {
            (void)tryWriteAtomicallyAt(dir, ThumbnailFiles::markerName(job.file.index), "");
            return Outcome::none;
        }
        const std::string_view bytes(reinterpret_cast<const char*>(result.jpeg->data()), result.jpeg->size());
        return tryWriteAtomicallyAt(dir, ThumbnailFiles::jpegName(job.file.index), bytes) ? Outcome::made : Outcome::notSaved;
    }

    ThumbnailPool& pool_;
    std::optional<std::string> damage_;  // the current file's verdict
    platform::RunningProgram worker_;
    std::thread thread_;
};

ThumbnailPool::ThumbnailPool(std::shared_ptr<RandomAccessSource> reader, const Session& session, Options options,
                             Done onDone, CancellationToken token)
    : reader_(std::move(reader)), session_(session), options_(std::move(options)), onDone_(std::move(onDone)),
      token_(std::move(token)) {
    thumbs_ = session_.thumbsFolder(true);
    if (options_.program.empty()) options_.program = workerProgram();
    int workers = options_.workers > 0 ? options_.workers : static_cast<int>(std::thread::hardware_concurrency());
    workers = std::clamp(workers, 1, 16);
    for (int i = 0; i < workers; ++i) slots_.push_back(std::make_unique<Slot>(*this));
}

ThumbnailPool::~ThumbnailPool() {
    {
        std::lock_guard guard(lock_);
        finishing_ = sourceFree_ = true;
        ready_.clear();
        deferred_.clear();
    }
    stopping_ = true;
    changed_.notify_all();
    slots_.clear();
}

bool ThumbnailPool::wantsBytes(std::int64_t length) {
    if (length > options_.limits.photoBytes || length > options_.heldBudget) return false;
    std::unique_lock guard(lock_);
    while (held_.load() + length > options_.heldBudget) {
        if (stopped() || finishing_) return false;
        changed_.wait_for(guard, std::chrono::milliseconds(100));
    }
    return true;
}

void ThumbnailPool::push(const CarvedFile& file, std::shared_ptr<const Bytes> held) {
    if (held && static_cast<std::int64_t>(held->size()) < file.length) held = nullptr;
    {
        std::lock_guard guard(lock_);
        if (held) held_ += static_cast<std::int64_t>(held->size());
        (held ? ready_ : deferred_).push_back(Job{file, std::move(held)});
        ++pushed_;
    }
    changed_.notify_one();
}

void ThumbnailPool::sourceFree() {
    {
        std::lock_guard guard(lock_);
        sourceFree_ = true;
    }
    changed_.notify_all();
}

void ThumbnailPool::finishAndWait() {
    {
        std::lock_guard guard(lock_);
        finishing_ = sourceFree_ = true;
    }
    changed_.notify_all();
    slots_.clear();
}

std::optional<ThumbnailPool::Job> ThumbnailPool::next() {
    std::unique_lock guard(lock_);
    for (;;) {
        if (stopped()) return std::nullopt;
        std::deque<Job>* from = !ready_.empty() ? &ready_ : sourceFree_ && !deferred_.empty() ? &deferred_ : nullptr;
        if (from) {
            Job job = std::move(from->front());
            from->pop_front();
            // Made by an earlier run (or a file listed twice): nothing to do.
            const bool made = existsAt(thumbs_.get(), ThumbnailFiles::jpegName(job.file.index));
            if (made || existsAt(thumbs_.get(), ThumbnailFiles::markerName(job.file.index))) {
                if (job.held) {
                    held_ -= static_cast<std::int64_t>(job.held->size());
                    changed_.notify_all();
                }
                ++(made ? counts_.made : counts_.none);
                continue;
            }
            return job;
        }
        if (finishing_) return std::nullopt;
        changed_.wait_for(guard, std::chrono::milliseconds(100));
    }
}

void ThumbnailPool::finished(const Job& job, bool made, int outcome, const std::optional<std::string>& damage) {
    if (job.held) {
        held_ -= static_cast<std::int64_t>(job.held->size());
        changed_.notify_all();
    }
    {
        std::lock_guard guard(lock_);
        switch (static_cast<Outcome>(outcome)) {
            case Outcome::made: ++counts_.made; break;
            case Outcome::none: ++counts_.none; break;
            case Outcome::failed:
                ++counts_.failed;
                // It would fail again on every run: no picture is shown for it.
                (void)tryWriteAtomicallyAt(thumbs_.get(), ThumbnailFiles::markerName(job.file.index), "");
                break;
            case Outcome::notSaved: ++counts_.notSaved; break;
            case Outcome::unread: ++counts_.unread; break;
            case Outcome::noWorker: ++counts_.noWorker; break;
            case Outcome::cancelled: return;
        }
    }
    if (onDone_) onDone_(job.file, made, damage);
}

bool ThumbnailPool::madeBefore(std::int64_t index) const {
    return existsAt(thumbs_.get(), ThumbnailFiles::jpegName(index)) || existsAt(thumbs_.get(), ThumbnailFiles::markerName(index));
}

ThumbnailCounts ThumbnailPool::counts() const {
    std::lock_guard guard(lock_);
    return counts_;
}

std::string ThumbnailPool::workerProgram() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string exe = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
    // Programs of the build tree use the worker built beside them.
    if (exe.rfind(TAMSEL_BUILD_DIR "/", 0) == 0) return TAMSEL_THUMBNAILER_BUILD_PATH;
    return TAMSEL_THUMBNAILER_PATH;
}

}  // namespace tamsel::media
