#pragma once
// The salvage screen's model: copies a folder tree off a failing volume, or
// previews what would be copied; starting again skips what is complete.

#include <QObject>

#include "engine/salvage/SalvageCopier.h"
#include "models/Job.h"
#include "models/JobState.h"
#include "models/Shared.h"

namespace tamsel::models {

class SalvageModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(tamsel::models::OptionalPath srcFolder READ srcFolder WRITE setSrcFolder NOTIFY srcFolderChanged)
    Q_PROPERTY(tamsel::models::OptionalPath dstFolder READ dstFolder WRITE setDstFolder NOTIFY dstFolderChanged)
    Q_PROPERTY(bool mediaOnly READ mediaOnly WRITE setMediaOnly NOTIFY mediaOnlyChanged)
    Q_PROPERTY(tamsel::models::JobState state READ state NOTIFY stateChanged)
    Q_PROPERTY(tamsel::SalvageProgress progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(tamsel::models::Task task READ task NOTIFY taskChanged)
    Q_PROPERTY(bool lastRunWasDryRun READ lastRunWasDryRun NOTIFY lastRunWasDryRunChanged)
    // Why the copy cannot start with these folders (empty when it can).
    Q_PROPERTY(QString startBlocker READ startBlocker NOTIFY startBlockerChanged)

public:
    explicit SalvageModel(QObject* parent = nullptr);

    const OptionalPath& srcFolder() const { return srcFolder_; }
    void setSrcFolder(const OptionalPath& v);
    const OptionalPath& dstFolder() const { return dstFolder_; }
    void setDstFolder(const OptionalPath& v);
    bool mediaOnly() const { return mediaOnly_; }
    void setMediaOnly(bool v);
    const JobState& state() const { return state_; }
    const SalvageProgress& progress() const { return progress_; }
    const Task& task() const { return task_; }
    bool lastRunWasDryRun() const { return lastRunWasDryRun_; }
    QString startBlocker() const;

    Q_INVOKABLE void start(bool dryRun = false);
    Q_INVOKABLE void preview() { start(true); }
    Q_INVOKABLE void cancel();

signals:
    void srcFolderChanged();
    void dstFolderChanged();
    void mediaOnlyChanged();
    void stateChanged();
    void progressChanged();
    void taskChanged();
    void lastRunWasDryRunChanged();
    void startBlockerChanged();

private:
    void setState(const JobState& v);
    void setProgress(const SalvageProgress& v);
    void setLastRunWasDryRun(bool v);

    OptionalPath srcFolder_;
    OptionalPath dstFolder_;
    bool mediaOnly_ = true;
    JobState state_;
    SalvageProgress progress_;
    Task task_;
    bool lastRunWasDryRun_ = false;
};

}  // namespace tamsel::models
