#include "models/ImagerModel.h"

#include "models/Shared.h"
#include "workflow/Flows.h"
#include "workflow/SourceChecks.h"
#include "workflow/Summaries.h"

namespace tamsel::models {

ImagerModel::ImagerModel(QObject* parent) : QObject(parent) {}

void ImagerModel::setSource(const OptionalSource& v) {
    if (source_ == v) return;
    source_ = v;
    emit sourceChanged();
    emit startBlockerChanged();
}
void ImagerModel::setOutputRoot(const OptionalPath& v) {
    if (outputRoot_ == v) return;
    outputRoot_ = v;
    emit outputRootChanged();
    emit startBlockerChanged();
}
void ImagerModel::setState(const JobState& v) {
    if (state_ == v) return;
    state_ = v;
    emit stateChanged();
}
void ImagerModel::setProgress(const ImagerProgress& v) {
    if (progress_ == v) return;
    progress_ = v;
    emit progressChanged();
}
void ImagerModel::setImagePath(const OptionalPath& v) {
    if (imagePath_ == v) return;
    imagePath_ = v;
    emit imagePathChanged();
}
void ImagerModel::setNotes(const QStringList& v) {
    if (notes_ == v) return;
    notes_ = v;
    emit notesChanged();
}

QString ImagerModel::startBlocker() const {
    if (!source_ || !outputRoot_) return {};
    return QString::fromStdString(sameDiskRefusal(source_->path(), *outputRoot_));
}

void ImagerModel::start() {
    if (!source_ || !outputRoot_) return;
    if (const QString blocker = startBlocker(); !blocker.isEmpty()) {
        setState(JobState::failed(blocker));
        return;
    }
    setState(JobState::running());
    setProgress({});
    setNotes({});
    const std::string path = source_->path();
    // The usual name; the job tells the one it really uses (another
    // source's image may hold this one).
    setImagePath(*outputRoot_ / (imageBaseName(path) + ".img"));
    QPointer<ImagerModel> self(this);
    task_ = startJob(JobPriority::interactive, [self, path, root = *outputRoot_](const CancellationToken& token) {
        ImagingEvents events;
        events.note = [self](const std::string& text) {
            postTo(self, [text](ImagerModel& m) { m.setNotes(m.notes_ + QStringList{qs(text)}); });
        };
        // Shown by the progress's resumedFrom while the run lasts, not as a note that outlives it.
        events.resumed = [](std::int64_t) {};
        events.image = [self](const std::filesystem::path& image) {
            postTo(self, [image](ImagerModel& m) { m.setImagePath(image); });
        };
        events.progress = [self](const ImagerProgress& p) {
            postTo(self, [p](ImagerModel& m) { m.setProgress(p); });
        };
        try {
            const ImagingOutcome outcome = runImaging(path, root, 2, token, events);
            const QString summary =
                qs(outcome.alreadyComplete ? imageCompleteNote(outcome.imagePath) : imagingSummary(outcome.last));
            postTo(self, [summary, last = outcome.last](ImagerModel& m) {
                m.setProgress(last);
                m.setState(JobState::ended(summary, last.badBytes >= 1));
            });
        } catch (const std::exception& e) {
            postTo(self, [message = describeError(e, true)](ImagerModel& m) { m.setState(JobState::failed(message)); });
        }
    });
    emit taskChanged();
}

void ImagerModel::cancel() {
    if (task_) task_->cancel();
}

}  // namespace tamsel::models
