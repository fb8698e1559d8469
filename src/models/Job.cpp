#include "models/Job.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QRunnable>
#include <QThreadPool>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>

namespace tamsel::models {

struct JobLife {
    std::mutex lock;
    std::condition_variable ended;
    bool finished = false;
};

namespace {

struct Registry {
    std::mutex lock;
    std::condition_variable ended;
    std::set<JobHandle*> running;
};

Registry& registry() {
    static Registry* r = new Registry;  // outlives static destruction: a job may end after exit's destructors
    return *r;
}

// Two small pools: user-started jobs never queue behind thumbnails, and a
// background thread stays niced (a thread cannot raise its own priority back).
// A scan, a recovery, a probe and the disk-list polls of two screens run at
// once at most; more waits its turn rather than starving the machine.
constexpr int kForegroundThreads = 8;
constexpr int kBackgroundThreads = 2;

QThreadPool& pool(JobPriority priority) {
    static QThreadPool* foreground = [] {
        auto* p = new QThreadPool;  // never destroyed, as the registry
        p->setMaxThreadCount(kForegroundThreads);
        return p;
    }();
    static QThreadPool* background = [] {
        auto* p = new QThreadPool;
        p->setMaxThreadCount(kBackgroundThreads);
        return p;
    }();
    return priority == JobPriority::background ? *background : *foreground;
}

void lowerPriority() {
    // Niceness is per thread on Linux; a pooled thread keeps it, which is what
    // the background pool wants.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 10);
}

std::once_flag exitHook;

}  // namespace

bool JobHandle::isFinished() const {
    if (!life_) return false;
    std::lock_guard g(life_->lock);
    return life_->finished;
}

void JobHandle::wait() const {
    if (!life_) return;
    std::unique_lock g(life_->lock);
    life_->ended.wait(g, [&] { return life_->finished; });
}

void JobHandle::stop() const {
    cancel();
    wait();
}

Task startJob(JobPriority priority, std::function<void(const CancellationToken&)> body) {
    std::call_once(exitHook, [] { qAddPostRoutine(cancelAndWaitForAllJobs); });
    auto handle = std::make_shared<JobHandle>();
    handle->life_ = std::make_shared<JobLife>();
    {
        std::lock_guard g(registry().lock);
        registry().running.insert(handle.get());
    }
    // Interactive jobs jump the foreground queue when it is full.
    const int queueOrder = priority == JobPriority::interactive ? 1 : 0;
    pool(priority).start(
        [handle, priority, body = std::move(body)]() mutable {
            if (priority == JobPriority::background) lowerPriority();
            try {
                body(handle->token());
            } catch (...) {
                // Jobs report their own failures; nothing may escape a pooled thread.
            }
            body = nullptr;  // captured state goes before the job counts as ended
            {
                std::lock_guard g(handle->life_->lock);
                handle->life_->finished = true;
            }
            handle->life_->ended.notify_all();
            std::lock_guard g(registry().lock);
            registry().running.erase(handle.get());
            registry().ended.notify_all();
        },
        queueOrder);
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
