#include "models/StartModel.h"

#include "models/Shared.h"
#include "workflow/Flows.h"

namespace tamsel::models {

StartModel::StartModel(QObject* parent) : QObject(parent) {}

void StartModel::setStep(Step v) {
    if (step_ == v) return;
    step_ = v;
    emit stepChanged();
}
void StartModel::setSource(const OptionalSource& v) {
    if (source_ == v) return;
    source_ = v;
    emit sourceChanged();
}
void StartModel::setProbeProgress(double v) {
    if (probeProgress_ == v) return;
    probeProgress_ = v;
    emit probeProgressChanged();
}
void StartModel::setHealth(const OptionalHealth& v) {
    if (health_ == v) return;
    const bool before = shouldPreserveFirst();
    health_ = v;
    emit healthChanged();
    if (before != shouldPreserveFirst()) emit shouldPreserveFirstChanged();
}
void StartModel::setErrorMessage(const OptionalString& v) {
    if (errorMessage_ == v) return;
    errorMessage_ = v;
    emit errorMessageChanged();
}
void StartModel::setReportsNoise(bool v) {
    if (reportsNoise_ == v) return;
    const bool before = shouldPreserveFirst();
    reportsNoise_ = v;
    emit reportsNoiseChanged();
    if (before != shouldPreserveFirst()) emit shouldPreserveFirstChanged();
}
void StartModel::setReportsErrors(bool v) {
    if (reportsErrors_ == v) return;
    const bool before = shouldPreserveFirst();
    reportsErrors_ = v;
    emit reportsErrorsChanged();
    if (before != shouldPreserveFirst()) emit shouldPreserveFirstChanged();
}

bool StartModel::shouldPreserveFirst() const {
    return reportsNoise_ || reportsErrors_ || (health_ && health_->shouldPreserveFirst());
}

void StartModel::probe() {
    if (!source_ || step_ == Step::probing) return;
    ++probeRuns_;
    emit probeRunsChanged();
    setStep(Step::probing);
    setProbeProgress(0);
    setErrorMessage(std::nullopt);
    setHealth(std::nullopt);
    if (task_) task_->cancel();
    QPointer<StartModel> self(this);
    task_ = startJob(JobPriority::interactive, [self, path = source_->path()](const CancellationToken& token) {
        try {
            const DriveCheckOutcome outcome = runDriveCheck(path, token, nullptr, [self](double f) {
                postTo(self, [f](StartModel& m) { m.setProbeProgress(f); });
            });
            // A stopped probe saw only part of the drive: its verdict would mislead.
            if (token.isCancelled()) return;
            postTo(self, [health = outcome.health, token](StartModel& m) {
                if (token.isCancelled()) return;
                m.setHealth(health);
                m.setStep(Step::result);
            });
        } catch (const std::exception& e) {
            postTo(self, [message = describeError(e, false)](StartModel& m) {
                m.setErrorMessage(message);
                m.setStep(Step::ask);
            });
        }
    });
    emit taskChanged();
}

void StartModel::cancel() {
    if (task_) task_->cancel();
    setStep(Step::ask);
}

}  // namespace tamsel::models
