#include "media/WorkerJob.h"

#include <algorithm>
#include <chrono>

#include "media/ThumbnailPool.h"

namespace tamsel::media {

WorkerAnswer runWorkerJob(platform::RunningProgram& worker, const protocol::Job& job, std::int64_t budget,
                          const std::function<Bytes(std::int64_t offset, std::int64_t count)>& bytes,
                          const std::function<bool()>& keepWaiting, protocol::Result& result) {
    if (!protocol::send(worker.socket, protocol::Type::job, protocol::encode(job))) {
        platform::stopProgram(worker);
        return WorkerAnswer::failed;
    }
    WorkerAnswer ended = WorkerAnswer::failed;
    for (;;) {
        auto message = protocol::receive(worker.socket, keepWaiting);
        std::optional<protocol::ReadRequest> read;
        if (message && message->type == protocol::Type::read) read = protocol::decodeRead(message->payload);
        if (read) {
            Bytes got;
            if (read->offset < job.length && budget > 0) {
                try {
                    got = bytes(read->offset, std::min<std::int64_t>(read->count, job.length - read->offset));
                } catch (const ReadCancelled&) {
                    ended = WorkerAnswer::cancelled;
                    break;
                } catch (const std::exception&) {
                    // The card went away: no verdict on the file.
                    ended = WorkerAnswer::unread;
                    break;
                }
            }
            budget -= static_cast<std::int64_t>(got.size());
            if (protocol::send(worker.socket, protocol::Type::data, got.span())) continue;
        } else if (message && message->type == protocol::Type::result) {
            if (auto answer = protocol::decodeResult(message->payload)) {
                result = std::move(*answer);
                return WorkerAnswer::answered;
            }
        }
        break;
    }
    // Gone, too slow, or saying what it should not: a new one for the next file.
    platform::stopProgram(worker);
    return ended;
}

PreviewMaker::PreviewMaker(std::shared_ptr<RandomAccessSource> source, std::string program)
    : source_(std::move(source)), program_(program.empty() ? ThumbnailPool::workerProgram() : std::move(program)) {}

PreviewMaker::~PreviewMaker() { platform::stopProgram(worker_); }

std::optional<protocol::Result> PreviewMaker::make(const CarvedFile& file, int side, const CancellationToken& token) {
    std::lock_guard guard(lock_);
    if (worker_.pid <= 0) {
        auto started = platform::startProgram(program_);
        if (!started) return std::nullopt;
        worker_ = *started;
    }
    protocol::Job job{file.ext, file.length, {}};
    job.limits.side = std::clamp(side, 16, ThumbnailLimits::kMaxPreviewSide);
    // A preview is waited for: the thumbnail's CPU limit, a shorter wall.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const auto keepWaiting = [&] { return !token.isCancelled() && std::chrono::steady_clock::now() < until; };
    protocol::Result result;
    const auto read = [&](std::int64_t offset, std::int64_t count) {
        if (token.isCancelled()) throw ReadCancelled();
        return preadFound(*source_, file, offset, count);
    };
    const std::int64_t budget = std::max(job.limits.photoBytes, job.limits.videoBytes) + (1 << 20);
    if (runWorkerJob(worker_, job, budget, read, keepWaiting, result) != WorkerAnswer::answered) return std::nullopt;
    return result;
}

}  // namespace tamsel::media
