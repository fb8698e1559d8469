#pragma once
// The one runner of background jobs for the window's models: a blocking
// engine on a pooled thread, its cancellation token, and every change posted
// back to the UI thread as a queued call.

#include <QPointer>

#include <functional>
#include <memory>

#include "engine/common/Cancellation.h"

namespace tamsel::models {

// Scan, imaging, salvage and the drive probe run at user-initiated priority
// (the normal one); recovery and the resume lookup at the default one (also
// normal); thumbnails at background priority (a lower one).
enum class JobPriority { interactive, normal, background };

// What a model keeps of a job it started: enough to stop it and await it.
class JobHandle {
public:
    void cancel() const { token_.cancel(); }
    bool isCancelled() const { return token_.isCancelled(); }
    bool isFinished() const;
    // Blocks until the job has ended (never call it from the job itself).
    void wait() const;
    // Cancels, then waits: the job has saved what it keeps when this returns.
    void stop() const;
    const CancellationToken& token() const { return token_; }

private:
    friend std::shared_ptr<JobHandle> startJob(JobPriority, std::function<void(const CancellationToken&)>);
    CancellationToken token_;
    std::shared_ptr<struct JobLife> life_;
};
using Task = std::shared_ptr<JobHandle>;

// Runs `body` on a pooled thread (cancelled before its turn, it still runs,
// to report its end, and finds its token cancelled). The job does not depend on whoever started it: it runs to its end
// even when its model is gone, unless stopped.
Task startJob(JobPriority priority, std::function<void(const CancellationToken&)> body);

// Runs `fn` later on the UI thread (the application object's thread).
// Callable from any thread; dropped when the application is gone.
void postToUi(std::function<void()> fn);

// Posts `fn(model)` to the UI thread, run only if the model still exists.
template <class Model, class Fn>
void postTo(const QPointer<Model>& model, Fn&& fn) {
    postToUi([model, fn = std::forward<Fn>(fn)]() mutable {
        if (Model* m = model.data()) fn(*m);
    });
}

// Blocks until every job has ended (tests, and the application's exit).
void waitForAllJobs();
// Cancels every running job and waits for them; run when the application ends.
void cancelAndWaitForAllJobs();

}  // namespace tamsel::models
