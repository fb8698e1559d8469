#pragma once
// The imaging screen's model: copies a drive (or image) into a raw image in
// a folder on another disk; starting again continues the same image.

#include <QObject>

#include "disks/DiskDevice.h"
#include "engine/imaging/DiskImager.h"
#include "models/Job.h"
#include "models/JobState.h"
#include "models/Shared.h"

namespace tamsel::models {

class ImagerModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(tamsel::models::OptionalSource source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(tamsel::models::OptionalPath outputRoot READ outputRoot WRITE setOutputRoot NOTIFY outputRootChanged)
    Q_PROPERTY(tamsel::models::JobState state READ state NOTIFY stateChanged)
    Q_PROPERTY(tamsel::ImagerProgress progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(tamsel::models::OptionalPath imagePath READ imagePath NOTIFY imagePathChanged)
    Q_PROPERTY(tamsel::models::Task task READ task NOTIFY taskChanged)
    // Why the copy cannot start with this source and folder (empty when it can).
    Q_PROPERTY(QString startBlocker READ startBlocker NOTIFY startBlockerChanged)
    // Notes of the last start ("吸い出し済み", another source's image, ...).
    Q_PROPERTY(QStringList notes READ notes NOTIFY notesChanged)

public:
    explicit ImagerModel(QObject* parent = nullptr);

    const OptionalSource& source() const { return source_; }
    void setSource(const OptionalSource& v);
    const OptionalPath& outputRoot() const { return outputRoot_; }
    void setOutputRoot(const OptionalPath& v);
    const JobState& state() const { return state_; }
    const ImagerProgress& progress() const { return progress_; }
    const OptionalPath& imagePath() const { return imagePath_; }
    const Task& task() const { return task_; }
    QString startBlocker() const;
    const QStringList& notes() const { return notes_; }

    Q_INVOKABLE void start();
    Q_INVOKABLE void cancel();

signals:
    void sourceChanged();
    void outputRootChanged();
    void stateChanged();
    void progressChanged();
    void imagePathChanged();
    void taskChanged();
    void startBlockerChanged();
    void notesChanged();

private:
    void setState(const JobState& v);
    void setProgress(const ImagerProgress& v);
    void setImagePath(const OptionalPath& v);
    void setNotes(const QStringList& v);

    OptionalSource source_;
    OptionalPath outputRoot_;
    JobState state_;
    ImagerProgress progress_;
    OptionalPath imagePath_;
    Task task_;
    QStringList notes_;
};

}  // namespace tamsel::models
