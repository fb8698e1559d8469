#include "models/CarveJob.h"
#include "models/Shared.h"

#include <deque>
#include <mutex>
#include <utility>

#include "models/Reveal.h"
#include "workflow/Flows.h"
#include "workflow/Outcome.h"
#include "workflow/SourceChecks.h"

namespace tamsel::models {

namespace fs = std::filesystem;

CarveJob::CarveJob(FoundFiles* files, WindowState* window, QObject* parent)
    : QObject(parent),
      files_(files),
      window_(window),
      reveal_([](const fs::path& p) { openFolder(p); }),
      clock_([] { return QDateTime::currentDateTimeUtc(); }) {
    // Copies belong to one session.
    connect(this, &CarveJob::stagingDirChanged, this, [this] { recoveredCopies_.clear(); });
    // The drive check's choice is the one to scan, unless a scan is under way or shown.
    connect(window_, &WindowState::checkedSourceChanged, this, [this] {
        if (phase_ != Phase::source || !window_->checkedSource()) return;
        setSelectedSource(window_->checkedSource());
        refreshResumable();
    });
}

CarveJob::~CarveJob() = default;

void CarveJob::setPhase(Phase v) { assignAndNotify(*this, phase_, v, &CarveJob::phaseChanged); }
void CarveJob::setSelectedSource(const OptionalSource& v) {
    if (!assignAndNotify(*this, selectedSource_, v, &CarveJob::selectedSourceChanged)) return;
    emit showFailingWarningChanged();
    emit scanBlockerChanged();
}
void CarveJob::setDestinationRoot(const OptionalPath& v) {
    if (!assignAndNotify(*this, destinationRoot_, v, &CarveJob::destinationRootChanged)) return;
    emit scanBlockerChanged();
}
void CarveJob::setResumable(const OptionalResume& v) { assignAndNotify(*this, resumable_, v, &CarveJob::resumableChanged); }
void CarveJob::setStagingDir(const OptionalPath& v) { assignAndNotify(*this, stagingDir_, v, &CarveJob::stagingDirChanged); }
void CarveJob::setScanCancelled(bool v) { assignAndNotify(*this, scanCancelled_, v, &CarveJob::scanCancelledChanged); }
void CarveJob::setRecovering(bool v) { assignAndNotify(*this, recovering_, v, &CarveJob::recoveringChanged); }
void CarveJob::setRecoverDone(qint64 v) { assignAndNotify(*this, recoverDone_, v, &CarveJob::recoverDoneChanged); }
void CarveJob::setRecoverTotal(qint64 v) { assignAndNotify(*this, recoverTotal_, v, &CarveJob::recoverTotalChanged); }
void CarveJob::setRecoveryReport(const OptionalReport& v) {
    assignAndNotify(*this, recoveryReport_, v, &CarveJob::recoveryReportChanged);
}
void CarveJob::dismissRecoveryReport() { setRecoveryReport(std::nullopt); }

void CarveJob::openRecoveryFolder() const {
    if (recoveryReport_ && recoveryReport_->folder && reveal_) reveal_(*recoveryReport_->folder);
}

OptionalPath CarveJob::recoveredCopy(qint64 index) const {
    const auto it = recoveredCopies_.constFind(index);
    std::error_code ec;
    if (it == recoveredCopies_.cend() || !fs::is_regular_file(*it, ec)) return std::nullopt;
    return *it;
}
void CarveJob::setScanNote(const QString& v) { assignAndNotify(*this, scanNote_, v, &CarveJob::scanNoteChanged); }
void CarveJob::setProgress(const CarveProgress& v) {
    if (progress_ == v) return;
    const bool warned = showFailingWarning();
    progress_ = v;
    emit progressChanged();
    emit speedChanged();
    if (warned != showFailingWarning()) emit showFailingWarningChanged();
}
void CarveJob::setStartedAt(const OptionalDate& v) {
    if (!assignAndNotify(*this, startedAt_, v, &CarveJob::startedAtChanged)) return;
    emit speedChanged();
}
void CarveJob::setSpeedBase(qint64 v) {
    if (!assignAndNotify(*this, speedBase_, v, &CarveJob::speedBaseChanged)) return;
    emit speedChanged();
}


double CarveJob::speed() const {
    if (!startedAt_ || progress_.bytesScanned <= speedBase_) return 0;
    const double seconds = static_cast<double>(startedAt_->msecsTo(clock_())) / 1000.0;
    if (seconds <= 0) return 0;
    return static_cast<double>(progress_.bytesScanned - speedBase_) / seconds;
}

bool CarveJob::showFailingWarning() const {
    return progress_.badBytes > 0 && selectedSource_ && selectedSource_->isPhysicalMedia();
}

QString CarveJob::scanBlocker() const {
    if (!selectedSource_ || !destinationRoot_) return {};
    return QString::fromStdString(sameDiskRefusal(selectedSource_->path(), *destinationRoot_));
}

void CarveJob::refreshResumable() {
    // Only the latest lookup counts: an earlier one may end later, for another source.
    const quint64 lookup = ++resumeLookups_;
    if (window_->mode() != WindowState::Mode::carve || !selectedSource_ || !destinationRoot_) {
        setResumable(std::nullopt);
        return;
    }
    QPointer<CarveJob> self(this);
    startJob(JobPriority::normal, [self, lookup, source = selectedSource_->path(), dest = *destinationRoot_](const CancellationToken&) {
        OptionalResume found = findContinuableScan(source, dest);
        postTo(self, [lookup, found = std::move(found)](CarveJob& j) {
            if (j.resumeLookups_ == lookup) j.setResumable(found);
        });
    });
}

namespace {

// The most found files the UI thread takes in one turn of its event loop;
// the rest wait for the next turn, so a burst of finds or a long resumed
// list never holds the loop for long.
constexpr std::size_t kFilesPerTurn = 1000;

// Made compact on the scan's thread, in pieces of at most one turn.
void gather(std::deque<FoundBatch>& into, const CarvedFile& file) {
    if (into.empty() || into.back().size() >= kFilesPerTurn) into.emplace_back();
    into.back().add(file);
}

// Found files and the latest snapshot, gathered on the scan's thread and
// handed to the UI thread a piece a turn, at most one turn queued at a time.
struct ScanFeed {
    std::mutex lock;
    // Filled by the scan's thread, under the lock.
    std::optional<CarveProgress> latest;
    std::deque<FoundBatch> found;
    std::function<void(CarveJob&)> finish;  // the scan has ended
    bool queued = false;                    // a turn is posted
    bool gone = false;                      // the model has gone: nothing more to gather
    // The UI thread's own.
    std::deque<FoundBatch> pending;
    std::optional<CarveProgress> waiting;  // shown once all of its files are in
    std::function<void(CarveJob&)> ending;
};

void queueTurn(const std::shared_ptr<ScanFeed>& feed, const QPointer<CarveJob>& self);

// One turn: one piece of files, then the snapshot they belong to and the
// end of the scan once everything before them is in.
void takeTurn(const std::shared_ptr<ScanFeed>& feed, const QPointer<CarveJob>& self) {
    CarveJob* job = self.data();
    {
        std::lock_guard g(feed->lock);
        feed->queued = false;
        if (!job) {
            feed->gone = true;
            feed->found.clear();
            return;
        }
        if (feed->pending.empty()) {
            feed->pending.swap(feed->found);
            // The snapshot and the end go with the files gathered before them.
            if (feed->latest) feed->waiting = std::exchange(feed->latest, std::nullopt);
            if (feed->finish) feed->ending = std::exchange(feed->finish, nullptr);
        }
    }
    FoundBatch piece;
    if (!feed->pending.empty()) {
        piece = std::move(feed->pending.front());
        feed->pending.pop_front();
    }
    const bool drained = feed->pending.empty();
    job->applyScanProgress(drained ? std::exchange(feed->waiting, std::nullopt) : std::nullopt, std::move(piece));
    if (drained && feed->ending) {
        // Nothing can arrive after the end.
        std::exchange(feed->ending, nullptr)(*job);
        return;
    }
    std::lock_guard g(feed->lock);
    if (!drained || !feed->found.empty() || feed->latest || feed->finish) queueTurn(feed, self);
}

// Under the feed's lock.
void queueTurn(const std::shared_ptr<ScanFeed>& feed, const QPointer<CarveJob>& self) {
    if (feed->queued) return;
    feed->queued = true;
    postToUi([feed, self] { takeTurn(feed, self); });
}

}  // namespace

void CarveJob::applyScanProgress(const std::optional<CarveProgress>& snapshot, FoundBatch found) {
    files_->append(std::move(found));
    // After its files, so that the count shown is never ahead of the list.
    if (snapshot) {
        if (snapshot->resumedFrom >= 1 && speedBase_ == 0) setSpeedBase(snapshot->resumedFrom);
        setProgress(*snapshot);
    }
}

void CarveJob::startScan(const OptionalPath& resumeDir) {
    if (!selectedSource_ || !destinationRoot_) return;
    const QString blocker = scanBlocker();
    if (!blocker.isEmpty()) {
        window_->setErrorMessage(blocker);
        return;
    }
    setPhase(Phase::scanning);
    files_->resetFilters();
    files_->clear();
    setRecoveryReport(std::nullopt);
    setProgress(CarveProgress{});
    setStartedAt(clock_());
    setSpeedBase(0);
    setScanCancelled(false);
    setScanNote({});
    window_->setErrorMessage(std::nullopt);
    // The folder is made (or the earlier one checked) by the job, which tells it.
    setStagingDir(resumeDir);
    ++resumeLookups_;
    setResumable(std::nullopt);

    QPointer<CarveJob> self(this);
    ScanRequest request{selectedSource_->path(), *destinationRoot_, resumeDir, true, false};
    scanTask_ = startJob(JobPriority::interactive, [self, request](const CancellationToken& token) {
        auto feed = std::make_shared<ScanFeed>();
        auto end = [&feed, &self](std::function<void(CarveJob&)> finish) {
            std::lock_guard g(feed->lock);
            if (feed->gone) return;
            feed->finish = std::move(finish);
            queueTurn(feed, self);
        };
        ScanEvents events;
        events.note = [self](const std::string& text) {
            postTo(self, [text = qs(text)](CarveJob& j) { j.setScanNote(j.scanNote_.isEmpty() ? text : j.scanNote_ + u'\n' + text); });
        };
        events.session = [self, feed](const fs::path& dir, bool resumed, const std::vector<CarvedFile>& earlier) {
            postTo(self, [dir](CarveJob& j) { j.setStagingDir(dir); });
            if (!resumed) return;
            // Shown and chosen, as before the stop, ahead of anything found since.
            std::deque<FoundBatch> pieces;
            for (const auto& f : earlier) gather(pieces, f);
            std::lock_guard g(feed->lock);
            if (feed->gone) return;
            feed->found.insert(feed->found.begin(), std::make_move_iterator(pieces.begin()), std::make_move_iterator(pieces.end()));
            queueTurn(feed, self);
        };
        events.progress = [feed, self](const CarveProgress& p) {
            std::lock_guard g(feed->lock);
            if (feed->gone) return;
            if (p.newFile) gather(feed->found, *p.newFile);
            feed->latest = p;
            queueTurn(feed, self);
        };
        events.thumbnail = [self](const CarvedFile& file, bool made, const std::optional<std::string>& damage,
                                  std::int64_t, std::int64_t) {
            postTo(self, [index = file.index, made, damage](CarveJob& j) {
                if (damage) j.files_->markDamaged(index, *damage);
                emit j.thumbnailWritten(index, made);
            });
        };
        try {
            const ScanOutcome outcome = runScan(request, token, events);
            end([cancelled = outcome.summary.cancelled](CarveJob& j) { j.endScan(std::nullopt, cancelled); });
        } catch (const std::exception& e) {
            end([message = describeError(e, true)](CarveJob& j) { j.endScan(message, false); });
        }
    });
    emit scanTaskChanged();
}

void CarveJob::endScan(const std::optional<QString>& error, bool cancelled) {
    if (error) {
        window_->setErrorMessage(*error);
        setPhase(files_->empty() ? Phase::source : Phase::results);
        refreshResumable();
        return;
    }
    setScanCancelled(cancelled);
    setPhase(Phase::results);
    emit scanFinished();
}

void CarveJob::cancelScan() {
    if (scanTask_) scanTask_->cancel();
}

void CarveJob::stopRecovery() {
    if (recovering_ && recoveryTask_) recoveryTask_->cancel();
}

void CarveJob::recover(const std::vector<CarvedFile>& files) {
    if (!destinationRoot_ || !selectedSource_ || !stagingDir_ || files.empty() || recovering_) return;
    const QString blocker = scanBlocker();
    if (!blocker.isEmpty()) {
        window_->setErrorMessage(blocker);
        return;
    }
    setRecovering(true);
    setRecoverDone(0);
    setRecoverTotal(static_cast<qint64>(files.size()));
    setRecoveryReport(std::nullopt);
    window_->setErrorMessage(std::nullopt);

    QPointer<CarveJob> self(this);
    std::vector<std::int64_t> indexes;
    for (const auto& f : files) indexes.push_back(f.index);
    RecoveryRequest request{*stagingDir_, selectedSource_->path(), std::move(indexes), *destinationRoot_, recoveryLayout_};
    recoveryTask_ = startJob(JobPriority::normal, [self, request = std::move(request)](const CancellationToken& token) {
        RecoveryReport report;
        report.total = static_cast<qint64>(request.indexes->size());
        QHash<qint64, fs::path> copies;
        RecoveryEvents events;
        events.folder = [&](const fs::path& folder) { report.folder = folder; };
        events.fileDone = [&](const CarvedFile& f, std::size_t, std::size_t, const std::exception* error) {
            if (error) {
                report.failures.push_back({qs(f.fileName), describeError(*error, false)});
            } else if (f.damaged) {
                report.damaged.push_back({qs(f.fileName), qs(f.note.value_or(std::string()))});
            }
            if (!error && report.folder) copies.insert(f.index, *report.folder / f.fileName);
            const qint64 written = static_cast<qint64>(copies.size());
            postTo(self, [written](CarveJob& j) { j.setRecoverDone(written); });
        };
        try {
            const RecoveryOutcome outcome = runRecovery(request, token, events);
            report.recovered = outcome.recovered;
            report.shortened = outcome.shortened;
            report.stopped = outcome.stopped || token.isCancelled();
        } catch (const std::exception& e) {
            report.recovered = static_cast<qint64>(copies.size());
            report.error = describeError(e, false);
        }
        postTo(self, [report = std::move(report), copies = std::move(copies)](CarveJob& j) {
            j.recoveredCopies_.insert(copies);
            j.setRecovering(false);
            j.setRecoveryReport(report);
        });
    });
}

}  // namespace tamsel::models
