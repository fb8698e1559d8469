#pragma once
// The carving flow's jobs: the source and destination, the resumable
// session, the live scan that fills the found files, and the recovery of
// chosen ones (held, so that it can be stopped: what it wrote stays).
// Errors and the recovery's toast go to the window's state. UI thread only.

#include <QDateTime>
#include <QHash>
#include <QObject>

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "engine/carve/Carver.h"
#include "engine/carve/Checkpoint.h"
#include "engine/carve/RecoveredNames.h"
#include "models/FoundFiles.h"
#include "models/Job.h"
#include "models/Shared.h"
#include "models/WindowState.h"

namespace tamsel::models {

using OptionalResume = std::optional<CarveResumeInfo>;
using OptionalDate = std::optional<QDateTime>;

// What the last recovery did, as the results screen tells it.
struct RecoveryReport {
    struct Entry {
        QString name;  // as written in the folder, or as asked for
        QString why;
        friend bool operator==(const Entry&, const Entry&) = default;
    };
    OptionalPath folder;  // the "復元済み_…" folder, once it was made
    qint64 total = 0, recovered = 0, shortened = 0;
    bool stopped = false;
    std::vector<Entry> damaged;   // written, and what is wrong with them (cut short too)
    std::vector<Entry> failures;  // not written, and why
    std::optional<QString> error;  // the run ended early with this
    friend bool operator==(const RecoveryReport&, const RecoveryReport&) = default;
};
using OptionalReport = std::optional<RecoveryReport>;

class CarveJob : public QObject {
    Q_OBJECT
public:
    enum class Phase { source, scanning, results };
    Q_ENUM(Phase)

    // Stored, set by the screens.
    Q_PROPERTY(Phase phase READ phase WRITE setPhase NOTIFY phaseChanged)
    Q_PROPERTY(tamsel::models::OptionalSource selectedSource READ selectedSource WRITE setSelectedSource NOTIFY selectedSourceChanged)
    Q_PROPERTY(tamsel::models::OptionalPath destinationRoot READ destinationRoot WRITE setDestinationRoot NOTIFY destinationRootChanged)
    // Stored, set by the jobs.
    Q_PROPERTY(tamsel::models::OptionalResume resumable READ resumable NOTIFY resumableChanged)
    Q_PROPERTY(tamsel::CarveProgress progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(tamsel::models::OptionalPath stagingDir READ stagingDir NOTIFY stagingDirChanged)
    Q_PROPERTY(tamsel::models::OptionalDate startedAt READ startedAt NOTIFY startedAtChanged)
    Q_PROPERTY(bool scanCancelled READ scanCancelled NOTIFY scanCancelledChanged)
    Q_PROPERTY(tamsel::models::Task scanTask READ scanTask NOTIFY scanTaskChanged)
    Q_PROPERTY(qint64 speedBase READ speedBase NOTIFY speedBaseChanged)
    Q_PROPERTY(bool recovering READ recovering NOTIFY recoveringChanged)
    Q_PROPERTY(qint64 recoverDone READ recoverDone NOTIFY recoverDoneChanged)
    Q_PROPERTY(qint64 recoverTotal READ recoverTotal NOTIFY recoverTotalChanged)
    Q_PROPERTY(tamsel::models::OptionalReport recoveryReport READ recoveryReport NOTIFY recoveryReportChanged)
    // What the running scan told before it began (why it did not continue a session), or empty.
    Q_PROPERTY(QString scanNote READ scanNote NOTIFY scanNoteChanged)
    // Derived.
    Q_PROPERTY(double speed READ speed NOTIFY speedChanged)
    Q_PROPERTY(bool showFailingWarning READ showFailingWarning NOTIFY showFailingWarningChanged)
    // Why a scan cannot start with this source and destination (empty when it can).
    Q_PROPERTY(QString scanBlocker READ scanBlocker NOTIFY scanBlockerChanged)

    CarveJob(FoundFiles* files, WindowState* window, QObject* parent = nullptr);
    // Jobs hold the model weakly: they run on and their posts find it gone.
    ~CarveJob() override;

    Phase phase() const { return phase_; }
    void setPhase(Phase v);
    const OptionalSource& selectedSource() const { return selectedSource_; }
    void setSelectedSource(const OptionalSource& v);
    const OptionalPath& destinationRoot() const { return destinationRoot_; }
    // Where recovered files go: the card's own folders and names, by type, or by date.
    RecoveryLayout recoveryLayout() const { return recoveryLayout_; }
    void setRecoveryLayout(RecoveryLayout v) { recoveryLayout_ = v; }
    void setDestinationRoot(const OptionalPath& v);

    const OptionalResume& resumable() const { return resumable_; }
    const CarveProgress& progress() const { return progress_; }
    const OptionalPath& stagingDir() const { return stagingDir_; }
    const OptionalDate& startedAt() const { return startedAt_; }
    bool scanCancelled() const { return scanCancelled_; }
    const Task& scanTask() const { return scanTask_; }
    qint64 speedBase() const { return speedBase_; }
    bool recovering() const { return recovering_; }
    qint64 recoverDone() const { return recoverDone_; }
    qint64 recoverTotal() const { return recoverTotal_; }
    const Task& recoveryTask() const { return recoveryTask_; }
    // The last recovery's outcome, until the next one starts or it is dismissed.
    const OptionalReport& recoveryReport() const { return recoveryReport_; }
    void dismissRecoveryReport();
    // Shows the last recovery's folder itself (not a file in it).
    void openRecoveryFolder() const;
    // Where a recovery of this session wrote found file `index` whole, if it still is there.
    OptionalPath recoveredCopy(qint64 index) const;
    const QString& scanNote() const { return scanNote_; }

    double speed() const;
    bool showFailingWarning() const;
    QString scanBlocker() const;

    // Looks for a session under the destination that a scan of the chosen
    // source would continue (the same source by its identity, not its name).
    Q_INVOKABLE void refreshResumable();
    // A new scan, or the session in `resumeDir` continued.
    void startScan(const OptionalPath& resumeDir = std::nullopt);
    Q_INVOKABLE void cancelScan();
    // Copies `files` out of the session; nothing while a recovery runs.
    void recover(const std::vector<CarvedFile>& files);
    // Ends the running recovery after the file in hand: the files written
    // whole stay, the one cut short is not left behind.
    Q_INVOKABLE void stopRecovery();

    // How a recovery's folder is opened; the desktop's default handler by default.
    void setRevealer(std::function<void(const std::filesystem::path&)> reveal) { reveal_ = std::move(reveal); }
    // The clock behind `startedAt` and `speed`.
    void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }

    // One progress snapshot of the running scan, applied on the UI thread
    // (the scan's feed calls it; found files arrive with their snapshot).
    void applyScanProgress(const std::optional<CarveProgress>& snapshot, FoundBatch found);

signals:
    void phaseChanged();
    void selectedSourceChanged();
    void destinationRootChanged();
    void resumableChanged();
    void progressChanged();
    void stagingDirChanged();
    void startedAtChanged();
    void scanCancelledChanged();
    void scanTaskChanged();
    void speedBaseChanged();
    void recoveringChanged();
    void recoverDoneChanged();
    void recoverTotalChanged();
    void recoveryReportChanged();
    void scanNoteChanged();
    void speedChanged();
    void showFailingWarningChanged();
    void scanBlockerChanged();
    // The running scan has made the thumbnail of found file number `index`
    // (`made`), or has given it none: no picture, or none this run.
    void thumbnailWritten(qint64 index, bool made);
    // The scan has ended without an error, stopped or not.
    void scanFinished();

private:
    void setProgress(const CarveProgress& v);
    void setResumable(const OptionalResume& v);
    void setStagingDir(const OptionalPath& v);
    void setStartedAt(const OptionalDate& v);
    void setScanCancelled(bool v);
    void setRecovering(bool v);
    void setRecoverDone(qint64 v);
    void setRecoverTotal(qint64 v);
    void setRecoveryReport(const OptionalReport& v);
    void setSpeedBase(qint64 v);
    void setScanNote(const QString& v);
    void endScan(const std::optional<QString>& error, bool cancelled);

    FoundFiles* files_;
    WindowState* window_;
    Phase phase_ = Phase::source;
    OptionalSource selectedSource_;
    OptionalPath destinationRoot_;
    OptionalResume resumable_;
    CarveProgress progress_;
    OptionalPath stagingDir_;
    OptionalDate startedAt_;
    bool scanCancelled_ = false;
    Task scanTask_;
    qint64 speedBase_ = 0;
    bool recovering_ = false;
    qint64 recoverDone_ = 0;
    qint64 recoverTotal_ = 0;
    RecoveryLayout recoveryLayout_ = RecoveryLayout::original;
    Task recoveryTask_;
    OptionalReport recoveryReport_;
    QHash<qint64, std::filesystem::path> recoveredCopies_;
    QString scanNote_;
    quint64 resumeLookups_ = 0;

    std::function<void(const std::filesystem::path&)> reveal_;
    std::function<QDateTime()> clock_;
};

}  // namespace tamsel::models
