// The carving workspace over real cards: scans, resume, stop, filters,
// selection, recovery, a full destination, and the results list model.

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <map>
#include <set>

#include "engine/carve/FoundList.h"
#include "engine/carve/Session.h"
#include "engine/common/Error.h"
#include "engine/reading/RandomAccessSource.h"
#include "media/ThumbnailFiles.h"
#include "models/ResultsListModel.h"
#include "models/Shared.h"
#include "models/ThumbnailRolesUpdater.h"
#include "models/Workspace.h"
#include "support/SmallTmpfs.h"
#include "tests/models/ModelTestSupport.h"
#include "models/ResultFilters.h"
#include "workflow/Outcome.h"

using namespace tamsel;
using namespace tamsel::models;
using namespace tamsel::test;

namespace {

CarvedFile made(std::int64_t index, const std::string& ext, bool damaged, std::int64_t length = 100) {
    CarvedFile f;
    f.id = makeUUID();
    f.index = index;
    f.offset = index * 1000;
    f.length = length;
    f.ext = ext;
    f.fileName = upperCased(ext) + "/" + rescuedFileName(index, ext);
    f.damaged = damaged;
    return f;
}

std::vector<std::string> ids(const FileList& files) {
    std::vector<std::string> out;
    for (const auto& f : files) out.push_back(f.id);
    return out;
}

}  // namespace

class WorkspaceTest : public QObject {
    Q_OBJECT

    std::vector<fs::path> jpegs_ = corpusJpegs();

    // A workspace in carve mode over `image` into `dest`, revealing into `revealed`.
    void setUp(Workspace& w, const fs::path& image, const fs::path& dest, std::vector<fs::path>* revealed = nullptr) {
        w.setMode(Workspace::Mode::carve);
        w.setSelectedSource(SourceSelection::imageFile(image));
        w.setDestinationRoot(dest);
        w.setRevealer([revealed](const fs::path& p) {
            if (revealed) revealed->push_back(p);
        });
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void cleanup() { waitForAllJobs(); }

    void startsAsDescribedAndNamesItsModes() {
        Workspace w;
        QCOMPARE(w.mode(), Workspace::Mode::start);
        QCOMPARE(w.phase(), Workspace::Phase::source);
        QVERIFY(!w.selectedSource() && !w.destinationRoot() && !w.resumable() && !w.stagingDir() && !w.startedAt());
        QVERIFY(w.results().empty() && w.selection().empty() && !w.focusID());
        QCOMPARE(w.typeFilter(), TypeFilter::all);
        QCOMPARE(w.statusFilter(), StatusFilter::anyStatus);
        QCOMPARE(w.viewMode(), ResultViewMode::grid);
        QCOMPARE(w.thumbSize(), 150.0);
        QVERIFY(!w.recovering() && w.recoverDone() == 0 && w.recoverTotal() == 0 && !w.toast() && !w.errorMessage());
        QVERIFY(!w.scanTask() && w.speedBase() == 0 && w.speed() == 0 && !w.showFailingWarning());
        QCOMPARE(Workspace::id(Workspace::Mode::image), QStringLiteral("image"));
        QCOMPARE(Workspace::title(Workspace::Mode::carve), QStringLiteral("削除ファイル復元"));
        QCOMPARE(Workspace::symbol(Workspace::Mode::salvage), QStringLiteral("file-download"));
        QCOMPARE(Workspace::title(Workspace::allModes.front()), QStringLiteral("はじめに"));

        // A change signal fires only on a real change; setters start nothing.
        QSignalSpy modes(&w, &Workspace::modeChanged);
        QSignalSpy resumable(&w, &Workspace::resumableChanged);
        w.setMode(Workspace::Mode::start);
        w.setMode(Workspace::Mode::carve);
        w.setMode(Workspace::Mode::carve);
        QCOMPARE(modes.count(), 1);
        w.setDestinationRoot(fs::path("/nowhere"));
        QCOMPARE(resumable.count(), 0);
        // Without a source nothing starts and nothing changes.
        QSignalSpy phase(&w, &Workspace::phaseChanged);
        w.startScan();
        QCOMPARE(phase.count(), 0);
        QVERIFY(!w.scanTask());
    }

    void scanListsEveryFileSelectedWithThumbnailsAndTheListModelFollows() {
        TempDir dir;
        const int placed = makeCard(dir / "card.img", jpegs_, 1);
        Workspace w;
        setUp(w, dir / "card.img", dir / "out");
        ResultsListModel list(&w);
        QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy appended(&w, &Workspace::resultsAppended);
        QSignalSpy resets(&list, &QAbstractItemModel::modelReset);
        w.startScan();
        QCOMPARE(w.phase(), Workspace::Phase::scanning);
        QVERIFY(w.scanTask());
        WAIT_UNTIL(w.phase() == Workspace::Phase::results);
        QVERIFY(!w.scanCancelled());
        QVERIFY(!w.errorMessage());
        QVERIFY(static_cast<int>(w.results().size()) >= placed);
        QCOMPARE(static_cast<std::int64_t>(w.results().size()), w.progress().filesFound);
        QCOMPARE(w.selection().size(), w.results().size());
        QCOMPARE(w.focusID(), std::optional<std::string>(w.results().front().id));
        QVERIFY(w.stagingDir());
        QCOMPARE(Session::foundIn(*w.stagingDir()).size(), w.results().size());
        for (const auto& f : w.results())
            if (MediaClass::of(f.ext) == MediaClass::photo)
                QVERIFY2(fs::exists(media::ThumbnailFiles::thumbnailPath(*w.stagingDir(), f.index)), f.fileName.c_str());
        // Rows were inserted as files came, never rebuilt during the scan.
        QVERIFY(appended.count() >= 1);
        QCOMPARE(resets.count(), 0);
        QCOMPARE(list.rowCount(), static_cast<int>(w.results().size()));
        QCOMPARE(list.data(list.index(0), ResultsListModel::IdRole).toString(), QString::fromStdString(w.results()[0].id));
        QCOMPARE(list.data(list.index(0), ResultsListModel::SelectedRole).toBool(), true);
        QCOMPARE(w.counts().all, static_cast<qint64>(w.results().size()));
        qint64 total = 0;
        for (const auto& f : w.results()) total += f.length;
        QCOMPARE(w.selectedTotalBytes(), total);

        // Unticking a row goes through toggle: the selection and focus follow.
        QSignalSpy changed(&list, &QAbstractItemModel::dataChanged);
        QVERIFY(list.setData(list.index(1), Qt::Unchecked, Qt::CheckStateRole));
        QVERIFY(!w.isSelected(w.results()[1].id));
        QCOMPARE(w.focusID(), std::optional<std::string>(w.results()[1].id));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.first().at(0).toModelIndex().row(), 1);
        // A filter rebuilds the rows once.
        w.setSearchText(QStringLiteral("no such name"));
        QCOMPARE(list.rowCount(), 0);
        w.setSearchText(QString());
        QCOMPARE(list.rowCount(), static_cast<int>(w.results().size()));
        QVERIFY(w.speed() > 0);
        QVERIFY(!w.showFailingWarning());
    }

    // A session folder on disk: only the rows in view (and a few around)
    // load; a row whose thumbnail is not written waits for the scan's word;
    // a marker is no picture; the decoded pictures keep to their bound.
    void thumbnailRolesFollowTheRowsInViewAndTheScansWord() {
        TempDir dir;
        const int placed = makeCard(dir / "card.img", {jpegs_.front()}, 40);
        Workspace w;
        setUp(w, dir / "card.img", dir / "out");
        QSignalSpy written(&w, &Workspace::thumbnailWritten);
        w.startScan();
        WAIT_UNTIL(w.phase() == Workspace::Phase::results);
        QCOMPARE(static_cast<int>(w.results().size()), placed);
        QCOMPARE(written.count(), placed);
        QVERIFY(written.first().at(1).toBool());
        const fs::path session = *w.stagingDir();
        auto indexOf = [&](int row) { return w.results()[static_cast<std::size_t>(row)].index; };
        auto jpeg = [&](int row) { return media::ThumbnailFiles::thumbnailPath(session, indexOf(row)); };
        // Row 1 is written later, row 2 holds no picture, row 3 never comes.
        fs::rename(jpeg(1), dir / "later.jpg");
        fs::remove(jpeg(2));
        writeFile(media::ThumbnailFiles::markerPath(session, indexOf(2)), "");
        fs::remove(jpeg(3));
        w.setPhase(Workspace::Phase::scanning);  // as while its scan still runs

        ResultsListModel list(&w);
        QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::QtTest);
        ThumbnailRolesUpdater updater(&w, &list);
        auto state = [&](const ResultsListModel& m, int row) {
            return ThumbnailState(m.data(m.index(row), ResultsListModel::ThumbnailStateRole).toInt());
        };
        auto image = [&](const ResultsListModel& m, int row) {
            return m.data(m.index(row), ResultsListModel::ThumbnailRole).value<QImage>();
        };
        QSignalSpy changed(&list, &QAbstractItemModel::dataChanged);
        updater.setPixelSize(32);
        updater.setVisibleRange(0, 4);
        WAIT_UNTIL(updater.idle());
        // The four in view and eight after them, each told once; nothing further.
        QCOMPARE(changed.count(), 12 - 2);
        for (const auto& c : changed) QCOMPARE(c.at(0).toModelIndex(), c.at(1).toModelIndex());
        QCOMPARE(state(list, 0), ThumbnailState::picture);
        QCOMPARE(std::min(image(list, 0).width(), image(list, 0).height()), 32);
        QCOMPARE(state(list, 1), ThumbnailState::waiting);
        QCOMPARE(state(list, 2), ThumbnailState::none);
        QVERIFY(image(list, 2).isNull());
        QCOMPARE(state(list, 3), ThumbnailState::waiting);
        for (int row = 4; row < 12; ++row) QCOMPARE(state(list, row), ThumbnailState::picture);
        for (int row = 12; row < placed; ++row) QCOMPARE(state(list, row), ThumbnailState::waiting);
        QCOMPARE(updater.cachedCount(), 12 - 2);

        // Written meanwhile: nothing reads it until the scan says so.
        fs::rename(dir / "later.jpg", jpeg(1));
        QCoreApplication::processEvents();
        QVERIFY(updater.idle());
        QCOMPARE(state(list, 1), ThumbnailState::waiting);
        emit w.thumbnailWritten(indexOf(1), true);
        WAIT_UNTIL(state(list, 1) == ThumbnailState::picture);
        // The scan over: what never came has no picture.
        w.setPhase(Workspace::Phase::results);
        WAIT_UNTIL(state(list, 3) == ThumbnailState::none);

        // The focused file loads wherever it is listed; larger tiles load their rows again.
        w.setFocusID(w.results()[30].id);
        WAIT_UNTIL(list.thumbnail(indexOf(30)).state == ThumbnailState::picture);
        const qint64 one = image(list, 0).sizeInBytes();
        updater.setPixelSize(64);
        WAIT_UNTIL(updater.idle() && std::min(image(list, 0).width(), image(list, 0).height()) == 64);

        // Six pictures' worth: scrolling the whole list keeps to it, the rows in view kept.
        ResultsListModel tight(&w);
        QAbstractItemModelTester tightTester(&tight, QAbstractItemModelTester::FailureReportingMode::QtTest);
        ThumbnailRolesUpdater bounded(&w, &tight, nullptr, one * 6);
        bounded.setPixelSize(32);
        for (int first = 0; first < placed; first += 4) {
            bounded.setVisibleRange(first, 4);
            WAIT_UNTIL(bounded.idle());
            QVERIFY2(bounded.cachedBytes() <= one * 6, qPrintable(QString::number(bounded.cachedBytes())));
            for (int row = std::max(first, 4); row < std::min(first + 4, placed); ++row)
                QCOMPARE(state(tight, row), ThumbnailState::picture);
        }
        QVERIFY(bounded.cachedCount() < placed);
    }

    void aBurstOfFoundFilesReachesTheListInBoundedPieces() {
        TempDir dir;
        const int placed = makeCard(dir / "card.img", {jpegs_.front()}, 1500);
        Workspace w;
        setUp(w, dir / "card.img", dir / "out");
        ResultsListModel list(&w);
        std::vector<qsizetype> pieces;
        connect(&w, &Workspace::resultsAppended, this, [&](qsizetype, qsizetype count) { pieces.push_back(count); });
        bool ahead = false;  // a snapshot counting files the list does not hold yet
        connect(&w, &Workspace::progressChanged, this, [&] {
            if (w.progress().filesFound > static_cast<std::int64_t>(w.results().size())) ahead = true;
        });
        w.startScan();
        waitForAllJobs();  // every file found before the UI thread takes any
        WAIT_UNTIL(w.phase() == Workspace::Phase::results);
        QCOMPARE(static_cast<int>(w.results().size()), placed);
        QCOMPARE(list.rowCount(), placed);
        QVERIFY(pieces.size() >= 2);
        for (const qsizetype n : pieces) QVERIFY2(n <= 1000, qPrintable(QString::number(n)));
        QVERIFY(!ahead);
        QCOMPARE(w.progress().filesFound, static_cast<std::int64_t>(placed));
        QCOMPARE(w.selection().size(), w.results().size());
    }

    void resumeFindsTheSessionOfThisExactPathAndContinuesIt() {
        TempDir dir;
        // Files in separate 8 MiB windows, so that a stop after the first leaves the rest.
        std::vector<std::uint8_t> data;
        const std::vector<fs::path> some(jpegs_.begin(), jpegs_.begin() + 4);
        for (const auto& f : some) {
            data.resize(data.size() + (8 << 20) - data.size() % (8 << 20));
            auto bytes = readFile(f);
            data.insert(data.end(), bytes.begin(), bytes.end());
        }
        data.resize(data.size() + (1 << 20));
        writeFile(dir / "card.img", data);
        const std::string path = (dir / "card.img").string();
        // An interrupted session, stopped by the engine itself after its first file.
        {
            auto source = openRandomAccessSource(path);
            CancellationToken token;
            Carver carver(source, dir / "out" / "staging_20000101_000000", CarveOutputMode::probeOnly,
                          [&](const CarveProgress& p) {
                              if (p.newFile) token.cancel();
                          });
            carver.setSourceIdentity(SourceIdentity::of(*source, path));
            QVERIFY(carver.run(token).cancelled);
            source->close();
        }
        const auto earlier = Session::foundIn(dir / "out" / "staging_20000101_000000");
        QVERIFY(!earlier.empty() && earlier.size() < some.size());

        Workspace w;
        setUp(w, dir / "card.img", dir / "out");
        QSignalSpy looked(&w, &Workspace::resumableChanged);
        w.refreshResumable();
        QVERIFY(!w.resumable());  // not until the lookup posts
        WAIT_UNTIL(looked.count() == 1);
        QVERIFY(w.resumable());
        QCOMPARE(w.resumable()->dir, dir / "out" / "staging_20000101_000000");

        // Another spelling of the same file is another source path.
        Workspace other;
        setUp(other, dir.path() / "." / "card.img", dir / "out");
        QSignalSpy otherLooked(&other, &Workspace::resumableChanged);
        other.refreshResumable();
        waitForAllJobs();
        QCoreApplication::processEvents();
        QVERIFY(!other.resumable());
        // Outside the carve mode the lookup clears at once.
        w.setMode(Workspace::Mode::start);
        w.refreshResumable();
        QVERIFY(!w.resumable());
        w.setMode(Workspace::Mode::carve);
        w.refreshResumable();
        WAIT_UNTIL(w.resumable().has_value());

        const fs::path session = w.resumable()->dir;
        std::vector<std::size_t> sizesSeen;
        connect(&w, &Workspace::resultsAppended, this, [&](qsizetype first, qsizetype count) {
            sizesSeen.push_back(static_cast<std::size_t>(first + count));
        });
        w.startScan(session);
        QCOMPARE(w.stagingDir(), OptionalPath(session));
        QVERIFY(!w.resumable());
        WAIT_UNTIL(w.phase() == Workspace::Phase::results);
        QVERIFY(!w.errorMessage());
        // The earlier files came first, shown and chosen, then the rest after them.
        QVERIFY(!sizesSeen.empty());
        QCOMPARE(sizesSeen.front(), earlier.size());
        QCOMPARE(w.results().size(), some.size());
        for (std::size_t i = 0; i < earlier.size(); ++i) QCOMPARE(w.results()[i].index, earlier[i].index);
        QCOMPARE(w.selection().size(), w.results().size());
        QCOMPARE(w.speedBase(), w.progress().resumedFrom);
        QVERIFY(w.speedBase() > 0);
    }

    void stoppingMovesToTheResultsWithScanCancelled() {
        TempDir dir;
        makeCard(dir / "card.img", jpegs_, 3);
        Workspace w;
        setUp(w, dir / "card.img", dir / "out");
        w.startScan();
        w.cancelScan();  // before the job has read anything
        WAIT_UNTIL(w.phase() == Workspace::Phase::results);
        QVERIFY(w.scanCancelled());
        QVERIFY(w.scanTask());  // kept
        QVERIFY(!w.errorMessage());
        // The stopped session is offered again.
        w.refreshResumable();
        WAIT_UNTIL(w.resumable().has_value());
        QCOMPARE(OptionalPath(w.resumable()->dir), w.stagingDir());
    }

    void speedLeavesOutWhatWasScannedBeforeTheResume() {
        TempDir dir;
        makeCard(dir / "card.img", {jpegs_.front()});
        Workspace w;
        setUp(w, dir / "card.img", dir / "out");
        QDateTime now = QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);
        w.setClock([&] { return now; });
        w.startScan();
        WAIT_UNTIL(w.phase() == Workspace::Phase::results);
        QCOMPARE(w.startedAt(), OptionalDate(QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC)));
        QCOMPARE(w.speed(), 0.0);  // no time has passed on this clock
        // The snapshots of a resumed scan of a large drive.
        CarveProgress first;
        first.resumedFrom = 5000000000;
        first.bytesScanned = 5000000000;
        first.totalBytes = 6000000000;
        w.applyScanProgress(first, {});
        QCOMPARE(w.speedBase(), 5000000000);
        CarveProgress later = first;
        later.bytesScanned = 5100000000;
        now = now.addSecs(10);
        w.applyScanProgress(later, {});
        QCOMPARE(w.speed(), 10000000.0);
        // A later snapshot does not move the base.
        CarveProgress again = later;
        again.resumedFrom = 1;
        w.applyScanProgress(again, {});
        QCOMPARE(w.speedBase(), 5000000000);
        QCOMPARE(formatSpeed(0), QStringLiteral("-"));
        QVERIFY(formatSpeed(w.speed()).endsWith(QStringLiteral("/秒")));
    }

    void filtersSearchCountsAndSelection() {
        Workspace w;
        const std::vector<CarvedFile> files{made(1, "jpg", false), made(2, "CR3", true),  made(3, "cr2", false),
                                            made(4, "NEF", true),  made(5, "mp4", false), made(6, "wav", true),
                                            made(7, "txt", false), made(8, "JPG", true, 7)};
        ResultsListModel list(&w);
        QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::QtTest);
        w.applyScanProgress(CarveProgress{}, files);
        const auto c = w.counts();
        QCOMPARE(c.all, 8);
        QCOMPARE(c.photo, 2);
        QCOMPARE(c.raw, 3);
        QCOMPARE(c.video, 1);
        QCOMPARE(c.audio, 1);
        QCOMPARE(c.ok, 4);
        QCOMPARE(c.partial, 4);
        QCOMPARE(c.all, c.ok + c.partial);
        QCOMPARE(list.rowCount(), 8);

        // Raw, damaged, "cr" in any case: CR3 only (NEF has no "cr").
        w.setTypeFilter(TypeFilter::raw);
        w.setStatusFilter(StatusFilter::partial);
        w.setSearchText(QStringLiteral("cr"));
        QCOMPARE(ids(w.filtered()), std::vector<std::string>{files[1].id});
        QCOMPARE(list.rowCount(), 1);
        QCOMPARE(list.data(list.index(0), ResultsListModel::StatusTextRole).toString(), QStringLiteral("一部破損"));
        // A file of no known class shows only under "all".
        w.setTypeFilter(TypeFilter::all);
        w.setStatusFilter(choosing(StatusFilter::anyStatus, StatusFilter::ok));
        w.setStatusFilter(choosing(w.statusFilter(), StatusFilter::ok));
        QCOMPARE(w.statusFilter(), StatusFilter::anyStatus);
        w.setSearchText(QStringLiteral("TXT"));
        QCOMPARE(ids(w.filtered()), std::vector<std::string>{files[6].id});
        QCOMPARE(list.data(list.index(0), ResultsListModel::MediaClassRole).toString(), QStringLiteral("ファイル"));
        w.setSearchText(QString());

        // Selection: everything found starts chosen; toggle focuses.
        QCOMPARE(w.selection().size(), files.size());
        w.deselectAll();
        QVERIFY(w.selection().empty());
        QCOMPARE(w.selectedTotalBytes(), 0);
        w.toggle(files[7].id);
        QCOMPARE(w.focusID(), OptionalId(files[7].id));
        QCOMPARE(w.focusedFile(), OptionalFile(files[7]));
        QCOMPARE(w.selectedTotalBytes(), 7);
        // Select-all under a filter keeps earlier choices the filter hides.
        w.setTypeFilter(TypeFilter::video);
        w.selectAllFiltered();
        QCOMPARE(w.selection(), (IdSet{files[7].id, files[4].id}));
        QCOMPARE(w.selectedTotalBytes(), 107);
        w.toggle(files[7].id);
        QCOMPARE(w.selection(), IdSet{files[4].id});
        QCOMPARE(w.selectedTotalBytes(), 100);
        w.deselectAll();
        QVERIFY(w.selection().empty());
        w.setFocusID(std::string("nobody"));
        QVERIFY(!w.focusedFile());
        // A found file on an image never warns of a failing drive.
        CarveProgress bad;
        bad.badBytes = 4096;
        w.setSelectedSource(SourceSelection::imageFile("/x.img"));
        w.applyScanProgress(bad, {});
        QVERIFY(!w.showFailingWarning());
        DiskDevice disk;
        disk.kernelName = "sdz";
        w.setSelectedSource(SourceSelection::device(disk));
        QVERIFY(w.showFailingWarning());
    }

    void recoveryCountsOnlyRecoveredFilesAndRevealsTheFirst() {
        TempDir dir;
        const std::vector<fs::path> three(jpegs_.begin(), jpegs_.begin() + 3);
        makeCard(dir / "card.img", three);
        Workspace w;
        std::vector<fs::path> revealed;
        setUp(w, dir / "card.img", dir / "out", &revealed);
        w.startScan();
        WAIT_UNTIL(w.phase() == Workspace::Phase::results);
        QCOMPARE(w.results().size(), 3u);
        // Two records whose names point out of the recovery folder: refused.
        CarvedFile outside = made(7, "jpg", false);
        outside.fileName = "../escape.jpg";
        CarvedFile wrong = made(8, "jpg", false);
        wrong.fileName = "JPG/rescued_000001.jpg";
        w.applyScanProgress(w.progress(), {outside, wrong});
        QCOMPARE(w.selection().size(), 5u);

        w.recoverSelected();
        QVERIFY(w.recovering());
        QCOMPARE(w.recoverTotal(), 5);
        w.recoverSelected();  // while recovering: nothing
        w.recoverOne(w.results().front());
        QCOMPARE(w.recoverTotal(), 5);
        WAIT_UNTIL(!w.recovering());
        QCOMPARE(w.recoverDone(), 3);
        QCOMPARE(w.toast(), OptionalString(QStringLiteral("3 件を復元しました")));
        QVERIFY(!w.errorMessage());
        WAIT_UNTIL(revealed.size() == 1);
        QVERIFY(fs::is_regular_file(revealed.front()));
        QCOMPARE(revealed.front().parent_path().parent_path().parent_path(), dir / "out");
        QVERIFY(revealed.front().parent_path().parent_path().filename().string().starts_with("復元済み_"));
        QCOMPARE(readFile(revealed.front()), readFile(three.front()));
        QVERIFY(!fs::exists(dir / "escape.jpg") && !fs::exists(dir / "out" / "escape.jpg"));
    }

    void aFullDestinationEndsTheScanResumablyAndLosesNothing() {
        std::string whyNot;
        auto tmpfs = SmallTmpfs::mount("4m", whyNot);
        if (!tmpfs) QSKIP(whyNot.c_str());
        TempDir dir;
        const int placed = makeCard(dir / "card.img", {jpegs_.front()}, 400, 0);
        writeFile(tmpfs->path() / "ballast", std::string((4 << 20) - (48 << 10), 'b'));
        Workspace w;
        setUp(w, dir / "card.img", tmpfs->path());
        w.startScan();
        WAIT_UNTIL(w.phase() != Workspace::Phase::scanning);
        QVERIFY2(w.errorMessage() == OptionalString(QString::fromUtf8(kOutOfSpaceResumable)),
                 qPrintable(w.errorMessage().value_or("none")));
        QCOMPARE(w.phase(), w.results().empty() ? Workspace::Phase::source : Workspace::Phase::results);
        WAIT_UNTIL(w.resumable().has_value());
        const fs::path session = w.resumable()->dir;
        // Every file the checkpoint vouches for was shown.
        const auto checkpoint = Session::open(session, Session::Lock::none).checkpoint();
        QVERIFY(checkpoint);
        QVERIFY(checkpoint->fileIndex < placed);
        QVERIFY(static_cast<std::int64_t>(w.results().size()) >= checkpoint->fileIndex);

        fs::remove(tmpfs->path() / "ballast");
        w.startScan(session);
        WAIT_UNTIL(w.phase() == Workspace::Phase::results);
        QVERIFY(!w.errorMessage());
        QCOMPARE(static_cast<int>(w.results().size()), placed);
        QCOMPARE(Session::foundIn(session).size(), static_cast<std::size_t>(placed));
    }

    void outOfSpaceIsKnownWhereverItIsWrapped() {
        try {
            try {
                try {
                    throw FileError(EDQUOT, "/x", "書き込めませんでした");
                } catch (...) {
                    std::throw_with_nested(Error("outer"));
                }
            } catch (...) {
                std::throw_with_nested(Error("outermost"));
            }
        } catch (const std::exception& e) {
            QVERIFY(models::isOutOfSpaceError(e));
            QCOMPARE(describeError(e, false), QString::fromUtf8(kOutOfSpace));
        }
        try {
            throw FileError(ENOSPC, "/x", "書き込めませんでした");
        } catch (const std::exception& e) {
            QCOMPARE(describeError(e, true), QString::fromUtf8(kOutOfSpaceResumable));
        }
        try {
            throw Error("ほかの理由");
        } catch (const std::exception& e) {
            QVERIFY(!models::isOutOfSpaceError(e));
            QCOMPARE(describeError(e, true), QStringLiteral("ほかの理由"));
        }
        QCOMPARE(formatBytes(1500000), QStringLiteral("1.5 MB"));
        QVERIFY(models::freeSpace("/tmp").has_value());
        QVERIFY(!models::freeSpace("/no/such/folder").has_value());
    }

    void aWorkspaceDestroyedWhileItsScanRunsLeavesTheJobToEndCleanly() {
        TempDir dir;
        makeCard(dir / "card.img", jpegs_, 2);
        auto* w = new Workspace;
        setUp(*w, dir / "card.img", dir / "out");
        w->startScan();
        const Task task = w->scanTask();
        delete w;
        waitForAllJobs();
        QCoreApplication::processEvents();  // the job's posts find no model
        QVERIFY(task->isFinished());
    }

    void aWorkspaceDestroyedWhileItRecoversLeavesTheRecoveryToEnd() {
        TempDir dir;
        const int placed = makeCard(dir / "card.img", jpegs_, 2);
        auto* w = new Workspace;
        std::vector<fs::path> revealed;
        setUp(*w, dir / "card.img", dir / "out", &revealed);
        ResultsListModel list(w);
        w->startScan();
        WAIT_UNTIL(w->phase() == Workspace::Phase::results);
        QCOMPARE(static_cast<int>(w->results().size()), placed);
        w->recoverSelected();
        QVERIFY(w->recovering());
        delete w;
        QCOMPARE(list.rowCount(), 0);
        waitForAllJobs();
        QCoreApplication::processEvents();
        // Every file was written and the first one is still shown.
        QCOMPARE(revealed.size(), 1u);
        QVERIFY(fs::is_regular_file(revealed.front()));
        int written = 0;
        for (const auto& e : fs::recursive_directory_iterator(revealed.front().parent_path().parent_path()))
            if (e.is_regular_file() && e.path().extension() == ".jpg") ++written;
        QCOMPARE(written, placed);
    }
    // 100,000 found files, 1,000 per turn as the scan hands them over: the
    // list never moves a file once it is in (views hold on to them between
    // turns), and every id, selection and row still resolves.
    void manyFoundFilesStayPutAndResolve() {
        Workspace w;
        ResultsListModel list(&w);
        QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::QtTest);
        constexpr int kFiles = 100000;
        std::vector<const CarvedFile*> held;
        qint64 total = 0;
        for (int first = 0; first < kFiles; first += 1000) {
            std::vector<CarvedFile> piece;
            for (int i = first; i < first + 1000; ++i) {
                piece.push_back(made(i, i % 7 == 0 ? "mp4" : "jpg", i % 11 == 0, 100 + i % 13));
                total += piece.back().length;
            }
            w.applyScanProgress(std::nullopt, piece);
            held.push_back(&w.results()[static_cast<std::size_t>(first)]);
            held.push_back(list.fileAt(first + 999));
        }
        for (std::size_t i = 0; i < held.size(); i += 2) {
            QCOMPARE(held[i], &w.results()[i / 2 * 1000]);
            QCOMPARE(held[i + 1], &w.results()[i / 2 * 1000 + 999]);
        }
        QCOMPARE(list.rowCount(), kFiles);
        QCOMPARE(w.selection().size(), std::size_t(kFiles));
        QCOMPARE(w.selectedTotalBytes(), total);
        for (int i = 0; i < kFiles; i += 997) {
            const auto& f = w.results()[static_cast<std::size_t>(i)];
            QCOMPARE(w.resultIndexOf(f.id), qsizetype(i));
            QVERIFY(w.isSelected(f.id));
        }
        QCOMPARE(w.resultIndexOf(makeUUID()), qsizetype(-1));
        const CarvedFile middle = w.results()[54321];
        w.toggle(middle.id);
        QVERIFY(!w.isSelected(middle.id));
        QCOMPARE(w.selection().size(), std::size_t(kFiles - 1));
        QCOMPARE(w.selectedTotalBytes(), total - middle.length);
        w.deselectAll();
        QVERIFY(w.selection().empty() && !w.isSelected(w.results()[0].id));
        QCOMPARE(w.selectedTotalBytes(), 0);
        w.setTypeFilter(TypeFilter::video);
        QSignalSpy changed(&w, &Workspace::selectionChanged);
        w.selectAllFiltered();
        QCOMPARE(changed.size(), 1);
        QCOMPARE(list.rowCount(), (kFiles + 6) / 7);
        QCOMPARE(w.selection().size(), std::size_t(list.rowCount()));
        qint64 videos = 0;
        for (int row = 0; row < list.rowCount(); ++row) videos += list.fileAt(row)->length;
        QCOMPARE(w.selectedTotalBytes(), videos);
        w.selectAllFiltered();  // nothing new: no change told
        QCOMPARE(changed.size(), 1);
        // The search over the whole list, in any letter case: files 120 to 129.
        w.setTypeFilter(TypeFilter::all);
        w.setSearchText(QStringLiteral("RESCUED_00012"));
        QCOMPARE(list.rowCount(), 10);
        QCOMPARE(list.fileAt(0)->index, 120);
        w.setSearchText(QStringLiteral("rescued_éa"));
        QCOMPARE(list.rowCount(), 0);
    }

    // The selection's table against a plain set through many growths, with
    // removals and lookups between them and while entries are still moving
    // to the larger table; the id index likewise against a plain map.
    void growingTablesKeepEveryEntry() {
        IdSet set;
        std::set<std::string> plainSet;
        SpreadTable<std::unordered_map<std::string, qsizetype>> map;
        std::map<std::string, qsizetype> plainMap;
        std::vector<std::string> keys;
        for (int i = 0; i < 6000; ++i) keys.push_back("id-" + std::to_string(i * 7919 % 6007));
        for (int i = 0; i < 6000; ++i) {
            const std::string& k = keys[static_cast<std::size_t>(i)];
            QCOMPARE(set.insert(k), plainSet.insert(k).second);
            QCOMPARE(set.insert(k), false);
            QCOMPARE(map.insert({k, i}), plainMap.insert({k, i}).second);
            QCOMPARE(map.insert({k, -1}), false);
            if (i % 5 == 0) {
                const std::string& gone = keys[static_cast<std::size_t>(i / 2)];
                QCOMPARE(set.erase(gone), plainSet.erase(gone));
                QCOMPARE(map.erase(gone), plainMap.erase(gone));
            }
            QCOMPARE(set.size(), plainSet.size());
            QCOMPARE(map.size(), plainMap.size());
            if (i % 251 == 0 || (i > 2040 && i < 2100)) {
                // Everything is found and walked exactly once.
                std::set<std::string> walked(set.begin(), set.end());
                QCOMPARE(walked.size(), set.size());
                QVERIFY(walked == plainSet);
                std::map<std::string, qsizetype> walkedMap(map.begin(), map.end());
                QVERIFY(walkedMap == plainMap);
                for (const auto& [key, value] : plainMap) {
                    const auto* entry = map.find(key);
                    QVERIFY(entry && entry->second == value);
                    QVERIFY(set.contains(key));
                }
                IdSet copy = set;
                QVERIFY(copy == set);
                if (!plainSet.empty()) {
                    QCOMPARE(copy.erase(*plainSet.begin()), std::size_t(1));
                    QVERIFY(!(copy == set));
                }
            }
        }
        QVERIFY(!set.contains("id-none"));
        QVERIFY(map.find("id-none") == nullptr);
        QVERIFY((IdSet{"a", "b"}) == (IdSet{"b", "a"}));
        set.clear();
        QVERIFY(set.empty() && set.begin() == set.end());
    }
};

QTEST_GUILESS_MAIN(WorkspaceTest)
#include "WorkspaceTest.moc"
