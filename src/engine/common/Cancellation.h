#pragma once
// Cooperative cancellation: the job owner cancels, the engine polls between
// units of work and returns normally with what it did.

#include <atomic>
#include <memory>

namespace tamsel {

class CancellationToken {
public:
    CancellationToken() : flag_(std::make_shared<std::atomic<bool>>(false)) {}
    void cancel() const { flag_->store(true, std::memory_order_relaxed); }
    bool isCancelled() const { return flag_->load(std::memory_order_relaxed); }

    // A token that is never cancelled, for callers without a job.
    static const CancellationToken& none() {
        static const CancellationToken token;
        return token;
    }

private:
    std::shared_ptr<std::atomic<bool>> flag_;
};

}  // namespace tamsel
