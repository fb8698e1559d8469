#include "models/SalvageModel.h"

#include "models/Shared.h"
#include "workflow/Flows.h"
#include "workflow/SourceChecks.h"
#include "workflow/Summaries.h"

namespace tamsel::models {

SalvageModel::SalvageModel(QObject* parent) : QObject(parent) {}

void SalvageModel::setSrcFolder(const OptionalPath& v) {
    if (srcFolder_ == v) return;
    srcFolder_ = v;
    emit srcFolderChanged();
    emit startBlockerChanged();
}
void SalvageModel::setDstFolder(const OptionalPath& v) {
    if (dstFolder_ == v) return;
    dstFolder_ = v;
    emit dstFolderChanged();
    emit startBlockerChanged();
}
void SalvageModel::setMediaOnly(bool v) {
    if (mediaOnly_ == v) return;
    mediaOnly_ = v;
    emit mediaOnlyChanged();
}
void SalvageModel::setState(const JobState& v) {
    if (state_ == v) return;
    state_ = v;
    emit stateChanged();
}
void SalvageModel::setProgress(const SalvageProgress& v) {
    if (progress_ == v) return;
    progress_ = v;
    emit progressChanged();
}
void SalvageModel::setLastRunWasDryRun(bool v) {
    if (lastRunWasDryRun_ == v) return;
    lastRunWasDryRun_ = v;
    emit lastRunWasDryRunChanged();
}

QString SalvageModel::startBlocker() const {
    if (!srcFolder_ || !dstFolder_) return {};
    return QString::fromStdString(sameDiskRefusal(srcFolder_->string(), *dstFolder_));
}

void SalvageModel::start(bool dryRun) {
    if (!srcFolder_ || !dstFolder_) return;
    if (const QString blocker = startBlocker(); !blocker.isEmpty()) {
        setState(JobState::failed(blocker));
        return;
    }
    setState(JobState::running());
    setProgress({});
    setLastRunWasDryRun(dryRun);
    const SalvageOptions options = salvageOptions(mediaOnly_, false, dryRun);
    QPointer<SalvageModel> self(this);
    task_ = startJob(JobPriority::interactive,
                     [self, src = *srcFolder_, dst = *dstFolder_, options, dryRun](const CancellationToken& token) {
                         try {
                             const SalvageProgress last = runSalvage(src, dst, options, token, [self](const SalvageProgress& p) {
                                 postTo(self, [p](SalvageModel& m) { m.setProgress(p); });
                             });
                             const QString summary = qs(salvageSummary(last, dryRun, token.isCancelled()));
                             postTo(self, [last, summary](SalvageModel& m) {
                                 m.setProgress(last);
                                 m.setState(JobState::ended(summary, last.filesDamaged + last.filesFailed >= 1));
                             });
                         } catch (const std::exception& e) {
                             postTo(self, [message = describeError(e, true)](SalvageModel& m) {
                                 m.setState(JobState::failed(message));
                             });
                         }
                     });
    emit taskChanged();
}

void SalvageModel::cancel() {
    if (task_) task_->cancel();
}

}  // namespace tamsel::models
