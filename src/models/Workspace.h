#pragma once
// The window's central model: which mode it shows, and the whole carving
// flow (source, destination, resumable session, live scan, found files with
// their filters, selection and focus, recovery). Confined to the UI thread.

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "disks/DiskDevice.h"
#include "engine/carve/Carver.h"
#include "engine/carve/Checkpoint.h"
#include "models/Job.h"
#include "models/SpreadTable.h"
#include "models/ResultFilters.h"

namespace tamsel::models {

using OptionalPath = std::optional<std::filesystem::path>;
using OptionalSource = std::optional<SourceSelection>;
using OptionalResume = std::optional<CarveResumeInfo>;
using OptionalString = std::optional<QString>;
using OptionalId = std::optional<std::string>;
using OptionalFile = std::optional<CarvedFile>;
using OptionalDate = std::optional<QDateTime>;
// Both grow as files are found: neither ever moves or rehashes all of its
// entries in one turn of the UI thread.
using IdSet = SpreadTable<std::unordered_set<std::string>>;
using ResultList = std::deque<CarvedFile>;
using FileList = std::vector<CarvedFile>;

class Workspace : public QObject {
    Q_OBJECT
public:
    enum class Mode { start, carve, salvage, image };
    Q_ENUM(Mode)
    static constexpr std::array<Mode, 4> allModes{Mode::start, Mode::carve, Mode::salvage, Mode::image};
    static QString id(Mode mode);      // "start", "carve", "salvage", "image"
    static QString title(Mode mode);   // "はじめに", ...
    static QString symbol(Mode mode);  // "stethoscope", ...

    enum class Phase { source, scanning, results };
    Q_ENUM(Phase)

    struct Counts {
        qint64 all = 0, photo = 0, raw = 0, video = 0, audio = 0, ok = 0, partial = 0;
        friend bool operator==(const Counts&, const Counts&) = default;
    };

    // Stored, set by the screens.
    Q_PROPERTY(Mode mode READ mode WRITE setMode NOTIFY modeChanged)
    Q_PROPERTY(Phase phase READ phase WRITE setPhase NOTIFY phaseChanged)
    Q_PROPERTY(tamsel::models::OptionalSource selectedSource READ selectedSource WRITE setSelectedSource NOTIFY selectedSourceChanged)
    Q_PROPERTY(tamsel::models::OptionalPath destinationRoot READ destinationRoot WRITE setDestinationRoot NOTIFY destinationRootChanged)
    Q_PROPERTY(tamsel::models::OptionalId focusID READ focusID WRITE setFocusID NOTIFY focusIDChanged)
    Q_PROPERTY(tamsel::TypeFilter typeFilter READ typeFilter WRITE setTypeFilter NOTIFY typeFilterChanged)
    Q_PROPERTY(tamsel::StatusFilter statusFilter READ statusFilter WRITE setStatusFilter NOTIFY statusFilterChanged)
    Q_PROPERTY(tamsel::ResultViewMode viewMode READ viewMode WRITE setViewMode NOTIFY viewModeChanged)
    Q_PROPERTY(QString searchText READ searchText WRITE setSearchText NOTIFY searchTextChanged)
    Q_PROPERTY(double thumbSize READ thumbSize WRITE setThumbSize NOTIFY thumbSizeChanged)
    Q_PROPERTY(tamsel::models::OptionalString toast READ toast WRITE setToast NOTIFY toastChanged)
    Q_PROPERTY(tamsel::models::OptionalString errorMessage READ errorMessage WRITE setErrorMessage NOTIFY errorMessageChanged)
    // Stored, set by the model's operations and jobs.
    Q_PROPERTY(tamsel::models::OptionalResume resumable READ resumable NOTIFY resumableChanged)
    Q_PROPERTY(tamsel::CarveProgress progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(tamsel::models::ResultList results READ results NOTIFY resultsChanged)
    Q_PROPERTY(tamsel::models::OptionalPath stagingDir READ stagingDir NOTIFY stagingDirChanged)
    Q_PROPERTY(tamsel::models::OptionalDate startedAt READ startedAt NOTIFY startedAtChanged)
    Q_PROPERTY(bool scanCancelled READ scanCancelled NOTIFY scanCancelledChanged)
    Q_PROPERTY(tamsel::models::IdSet selection READ selection NOTIFY selectionChanged)
    Q_PROPERTY(bool recovering READ recovering NOTIFY recoveringChanged)
    Q_PROPERTY(qint64 recoverDone READ recoverDone NOTIFY recoverDoneChanged)
    Q_PROPERTY(qint64 recoverTotal READ recoverTotal NOTIFY recoverTotalChanged)
    Q_PROPERTY(tamsel::models::Task scanTask READ scanTask NOTIFY scanTaskChanged)
    Q_PROPERTY(qint64 speedBase READ speedBase NOTIFY speedBaseChanged)
    // Derived.
    Q_PROPERTY(double speed READ speed NOTIFY speedChanged)
    Q_PROPERTY(bool showFailingWarning READ showFailingWarning NOTIFY showFailingWarningChanged)
    Q_PROPERTY(tamsel::models::Workspace::Counts counts READ counts NOTIFY countsChanged)
    Q_PROPERTY(tamsel::models::FileList filtered READ filtered NOTIFY filteredChanged)
    Q_PROPERTY(tamsel::models::OptionalFile focusedFile READ focusedFile NOTIFY focusedFileChanged)
    Q_PROPERTY(qint64 selectedTotalBytes READ selectedTotalBytes NOTIFY selectedTotalBytesChanged)
    // Why a scan cannot start with this source and destination (empty when it can).
    Q_PROPERTY(QString scanBlocker READ scanBlocker NOTIFY scanBlockerChanged)

public:
    explicit Workspace(QObject* parent = nullptr);
    ~Workspace() override;

    Mode mode() const { return mode_; }
    void setMode(Mode v);
    Phase phase() const { return phase_; }
    void setPhase(Phase v);
    const OptionalSource& selectedSource() const { return selectedSource_; }
    void setSelectedSource(const OptionalSource& v);
    const OptionalPath& destinationRoot() const { return destinationRoot_; }
    void setDestinationRoot(const OptionalPath& v);
    const OptionalId& focusID() const { return focusID_; }
    void setFocusID(const OptionalId& v);
    TypeFilter typeFilter() const { return typeFilter_; }
    void setTypeFilter(TypeFilter v);
    StatusFilter statusFilter() const { return statusFilter_; }
    void setStatusFilter(StatusFilter v);
    ResultViewMode viewMode() const { return viewMode_; }
    void setViewMode(ResultViewMode v);
    const QString& searchText() const { return searchText_; }
    void setSearchText(const QString& v);
    double thumbSize() const { return thumbSize_; }
    void setThumbSize(double v);
    const OptionalString& toast() const { return toast_; }
    void setToast(const OptionalString& v);
    const OptionalString& errorMessage() const { return errorMessage_; }
    void setErrorMessage(const OptionalString& v);

    const OptionalResume& resumable() const { return resumable_; }
    const CarveProgress& progress() const { return progress_; }
    const ResultList& results() const { return results_; }
    const OptionalPath& stagingDir() const { return stagingDir_; }
    const OptionalDate& startedAt() const { return startedAt_; }
    bool scanCancelled() const { return scanCancelled_; }
    const IdSet& selection() const { return selection_; }
    bool recovering() const { return recovering_; }
    qint64 recoverDone() const { return recoverDone_; }
    qint64 recoverTotal() const { return recoverTotal_; }
    const Task& scanTask() const { return scanTask_; }
    qint64 speedBase() const { return speedBase_; }

    double speed() const;
    bool showFailingWarning() const;
    Counts counts() const { return counts_; }
    FileList filtered() const;
    OptionalFile focusedFile() const;
    qint64 selectedTotalBytes() const { return selectedTotalBytes_; }
    QString scanBlocker() const;

    // Whether `file` passes the type, status and search filters (what `filtered` keeps).
    bool passesFilters(const CarvedFile& file) const;
    bool isSelected(const std::string& id) const { return selection_.count(id) != 0; }
    // The position of a file in `results`, or -1.
    qsizetype resultIndexOf(const std::string& id) const;

    Q_INVOKABLE void refreshResumable();
    // A new scan, or the session in `resumeDir` continued.
    void startScan(const OptionalPath& resumeDir = std::nullopt);
    Q_INVOKABLE void cancelScan();
    void toggle(const std::string& id);
    Q_INVOKABLE void selectAllFiltered();
    Q_INVOKABLE void deselectAll();
    Q_INVOKABLE void recoverSelected();
    void recoverOne(const CarvedFile& file);

    // How recovered files are shown; the file manager by default.
    void setRevealer(std::function<void(const std::filesystem::path&)> reveal) { reveal_ = std::move(reveal); }
    // The clock behind `startedAt` and `speed`.
    void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }

    // One progress snapshot of the running scan, applied on the UI thread
    // (the scan job calls it; found files arrive with their snapshot).
    void applyScanProgress(const std::optional<CarveProgress>& snapshot, std::vector<CarvedFile> found);

signals:
    void modeChanged();
    void phaseChanged();
    void selectedSourceChanged();
    void destinationRootChanged();
    void focusIDChanged();
    void typeFilterChanged();
    void statusFilterChanged();
    void viewModeChanged();
    void searchTextChanged();
    void thumbSizeChanged();
    void toastChanged();
    void errorMessageChanged();
    void resumableChanged();
    void progressChanged();
    void resultsChanged();
    void stagingDirChanged();
    void startedAtChanged();
    void scanCancelledChanged();
    void selectionChanged();
    void recoveringChanged();
    void recoverDoneChanged();
    void recoverTotalChanged();
    void scanTaskChanged();
    void speedBaseChanged();
    void speedChanged();
    void showFailingWarningChanged();
    void countsChanged();
    void filteredChanged();
    void focusedFileChanged();
    void selectedTotalBytesChanged();
    void scanBlockerChanged();

    // Fine-grained changes for views over the results.
    void resultsAppended(qsizetype first, qsizetype count);  // rows [first, first + count) were added
    void resultsReset();                                     // the whole list was replaced
    void filtersChanged();                                   // type, status or search changed
    // The selection of these files changed; an empty list means any file.
    void selectionChangedFor(const QStringList& ids);
    // The running scan has made the thumbnail of found file number `index`
    // (`made`), or has given it none: no picture, or none this run.
    void thumbnailWritten(qint64 index, bool made);
    // The result at `resultIndex` changed (a verdict on its content came).
    void resultChanged(qsizetype resultIndex);

private:
    void setResults(FileList files);  // replaces, selecting nothing
    void appendResults(std::vector<CarvedFile> files, bool select);
    void setSelection(IdSet ids);
    void setProgress(const CarveProgress& v);
    void setResumable(const OptionalResume& v);
    void setStagingDir(const OptionalPath& v);
    void setStartedAt(const OptionalDate& v);
    void setScanCancelled(bool v);
    void setRecovering(bool v);
    void setRecoverDone(qint64 v);
    void setRecoverTotal(qint64 v);
    void setSpeedBase(qint64 v);
    void recover(const std::vector<CarvedFile>& files);
    void countIn(const CarvedFile& file);
    // A verdict from the running scan's decodes on found file number `index`.
    void markDamaged(qint64 index, const std::string& note);
    std::map<qint64, std::string> earlyVerdicts_;  // for files not listed yet

    Mode mode_ = Mode::start;
    Phase phase_ = Phase::source;
    OptionalSource selectedSource_;
    OptionalPath destinationRoot_;
    OptionalResume resumable_;
    CarveProgress progress_;
    ResultList results_;
    OptionalPath stagingDir_;
    OptionalDate startedAt_;
    bool scanCancelled_ = false;
    IdSet selection_;
    OptionalId focusID_;
    TypeFilter typeFilter_ = TypeFilter::all;
    StatusFilter statusFilter_ = StatusFilter::anyStatus;
    ResultViewMode viewMode_ = ResultViewMode::grid;
    QString searchText_;
    double thumbSize_ = 150.0;
    bool recovering_ = false;
    qint64 recoverDone_ = 0;
    qint64 recoverTotal_ = 0;
    OptionalString toast_;
    OptionalString errorMessage_;
    Task scanTask_;
    qint64 speedBase_ = 0;

    // Kept up to date as results arrive, so that no read walks the list.
    Counts counts_;
    qint64 selectedTotalBytes_ = 0;
    SpreadTable<std::unordered_map<std::string, qsizetype>> indexById_;

    std::function<void(const std::filesystem::path&)> reveal_;
    std::function<QDateTime()> clock_;
};

}  // namespace tamsel::models
