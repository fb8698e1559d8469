#include "models/Job.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QCoreApplication>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace tamsel::models {

struct JobLife {
    std::atomic<bool> finished{false};
};

namespace {

struct Registry {
    std::mutex lock;
    std::condition_variable ended;
    std::set<JobHandle*> running;
};

Registry& registry() {
    static Registry* r = new Registry;  // outlives static destruction: detached jobs may still end
    return *r;
}

void lowerPriority() {
    // Niceness is per thread on Linux.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 10);
}

std::once_flag exitHook;

}  // namespace

bool JobHandle::isFinished() const { return life_ && life_->finished.load(); }

Task startJob(JobPriority priority, std::function<void(const CancellationToken&)> body) {
    std::call_once(exitHook, [] { qAddPostRoutine(cancelAndWaitForAllJobs); });
    auto handle = std::make_shared<JobHandle>();
    handle->life_ = std::make_shared<JobLife>();
    {
        std::lock_guard g(registry().lock);
        registry().running.insert(handle.get());
    }
    std::thread([handle, priority, body = std::move(body)]() mutable {
        if (priority == JobPriority::background) lowerPriority();
        try {
            body(handle->token());
        } catch (...) {
            // Jobs report their own failures; nothing may escape a thread.
        }
        body = nullptr;  // captured state goes before the job counts as ended
        handle->life_->finished.store(true);
        std::lock_guard g(registry().lock);
        registry().running.erase(handle.get());
        registry().ended.notify_all();
    }).detach();
    return handle;
}

void postToUi(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

void waitForAllJobs() {
    std::unique_lock g(registry().lock);
    registry().ended.wait(g, [] { return registry().running.empty(); });
}

void cancelAndWaitForAllJobs() {
    {
        std::lock_guard g(registry().lock);
        for (auto* job : registry().running) job->cancel();
    }
    waitForAllJobs();
}

}  // namespace tamsel::models
