#include "models/Workspace.h"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <utility>

#include "engine/carve/Damage.h"
#include "engine/reading/RandomAccessSource.h"
#include "models/Reveal.h"
#include "models/Shared.h"
#include "workflow/Flows.h"
#include "workflow/Outcome.h"
#include "workflow/SourceChecks.h"

namespace tamsel::models {

namespace fs = std::filesystem;

QString Workspace::id(Mode mode) {
    switch (mode) {
        case Mode::start: return QStringLiteral("start");
        case Mode::carve: return QStringLiteral("carve");
        case Mode::salvage: return QStringLiteral("salvage");
        case Mode::image: return QStringLiteral("image");
    }
    return {};
}

QString Workspace::title(Mode mode) {
    switch (mode) {
        case Mode::start: return QStringLiteral("はじめに");
        case Mode::carve: return QStringLiteral("削除ファイル復元");
        case Mode::salvage: return QStringLiteral("救出コピー");
        case Mode::image: return QStringLiteral("ディスクをイメージ化");
    }
    return {};
}

QString Workspace::symbol(Mode mode) {
    switch (mode) {
        case Mode::start: return QStringLiteral("stethoscope");
        case Mode::carve: return QStringLiteral("zoom-scan");
        case Mode::salvage: return QStringLiteral("file-download");
        case Mode::image: return QStringLiteral("database-export");
    }
    return {};
}

Workspace::Workspace(QObject* parent)
    : QObject(parent),
      reveal_([](const fs::path& p) { revealInFileManager(p); }),
      clock_([] { return QDateTime::currentDateTimeUtc(); }) {}

// Jobs hold the model weakly: they run on and their posts find it gone.
Workspace::~Workspace() = default;

#define TAMSEL_SET(member, value, signal) \
    do {                                  \
        if (member == (value)) return;    \
        member = (value);                 \
        emit signal();                    \
    } while (0)

void Workspace::setMode(Mode v) { TAMSEL_SET(mode_, v, modeChanged); }
void Workspace::setPhase(Phase v) { TAMSEL_SET(phase_, v, phaseChanged); }
void Workspace::setSelectedSource(const OptionalSource& v) {
    if (selectedSource_ == v) return;
    selectedSource_ = v;
    emit selectedSourceChanged();
    emit showFailingWarningChanged();
    emit scanBlockerChanged();
}
void Workspace::setDestinationRoot(const OptionalPath& v) {
    if (destinationRoot_ == v) return;
    destinationRoot_ = v;
    emit destinationRootChanged();
    emit scanBlockerChanged();
}
void Workspace::setFocusID(const OptionalId& v) {
    if (focusID_ == v) return;
    focusID_ = v;
    emit focusIDChanged();
    emit focusedFileChanged();
}
void Workspace::setTypeFilter(TypeFilter v) {
    if (typeFilter_ == v) return;
    typeFilter_ = v;
    emit typeFilterChanged();
    emit filteredChanged();
    emit filtersChanged();
}
void Workspace::setStatusFilter(StatusFilter v) {
    if (statusFilter_ == v) return;
    statusFilter_ = v;
    emit statusFilterChanged();
    emit filteredChanged();
    emit filtersChanged();
}
void Workspace::setViewMode(ResultViewMode v) { TAMSEL_SET(viewMode_, v, viewModeChanged); }
void Workspace::setSearchText(const QString& v) {
    if (searchText_ == v) return;
    searchText_ = v;
    emit searchTextChanged();
    emit filteredChanged();
    emit filtersChanged();
}
void Workspace::setThumbSize(double v) { TAMSEL_SET(thumbSize_, v, thumbSizeChanged); }
void Workspace::setToast(const OptionalString& v) { TAMSEL_SET(toast_, v, toastChanged); }
void Workspace::setErrorMessage(const OptionalString& v) { TAMSEL_SET(errorMessage_, v, errorMessageChanged); }
void Workspace::setResumable(const OptionalResume& v) { TAMSEL_SET(resumable_, v, resumableChanged); }
void Workspace::setStagingDir(const OptionalPath& v) { TAMSEL_SET(stagingDir_, v, stagingDirChanged); }
void Workspace::setScanCancelled(bool v) { TAMSEL_SET(scanCancelled_, v, scanCancelledChanged); }
void Workspace::setRecovering(bool v) { TAMSEL_SET(recovering_, v, recoveringChanged); }
void Workspace::setRecoverDone(qint64 v) { TAMSEL_SET(recoverDone_, v, recoverDoneChanged); }
void Workspace::setRecoverTotal(qint64 v) { TAMSEL_SET(recoverTotal_, v, recoverTotalChanged); }
void Workspace::setProgress(const CarveProgress& v) {
    if (progress_ == v) return;
    const bool warned = showFailingWarning();
    progress_ = v;
    emit progressChanged();
    emit speedChanged();
    if (warned != showFailingWarning()) emit showFailingWarningChanged();
}
void Workspace::setStartedAt(const OptionalDate& v) {
    if (startedAt_ == v) return;
    startedAt_ = v;
    emit startedAtChanged();
    emit speedChanged();
}
void Workspace::setSpeedBase(qint64 v) {
    if (speedBase_ == v) return;
    speedBase_ = v;
    emit speedBaseChanged();
    emit speedChanged();
}

#undef TAMSEL_SET

void Workspace::countIn(const CarvedFile& f) {
    ++counts_.all;
    switch (MediaClass::of(f.ext)) {
        case MediaClass::photo: ++counts_.photo; break;
        case MediaClass::raw: ++counts_.raw; break;
        case MediaClass::video: ++counts_.video; break;
        case MediaClass::audio: ++counts_.audio; break;
        case MediaClass::other: break;
    }
    ++(f.damaged ? counts_.partial : counts_.ok);
}

void Workspace::markDamaged(qint64 index, const std::string& note) {
    // Results are in found order, which is index order.
    auto it = std::lower_bound(results_.begin(), results_.end(), index,
                               [](const CarvedFile& f, qint64 i) { return f.index < i; });
    if (it == results_.end() || it->index != index) {
        earlyVerdicts_[index] = note;  // its row comes with the next batch
        return;
    }
    const bool was = it->damaged;
    it->damaged = true;
    it->note = damage::added(it->note.value_or(""), note);
    if (!was) {
        --counts_.ok;
        ++counts_.partial;
        emit countsChanged();
    }
    emit resultChanged(static_cast<qsizetype>(it - results_.begin()));
    if (focusID_ && *focusID_ == it->id) emit focusedFileChanged();
}

void Workspace::setResults(FileList files) {
    if (files.empty() && results_.empty()) return;
    results_.assign(std::make_move_iterator(files.begin()), std::make_move_iterator(files.end()));
    counts_ = {};
    indexById_.clear();
    for (qsizetype i = 0; i < static_cast<qsizetype>(results_.size()); ++i) {
        countIn(results_[static_cast<std::size_t>(i)]);
        indexById_.insert({results_[static_cast<std::size_t>(i)].id, i});
    }
    qint64 total = 0;
    for (const auto& id : selection_)
        if (auto at = resultIndexOf(id); at >= 0) total += results_[static_cast<std::size_t>(at)].length;
    emit resultsReset();
    emit resultsChanged();
    emit countsChanged();
    emit filteredChanged();
    emit focusedFileChanged();
    if (total != selectedTotalBytes_) {
        selectedTotalBytes_ = total;
        emit selectedTotalBytesChanged();
    }
}

void Workspace::appendResults(std::vector<CarvedFile> files, bool select) {
    if (files.empty()) return;
    const auto first = static_cast<qsizetype>(results_.size());
    bool focusedArrived = false;
    qint64 added = 0;
    bool selected = false;
    for (auto& f : files) {
        if (auto early = earlyVerdicts_.find(f.index); early != earlyVerdicts_.end()) {
            f.damaged = true;
            f.note = damage::added(f.note.value_or(""), early->second);
            earlyVerdicts_.erase(early);
        }
        indexById_.insert({f.id, static_cast<qsizetype>(results_.size())});
        countIn(f);
        if (focusID_ && *focusID_ == f.id) focusedArrived = true;
        if (select && selection_.insert(f.id)) {
            added += f.length;
            selected = true;
        } else if (!select && selection_.contains(f.id)) {
            added += f.length;
        }
        results_.push_back(std::move(f));
    }
    emit resultsAppended(first, static_cast<qsizetype>(files.size()));
    emit resultsChanged();
    emit countsChanged();
    emit filteredChanged();
    if (focusedArrived) emit focusedFileChanged();
    if (selected) emit selectionChanged();
    if (added != 0) {
        selectedTotalBytes_ += added;
        emit selectedTotalBytesChanged();
    }
}

void Workspace::setSelection(IdSet ids) {
    if (ids == selection_) return;
    selection_ = std::move(ids);
    qint64 total = 0;
    for (const auto& id : selection_)
        if (auto at = resultIndexOf(id); at >= 0) total += results_[static_cast<std::size_t>(at)].length;
    emit selectionChanged();
    emit selectionChangedFor({});
    if (total != selectedTotalBytes_) {
        selectedTotalBytes_ = total;
        emit selectedTotalBytesChanged();
    }
}

double Workspace::speed() const {
    if (!startedAt_ || progress_.bytesScanned <= speedBase_) return 0;
    const double seconds = static_cast<double>(startedAt_->msecsTo(clock_())) / 1000.0;
    if (seconds <= 0) return 0;
    return static_cast<double>(progress_.bytesScanned - speedBase_) / seconds;
}

bool Workspace::showFailingWarning() const {
    return progress_.badBytes > 0 && selectedSource_ && selectedSource_->isPhysicalMedia();
}

namespace {

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}
bool isAscii(const QString& text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

// Whether ASCII `text` holds ASCII `needle` in any letter case: what the
// Unicode case folding gives for such text, without a conversion per file.
bool containsAsciiCaseless(std::string_view text, const QString& needle) {
    auto lower = [](unsigned c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    const auto n = static_cast<std::size_t>(needle.size());
    for (std::size_t i = 0; i + n <= text.size(); ++i) {
        std::size_t j = 0;
        while (j < n && lower(static_cast<unsigned char>(text[i + j])) == lower(needle[static_cast<qsizetype>(j)].unicode())) ++j;
        if (j == n) return true;
    }
    return false;
}

}  // namespace

bool Workspace::passesFilters(const CarvedFile& f) const {
    const MediaClass kind = MediaClass::of(f.ext);
    if (!admits(typeFilter_, kind) || !admits(statusFilter_, f.damaged)) return false;
    if (searchText_.isEmpty()) return true;
    // Found files are named in ASCII: a search over 100,000 of them converts none.
    if (isAscii(searchText_) && isAscii(f.fileName) && isAscii(f.ext))
        return containsAsciiCaseless(f.fileName, searchText_) || containsAsciiCaseless(f.ext, searchText_);
    return qs(f.fileName).contains(searchText_, Qt::CaseInsensitive) || qs(f.ext).contains(searchText_, Qt::CaseInsensitive);
}

FileList Workspace::filtered() const {
    FileList out;
    for (const auto& f : results_)
        if (passesFilters(f)) out.push_back(f);
    return out;
}

OptionalFile Workspace::focusedFile() const {
    if (!focusID_) return std::nullopt;
    const qsizetype at = resultIndexOf(*focusID_);
    if (at < 0) return std::nullopt;
    return results_[static_cast<std::size_t>(at)];
}

qsizetype Workspace::resultIndexOf(const std::string& id) const {
    const auto* entry = indexById_.find(id);
    return entry ? entry->second : -1;
}

QString Workspace::scanBlocker() const {
    if (!selectedSource_ || !destinationRoot_) return {};
    return QString::fromStdString(sameDiskRefusal(selectedSource_->path(), *destinationRoot_));
}

void Workspace::refreshResumable() {
    if (mode_ != Mode::carve || !selectedSource_ || !destinationRoot_) {
        setResumable(std::nullopt);
        return;
    }
    QPointer<Workspace> self(this);
    startJob(JobPriority::normal, [self, source = selectedSource_->path(), dest = *destinationRoot_](const CancellationToken&) {
        OptionalResume found = findResumableScan(source, dest);
        postTo(self, [found = std::move(found)](Workspace& w) { w.setResumable(found); });
    });
}

namespace {

// The most found files the UI thread takes in one turn of its event loop;
// the rest wait for the next turn, so a burst of finds or a long resumed
// list never holds the loop for long.
constexpr std::size_t kFilesPerTurn = 1000;

// Found files and the latest snapshot, gathered on the scan's thread and
// handed to the UI thread in bounded pieces, at most one turn queued at a time.
struct ScanFeed {
    std::mutex lock;
    // Filled by the scan's thread, under the lock.
    std::optional<CarveProgress> latest;
    std::vector<CarvedFile> found;
    std::function<void(Workspace&)> finish;  // the scan has ended
    bool queued = false;                     // a turn is posted
    bool gone = false;                       // the model has gone: nothing more to gather
    // The UI thread's own.
    std::vector<CarvedFile> pending;
    std::size_t next = 0;
    std::optional<CarveProgress> waiting;  // shown once all of its files are in
    std::function<void(Workspace&)> ending;
};

void queueTurn(const std::shared_ptr<ScanFeed>& feed, const QPointer<Workspace>& self);

// One turn: at most kFilesPerTurn files, then the snapshot they belong to and
// the end of the scan once everything before them is in.
void takeTurn(const std::shared_ptr<ScanFeed>& feed, const QPointer<Workspace>& self) {
    Workspace* w = self.data();
    {
        std::lock_guard g(feed->lock);
        feed->queued = false;
        if (!w) {
            feed->gone = true;
            feed->found.clear();
            return;
        }
        if (feed->next == feed->pending.size()) {
            feed->pending.clear();
            feed->next = 0;
            feed->pending.swap(feed->found);
            // The snapshot and the end go with the files gathered before them.
            if (feed->latest) feed->waiting = std::exchange(feed->latest, std::nullopt);
            if (feed->finish) feed->ending = std::exchange(feed->finish, nullptr);
        }
    }
    const std::size_t n = std::min(kFilesPerTurn, feed->pending.size() - feed->next);
    std::vector<CarvedFile> piece(std::make_move_iterator(feed->pending.begin() + static_cast<std::ptrdiff_t>(feed->next)),
                                  std::make_move_iterator(feed->pending.begin() + static_cast<std::ptrdiff_t>(feed->next + n)));
    feed->next += n;
    const bool drained = feed->next == feed->pending.size();
    w->applyScanProgress(drained ? std::exchange(feed->waiting, std::nullopt) : std::nullopt, std::move(piece));
    if (drained && feed->ending) {
        // Nothing can arrive after the end.
        std::exchange(feed->ending, nullptr)(*w);
        return;
    }
    std::lock_guard g(feed->lock);
    if (!drained || !feed->found.empty() || feed->latest || feed->finish) queueTurn(feed, self);
}

// Under the feed's lock.
void queueTurn(const std::shared_ptr<ScanFeed>& feed, const QPointer<Workspace>& self) {
    if (feed->queued) return;
    feed->queued = true;
    postToUi([feed, self] { takeTurn(feed, self); });
}

}  // namespace

void Workspace::applyScanProgress(const std::optional<CarveProgress>& snapshot, std::vector<CarvedFile> found) {
    appendResults(std::move(found), true);  // every found file starts out chosen
    // After its files, so that the count shown is never ahead of the list.
    if (snapshot) {
        if (snapshot->resumedFrom >= 1 && speedBase_ == 0) setSpeedBase(snapshot->resumedFrom);
        setProgress(*snapshot);
    }
}

void Workspace::startScan(const OptionalPath& resumeDir) {
    if (!selectedSource_ || !destinationRoot_) return;
    const QString blocker = scanBlocker();
    if (!blocker.isEmpty()) {
        setErrorMessage(blocker);
        return;
    }
    setPhase(Phase::scanning);
    setResults({});
    setSelection({});
    setFocusID(std::nullopt);
    setProgress(CarveProgress{});
    setStartedAt(clock_());
    setSpeedBase(0);
    setScanCancelled(false);
    setErrorMessage(std::nullopt);
    // The folder is made (or the earlier one checked) by the job, which tells it.
    setStagingDir(resumeDir);
    setResumable(std::nullopt);

    QPointer<Workspace> self(this);
    ScanRequest request{selectedSource_->path(), *destinationRoot_, resumeDir, true, false};
    scanTask_ = startJob(JobPriority::interactive, [self, request](const CancellationToken& token) {
        auto feed = std::make_shared<ScanFeed>();
        auto end = [&feed, &self](std::function<void(Workspace&)> finish) {
            std::lock_guard g(feed->lock);
            if (feed->gone) return;
            feed->finish = std::move(finish);
            queueTurn(feed, self);
        };
        ScanEvents events;
        events.session = [self, feed](const fs::path& dir, bool resumed, const std::vector<CarvedFile>& earlier) {
            postTo(self, [dir, resumed, earlier, feed, self](Workspace& w) {
                w.setStagingDir(dir);
                if (!resumed) return;
                // Shown and chosen, as before the stop, ahead of anything found since.
                feed->pending.insert(feed->pending.end(), earlier.begin(), earlier.end());
                std::lock_guard g(feed->lock);
                queueTurn(feed, self);
            });
        };
        events.progress = [feed, self](const CarveProgress& p) {
            std::lock_guard g(feed->lock);
            if (feed->gone) return;
            if (p.newFile) feed->found.push_back(*p.newFile);
            feed->latest = p;
            queueTurn(feed, self);
        };
        events.thumbnail = [self](const CarvedFile& file, bool made, const std::optional<std::string>& damage,
                                  std::int64_t, std::int64_t) {
            postTo(self, [index = file.index, made, damage](Workspace& w) {
                if (damage) w.markDamaged(index, *damage);
                emit w.thumbnailWritten(index, made);
            });
        };
        try {
            const ScanOutcome outcome = runScan(request, token, events);
            end([cancelled = outcome.summary.cancelled](Workspace& w) {
                w.setScanCancelled(cancelled);
                w.setPhase(Phase::results);
                if (!w.focusID_ && !w.results_.empty()) w.setFocusID(w.results_.front().id);
            });
        } catch (const std::exception& e) {
            end([message = describeError(e, true)](Workspace& w) {
                w.setErrorMessage(message);
                w.setPhase(w.results_.empty() ? Phase::source : Phase::results);
                w.refreshResumable();
            });
        }
    });
    emit scanTaskChanged();
}

void Workspace::cancelScan() {
    if (scanTask_) scanTask_->cancel();
}

void Workspace::toggle(const std::string& id) {
    if (!selection_.erase(id)) selection_.insert(id);
    if (auto at = resultIndexOf(id); at >= 0) {
        const qint64 length = results_[static_cast<std::size_t>(at)].length;
        selectedTotalBytes_ += selection_.count(id) ? length : -length;
        emit selectedTotalBytesChanged();
    }
    emit selectionChanged();
    emit selectionChangedFor({qs(id)});
    setFocusID(id);
}

void Workspace::selectAllFiltered() {
    // Straight into the selection: no copy of it, no second pass to add up.
    qint64 added = 0;
    bool changed = false;
    selection_.reserve(selection_.size() + results_.size());
    for (const auto& f : results_)
        if (passesFilters(f) && selection_.insert(f.id)) {
            added += f.length;
            changed = true;
        }
    if (!changed) return;
    emit selectionChanged();
    emit selectionChangedFor({});
    if (added != 0) {
        selectedTotalBytes_ += added;
        emit selectedTotalBytesChanged();
    }
}

void Workspace::deselectAll() {
    if (selection_.empty()) return;
    // Freeing a hundred thousand ids one by one would hold the UI thread:
    // the old selection goes on a background job.
    auto old = std::make_shared<IdSet>(std::move(selection_));
    selection_ = IdSet{};
    startJob(JobPriority::background, [old = std::move(old)](const CancellationToken&) mutable { old.reset(); });
    emit selectionChanged();
    emit selectionChangedFor({});
    if (selectedTotalBytes_ != 0) {
        selectedTotalBytes_ = 0;
        emit selectedTotalBytesChanged();
    }
}

void Workspace::recoverSelected() {
    std::vector<CarvedFile> files;
    for (const auto& f : results_)
        if (selection_.count(f.id)) files.push_back(f);
    recover(files);
}

void Workspace::recoverOne(const CarvedFile& file) { recover({file}); }

void Workspace::recover(const std::vector<CarvedFile>& files) {
    if (!destinationRoot_ || !selectedSource_ || !stagingDir_ || files.empty() || recovering_) return;
    const QString blocker = scanBlocker();
    if (!blocker.isEmpty()) {
        setErrorMessage(blocker);
        return;
    }
    setRecovering(true);
    setRecoverDone(0);
    setRecoverTotal(static_cast<qint64>(files.size()));
    setErrorMessage(std::nullopt);

    QPointer<Workspace> self(this);
    RecoveryRequest request{*stagingDir_, selectedSource_->path(), files, *destinationRoot_};
    startJob(JobPriority::normal, [self, request = std::move(request), reveal = reveal_](const CancellationToken& token) {
        try {
            RecoveryEvents events;
            qint64 recovered = 0;
            events.fileDone = [&](const CarvedFile&, std::size_t, std::size_t, const std::exception* error) {
                if (!error) ++recovered;
                postTo(self, [recovered](Workspace& w) { w.setRecoverDone(recovered); });
            };
            const RecoveryOutcome outcome = runRecovery(request, token, events);
            const fs::path shown = outcome.firstFile.value_or(outcome.folder);
            postToUi([self, count = outcome.recovered + outcome.shortened, shown, reveal] {
                if (Workspace* w = self.data()) {
                    w->setRecovering(false);
                    w->setToast(QString::number(count) + QStringLiteral(" 件を復元しました"));
                }
                if (reveal) reveal(shown);  // also when the window has gone
            });
        } catch (const std::exception& e) {
            postTo(self, [message = describeError(e, false)](Workspace& w) {
                w.setRecovering(false);
                w.setErrorMessage(message);
            });
        }
    });
}

}  // namespace tamsel::models
