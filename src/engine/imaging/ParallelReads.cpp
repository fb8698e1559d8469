#include "engine/imaging/ParallelReads.h"

#include <algorithm>

namespace tamsel {

ParallelReads::ParallelReads(RandomAccessSource& source, int threads) : source_(source), most_(std::max(1, threads)) {
    for (int i = 0; i < most_; ++i) threads_.emplace_back([this] { work(); });
}

ParallelReads::~ParallelReads() {
    {
        std::lock_guard g(lock_);
        closing_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
}

void ParallelReads::submit(std::int64_t offset, std::int64_t length) {
    {
        std::lock_guard g(lock_);
        queue_.push_back({offset, length, std::nullopt, nullptr});
    }
    ++inFlight_;
    wake_.notify_one();
}

ParallelReads::Done ParallelReads::wait() {
    std::unique_lock g(lock_);
    finished_.wait(g, [&] { return !done_.empty(); });
    Done d = std::move(done_.front());
    done_.pop_front();
    --inFlight_;
    if (d.data)
        allowed_ = std::min(most_, allowed_ + 1);
    else if (!d.error)
        allowed_ = 1;
    return d;
}

void ParallelReads::work() {
    while (true) {
        Done job;
        {
            std::unique_lock g(lock_);
            wake_.wait(g, [&] { return closing_ || !queue_.empty(); });
            if (closing_) return;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        try {
            auto data = source_.readOnce(job.offset, job.length);
            if (data && static_cast<std::int64_t>(data->size()) == job.length) job.data = std::move(data);
        } catch (...) {
            job.error = std::current_exception();
        }
        {
            std::lock_guard g(lock_);
            done_.push_back(std::move(job));
        }
        finished_.notify_one();
    }
}

}  // namespace tamsel
