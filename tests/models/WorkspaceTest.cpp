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
    f.index = index;
    f.offset = index * 1000;
    f.length = length;
    f.ext = ext;
    f.fileName = upperCased(ext) + "/" + rescuedFileName(index, ext);
    f.damaged = damaged;
    return f;
}

// The stable indexes of the files a list model lists.
std::vector<std::int64_t> listed(const ResultsListModel& list) {
    std::vector<std::int64_t> out;
    for (int row = 0; row < list.rowCount(); ++row) out.push_back(list.fileAt(row)->index);
    return out;
}

}  // namespace

class WorkspaceTest : public QObject {
    Q_OBJECT

    std::vector<fs::path> jpegs_ = corpusJpegs();

    // A workspace in carve mode over `image` into `dest`, revealing into `revealed`.
    void setUp(Workspace& w, const fs::path& image, const fs::path& dest, std::vector<fs::path>* revealed = nullptr) {
        w.window().setMode(WindowState::Mode::carve);
        w.job().setSelectedSource(SourceSelection::imageFile(image));
        w.job().setDestinationRoot(dest);
        w.job().setRevealer([revealed](const fs::path& p) {
            if (revealed) revealed->push_back(p);
        });
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void cleanup() { waitForAllJobs(); }

    void scanListsEveryFileSelectedWithThumbnailsAndTheListModelFollows() {
        TempDir dir;
        const int placed = makeCard(dir / "card.img", jpegs_, 1);
        Workspace w;
        setUp(w, dir / "card.img", dir / "out");
        ResultsListModel list(&w);
        QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy appended(&w.results(), &FoundFiles::appended);
        QSignalSpy resets(&list, &QAbstractItemModel::modelReset);
        w.job().startScan();
        QCOMPARE(w.job().phase(), CarveJob::Phase::scanning);
        QVERIFY(w.job().scanTask());
        WAIT_UNTIL(w.job().phase() == CarveJob::Phase::results);
        QVERIFY(!w.job().scanCancelled());
        QVERIFY(!w.window().errorMessage());
        QVERIFY(static_cast<int>(w.results().size()) >= placed);
        QCOMPARE(static_cast<std::int64_t>(w.results().size()), w.job().progress().filesFound);
        QCOMPARE(w.selection().count(), w.results().size());
        QCOMPARE(w.selection().current(), std::optional<qint64>(w.results().front().index));
        QVERIFY(w.job().stagingDir());
        QCOMPARE(Session::foundIn(*w.job().stagingDir()).size(), w.results().size());
        for (const auto& f : w.results())
            if (w.results().kind(f) == MediaClass::photo)
                QVERIFY2(fs::exists(media::ThumbnailFiles::thumbnailPath(*w.job().stagingDir(), f.index)), w.results().fileName(f).c_str());
        // Rows were inserted as files came, never rebuilt during the scan.
        QVERIFY(appended.count() >= 1);
        QCOMPARE(resets.count(), 0);
        QCOMPARE(list.rowCount(), static_cast<int>(w.results().size()));
        QCOMPARE(list.data(list.index(0), ResultsListModel::IndexRole).toLongLong(), w.results()[0].index);
        QCOMPARE(list.data(list.index(0), ResultsListModel::SelectedRole).toBool(), true);

        // Unticking a row goes through toggle: the selection and focus follow.
        QSignalSpy changed(&list, &QAbstractItemModel::dataChanged);
        QVERIFY(list.setData(list.index(1), Qt::Unchecked, Qt::CheckStateRole));
        QVERIFY(!w.selection().contains(w.results()[1].index));
        QCOMPARE(w.selection().current(), std::optional<qint64>(w.results()[1].index));
        // Its box, and the current file's mark moved from the first.
        QCOMPARE(changed.count(), 3);
        QCOMPARE(changed.first().at(0).toModelIndex().row(), 1);
        QVERIFY(list.data(list.index(1), ResultsListModel::CurrentRole).toBool());
        QVERIFY(!list.data(list.index(0), ResultsListModel::CurrentRole).toBool());
        QVERIFY(w.job().speed() > 0);
        QVERIFY(!w.job().showFailingWarning());
    }

    // A session folder on disk: only the rows in view (and a few around)
    // load; a row whose thumbnail is not written waits for the scan's word;
    // a marker is no picture; the decoded pictures keep to their bound.
    void thumbnailRolesFollowTheRowsInViewAndTheScansWord() {
        TempDir dir;
        const int placed = makeCard(dir / "card.img", {jpegs_.front()}, 40);
        Workspace w;
        setUp(w, dir / "card.img", dir / "out");
        QSignalSpy written(&w.job(), &CarveJob::thumbnailWritten);
        w.job().startScan();
        WAIT_UNTIL(w.job().phase() == CarveJob::Phase::results);
        QCOMPARE(static_cast<int>(w.results().size()), placed);
        QCOMPARE(written.count(), placed);
        QVERIFY(written.first().at(1).toBool());
        const fs::path session = *w.job().stagingDir();
        auto indexOf = [&](int row) { return w.results()[static_cast<std::size_t>(row)].index; };
        auto jpeg = [&](int row) { return media::ThumbnailFiles::thumbnailPath(session, indexOf(row)); };
        // Row 1 is written later, row 2 holds no picture, row 3 never comes.
        fs::rename(jpeg(1), dir / "later.jpg");
        fs::remove(jpeg(2));
        writeFile(media::ThumbnailFiles::markerPath(session, indexOf(2)), "");
        fs::remove(jpeg(3));
        w.job().setPhase(CarveJob::Phase::scanning);  // as while its scan still runs

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
        emit w.job().thumbnailWritten(indexOf(1), true);
        WAIT_UNTIL(state(list, 1) == ThumbnailState::picture);
        // The scan over: what never came has no picture.
        w.job().setPhase(CarveJob::Phase::results);
        WAIT_UNTIL(state(list, 3) == ThumbnailState::none);

        // The focused file loads wherever it is listed; larger tiles load their rows again.
        w.selection().setCurrent(w.results()[30].index);
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
        const int placed = makeCard(dir / "card.img", {jpegs_.front()}, 1200);
        Workspace w;
        setUp(w, dir / "card.img", dir / "out");
        ResultsListModel list(&w);
        std::vector<qsizetype> pieces;
        connect(&w.results(), &FoundFiles::appended, this, [&](qsizetype, qsizetype count) { pieces.push_back(count); });
        bool ahead = false;  // a snapshot counting files the list does not hold yet
        connect(&w.job(), &CarveJob::progressChanged, this, [&] {
            if (w.job().progress().filesFound > static_cast<std::int64_t>(w.results().size())) ahead = true;
        });
        w.job().startScan();
        waitForAllJobs();  // every file found before the UI thread takes any
        WAIT_UNTIL(w.job().phase() == CarveJob::Phase::results);
        QCOMPARE(static_cast<int>(w.results().size()), placed);
        QCOMPARE(list.rowCount(), placed);
        QVERIFY(pieces.size() >= 2);
        for (const qsizetype n : pieces) QVERIFY2(n <= 1000, qPrintable(QString::number(n)));
        QVERIFY(!ahead);
        QCOMPARE(w.job().progress().filesFound, static_cast<std::int64_t>(placed));
        QCOMPARE(w.selection().count(), w.results().size());
    }

    void resumeFindsTheSessionOfThisExactPathContinuesItAndTimesOnlyTheRest() {
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
        QSignalSpy looked(&w.job(), &CarveJob::resumableChanged);
        w.job().refreshResumable();
        QVERIFY(!w.job().resumable());  // not until the lookup posts
        WAIT_UNTIL(looked.count() == 1);
        QVERIFY(w.job().resumable());
        QCOMPARE(w.job().resumable()->dir, dir / "out" / "staging_20000101_000000");

        // Another spelling of the same file is another source path.
        Workspace other;
        setUp(other, dir.path() / "." / "card.img", dir / "out");
        QSignalSpy otherLooked(&other.job(), &CarveJob::resumableChanged);
        other.job().refreshResumable();
        waitForAllJobs();
        QCoreApplication::processEvents();
        QVERIFY(!other.job().resumable());
        // Another card at the same path (its first bytes differ) is offered nothing.
        const auto original = readFile(dir / "card.img");
        auto changed = original;
        std::fill(changed.begin(), changed.begin() + 65536, std::uint8_t(0x5A));
        writeFile(dir / "card.img", changed);
        w.job().refreshResumable();
        waitForAllJobs();
        QCoreApplication::processEvents();
        QVERIFY(!w.job().resumable());
        writeFile(dir / "card.img", original);
        // Outside the carve mode the lookup clears at once.
        w.window().setMode(WindowState::Mode::start);
        w.job().refreshResumable();
        QVERIFY(!w.job().resumable());
        w.window().setMode(WindowState::Mode::carve);
        w.job().refreshResumable();
        WAIT_UNTIL(w.job().resumable().has_value());

        const fs::path session = w.job().resumable()->dir;
        std::vector<std::size_t> sizesSeen;
        connect(&w.results(), &FoundFiles::appended, this, [&](qsizetype first, qsizetype count) {
            sizesSeen.push_back(static_cast<std::size_t>(first + count));
        });
        const QDateTime started = QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);
        QDateTime now = started;
        w.job().setClock([&] { return now; });
        w.job().startScan(session);
        QCOMPARE(w.job().startedAt(), OptionalDate(started));
        QCOMPARE(w.job().stagingDir(), OptionalPath(session));
        QVERIFY(!w.job().resumable());
        WAIT_UNTIL(w.job().phase() == CarveJob::Phase::results);
        QVERIFY(!w.window().errorMessage());
        // The earlier files came first, shown and chosen, then the rest after them.
        QVERIFY(!sizesSeen.empty());
        QCOMPARE(sizesSeen.front(), earlier.size());
        QCOMPARE(w.results().size(), some.size());
        for (std::size_t i = 0; i < earlier.size(); ++i) QCOMPARE(w.results()[i].index, earlier[i].index);
        QCOMPARE(w.selection().count(), w.results().size());
        // The speed leaves out what was scanned before the resume, and a
        // later snapshot does not move that base.
        const std::int64_t base = w.job().progress().resumedFrom;
        QVERIFY(base > 0);
        QCOMPARE(w.job().speedBase(), base);
        QCOMPARE(w.job().speed(), 0.0);  // no time has passed on this clock
        CarveProgress later = w.job().progress();
        later.bytesScanned = base + 100000000;
        later.resumedFrom = 1;
        now = now.addSecs(10);
        w.job().applyScanProgress(later, {});
        QCOMPARE(w.job().speedBase(), base);
        QCOMPARE(w.job().speed(), 10000000.0);
        QVERIFY(formatSpeed(w.job().speed()).endsWith(QStringLiteral("/秒")));
    }


    // Also: a change signal fires only on a real change; setters start nothing,
    // and without a source neither does a scan.
    void filtersSearchAndCounts() {
        Workspace w;
        QSignalSpy modes(&w.window(), &WindowState::modeChanged);
        QSignalSpy phase(&w.job(), &CarveJob::phaseChanged);
        w.window().setMode(WindowState::Mode::carve);
        w.window().setMode(WindowState::Mode::carve);
        QCOMPARE(modes.count(), 1);
        QSignalSpy resumable(&w.job(), &CarveJob::resumableChanged);
        w.job().setDestinationRoot(fs::path("/nowhere"));
        QCOMPARE(resumable.count(), 0);
        w.job().startScan();
        QCOMPARE(phase.count(), 0);
        QVERIFY(!w.job().scanTask());
        std::vector<CarvedFile> files{made(1, "jpg", false), made(2, "CR3", true),  made(3, "cr2", false),
                                      made(4, "NEF", true),  made(5, "mp4", false), made(6, "wav", true),
                                      made(7, "txt", false), made(8, "JPG", true, 700)};
        for (int i = 0; i < 3; ++i) files[std::size_t(i)].modified = 1700000100 + 100 * i;
        files[5].originalPath = "DCIM/ZZZ.WAV";
        ResultsListModel list(&w);
        QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::QtTest);
        w.job().applyScanProgress(CarveProgress{}, FoundBatch::of(files));
        const auto c = w.results().counts();
        QCOMPARE(c.all, 8);
        QCOMPARE(c.photo, 2);
        QCOMPARE(c.raw, 3);
        QCOMPARE(c.video, 1);
        QCOMPARE(c.audio, 1);
        QCOMPARE(c.ok, 4);
        QCOMPARE(c.partial, 4);

        // Raw, damaged, "cr" in any case: CR3 only (NEF has no "cr").
        w.results().setTypeFilter(TypeFilter::raw);
        w.results().setStatusFilter(StatusFilter::partial);
        w.results().setSearchText(QStringLiteral("cr"));
        QCOMPARE(listed(list), std::vector<std::int64_t>{files[1].index});
        QCOMPARE(list.data(list.index(0), ResultsListModel::StatusTextRole).toString(), QStringLiteral("一部破損"));
        // A file of no known class shows only under "all".
        w.results().setTypeFilter(TypeFilter::all);
        w.results().setStatusFilter(choosing(StatusFilter::anyStatus, StatusFilter::ok));
        w.results().setStatusFilter(choosing(w.results().statusFilter(), StatusFilter::ok));
        QCOMPARE(w.results().statusFilter(), StatusFilter::anyStatus);
        w.results().setSearchText(QStringLiteral("TXT"));
        QCOMPARE(listed(list), std::vector<std::int64_t>{files[6].index});
        QCOMPARE(list.data(list.index(0), ResultsListModel::MediaClassRole).toString(), QStringLiteral("ファイル"));
        // The kinds' words the filters show find their files.
        w.results().setSearchText(QStringLiteral("動画"));
        QCOMPARE(listed(list), std::vector<std::int64_t>{files[4].index});
        w.results().setSearchText(QStringLiteral("写真"));
        QCOMPARE(listed(list), (std::vector<std::int64_t>{files[0].index, files[7].index}));
        w.results().setSearchText(QString());

        // The orders the table's columns give, each way; ties and dateless files keep the found order.
        auto byList = [&](ResultSort key, bool descending) {
            w.results().setSort(key, descending);
            return listed(list);
        };
        using Order = std::vector<std::int64_t>;
        QCOMPARE(byList(ResultSort::size, true), (Order{8, 1, 2, 3, 4, 5, 6, 7}));
        QCOMPARE(byList(ResultSort::state, false), (Order{1, 3, 5, 7, 2, 4, 6, 8}));
        QCOMPARE(byList(ResultSort::type, false), (Order{1, 8, 3, 2, 4, 5, 6, 7}));
        QCOMPARE(byList(ResultSort::name, true), (Order{6, 8, 7, 5, 4, 3, 2, 1}));  // its own name first: "ZZZ.WAV"
        QCOMPARE(byList(ResultSort::date, true), (Order{3, 2, 1, 4, 5, 6, 7, 8}));
        QCOMPARE(list.data(list.index(0), ResultsListModel::DateRole).toLongLong(), 1700000300);
        QVERIFY(!list.data(list.index(7), ResultsListModel::DateRole).isValid());
        // Files found meanwhile take their place in it; the found order returns to appending.
        CarvedFile late = made(9, "jpg", false);
        late.modified = 1700000150;
        w.job().applyScanProgress(std::nullopt, FoundBatch::of({late}));
        QCOMPARE(listed(list), (Order{3, 2, 9, 1, 4, 5, 6, 7, 8}));
        QCOMPARE(byList(ResultSort::found, false), (Order{1, 2, 3, 4, 5, 6, 7, 8, 9}));

        w.selection().setCurrent(99);
        QVERIFY(!w.selection().currentFile());
        // A found file on an image never warns of a failing drive.
        CarveProgress bad;
        bad.badBytes = 4096;
        w.job().setSelectedSource(SourceSelection::imageFile("/x.img"));
        w.job().applyScanProgress(bad, {});
        QVERIFY(!w.job().showFailingWarning());
        DiskDevice disk;
        disk.kernelName = "sdz";
        w.job().setSelectedSource(SourceSelection::device(disk));
        QVERIFY(w.job().showFailingWarning());
    }

    // Also: a new scan lists afresh, whatever the last one was filtered by.
    void recoveryReportsWhatItWroteAndOpensItsFolderOnRequest() {
        TempDir dir;
        const std::vector<fs::path> three(jpegs_.begin(), jpegs_.begin() + 3);
        makeCard(dir / "card.img", three);
        Workspace w;
        std::vector<fs::path> revealed;
        setUp(w, dir / "card.img", dir / "out", &revealed);
        w.results().setTypeFilter(TypeFilter::video);
        w.results().setStatusFilter(StatusFilter::partial);
        w.results().setSearchText(QStringLiteral("zzz"));
        w.results().setSort(ResultSort::size, true);
        w.job().startScan();
        QCOMPARE(w.results().typeFilter(), TypeFilter::all);
        QCOMPARE(w.results().statusFilter(), StatusFilter::anyStatus);
        QVERIFY(w.results().searchText().isEmpty());
        QCOMPARE(w.results().sortKey(), ResultSort::found);
        WAIT_UNTIL(w.job().phase() == CarveJob::Phase::results);
        QCOMPARE(w.results().size(), 3u);
        // Two records whose names point out of the recovery folder: refused.
        CarvedFile outside = made(7, "jpg", false);
        outside.fileName = "../escape.jpg";
        CarvedFile wrong = made(8, "jpg", false);
        wrong.fileName = "JPG/rescued_000001.jpg";
        w.job().applyScanProgress(w.job().progress(), FoundBatch::of({outside, wrong}));
        QCOMPARE(w.selection().count(), 5);

        w.recoverSelected();
        QVERIFY(w.job().recovering());
        QCOMPARE(w.job().recoverTotal(), 5);
        w.recoverSelected();  // while recovering: nothing
        w.recoverOne(w.results().front().index);
        QCOMPARE(w.job().recoverTotal(), 5);
        WAIT_UNTIL(!w.job().recovering());
        QCOMPARE(w.job().recoverDone(), 3);
        const OptionalReport report = w.job().recoveryReport();
        QVERIFY(report && !report->error && !report->stopped);
        QCOMPARE(report->recovered, 3);
        QCOMPARE(report->failures.size(), 2u);
        QVERIFY(report->damaged.empty());
        QVERIFY(report->folder && report->folder->parent_path() == dir / "out");
        QVERIFY(report->folder->filename().string().starts_with("復元済み_"));
        QVERIFY(!w.window().errorMessage());
        // The folder itself, and only when asked.
        QVERIFY(revealed.empty());
        w.job().openRecoveryFolder();
        QCOMPARE(revealed, std::vector<fs::path>{*report->folder});
        const auto copy = w.job().recoveredCopy(w.results().front().index);
        QVERIFY(copy && copy->parent_path().parent_path() == *report->folder);
        QCOMPARE(readFile(*copy), readFile(three.front()));
        QVERIFY(!fs::exists(dir / "escape.jpg") && !fs::exists(dir / "out" / "escape.jpg"));

        // Again, stopped once a file is done: the report counts what was
        // written, and nothing half-written stays.
        w.job().stopRecovery();  // none runs: nothing to stop
        connect(&w.job(), &CarveJob::recoverDoneChanged, &w, [&w] { w.job().stopRecovery(); });
        w.recoverSelected();
        QVERIFY(!w.job().recoveryReport());
        WAIT_UNTIL(!w.job().recovering());
        QVERIFY(w.job().recoveryTask()->isCancelled());
        // Three small files may all be written before the stop arrives.
        const OptionalReport stopped = w.job().recoveryReport();
        QVERIFY(stopped && stopped->folder && stopped->folder != report->folder);
        int whole = 0;
        for (const auto& e : fs::recursive_directory_iterator(*stopped->folder)) {
            QVERIFY2(!e.path().filename().string().starts_with(kPartFilePrefix), e.path().c_str());
            whole += e.path().extension() == ".jpg";
        }
        QVERIFY(whole >= 1);
        QCOMPARE(stopped->recovered, whole);

        // A destination gone before the next: its error is the report's.
        fs::remove_all(dir / "out");
        w.recoverSelected();
        WAIT_UNTIL(!w.job().recovering());
        QVERIFY(w.job().recoveryReport() && w.job().recoveryReport()->error);
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
        w.job().startScan();
        WAIT_UNTIL(w.job().phase() != CarveJob::Phase::scanning);
        QVERIFY2(w.window().errorMessage() == OptionalString(QString::fromUtf8(kOutOfSpaceResumable)),
                 qPrintable(w.window().errorMessage().value_or("none")));
        QCOMPARE(w.job().phase(), w.results().empty() ? CarveJob::Phase::source : CarveJob::Phase::results);
        WAIT_UNTIL(w.job().resumable().has_value());
        const fs::path session = w.job().resumable()->dir;
        // Every file the checkpoint vouches for was shown.
        const auto checkpoint = Session::open(session, Session::Lock::none).checkpoint();
        QVERIFY(checkpoint);
        QVERIFY(checkpoint->fileIndex < placed);
        QVERIFY(static_cast<std::int64_t>(w.results().size()) >= checkpoint->fileIndex);

        fs::remove(tmpfs->path() / "ballast");
        w.job().startScan(session);
        WAIT_UNTIL(w.job().phase() == CarveJob::Phase::results);
        QVERIFY(!w.window().errorMessage());
        QCOMPARE(static_cast<int>(w.results().size()), placed);
        QCOMPARE(Session::foundIn(session).size(), static_cast<std::size_t>(placed));
    }



    // A workspace may go while its scan runs, or while it recovers: the job
    // ends cleanly, and a recovery still writes every file.
    void aWorkspaceDestroyedWhileItsJobsRunLeavesThemToEnd() {
        TempDir dir;
        const int placed = makeCard(dir / "card.img", jpegs_, 2);
        auto* scanning = new Workspace;
        setUp(*scanning, dir / "card.img", dir / "scanned");
        scanning->job().startScan();
        const Task scan = scanning->job().scanTask();
        delete scanning;
        waitForAllJobs();
        QCoreApplication::processEvents();  // the job's posts find no model
        QVERIFY(scan->isFinished());

        auto* w = new Workspace;
        setUp(*w, dir / "card.img", dir / "out");
        ResultsListModel list(w);
        w->job().startScan();
        WAIT_UNTIL(w->job().phase() == CarveJob::Phase::results);
        QCOMPARE(static_cast<int>(w->results().size()), placed);
        w->recoverSelected();
        QVERIFY(w->job().recovering());
        delete w;
        QCOMPARE(list.rowCount(), 0);
        waitForAllJobs();
        QCoreApplication::processEvents();
        int written = 0;
        for (const auto& e : fs::recursive_directory_iterator(dir / "out"))
            if (e.is_regular_file() && e.path().extension() == ".jpg" && e.path().string().find("復元済み_") != std::string::npos) ++written;
        QCOMPARE(written, placed);
    }
    // 20,000 found files, 1,000 per turn as the scan hands them over: the
    // list never moves a file once it is in (views hold on to them between
    // turns), every index, choice and row still resolves, and the files
    // read back as they came.
    void manyFoundFilesStayPutAndResolve() {
        Workspace w;
        ResultsListModel list(&w);
        QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::QtTest);
        constexpr int kFiles = 20000;
        // Some with what the card's file system kept of them.
        auto fileNumber = [](int i) {
            CarvedFile f = made(i, i % 7 == 0 ? "mp4" : "jpg", i % 11 == 0, 100 + i % 13);
            if (i % 5 == 0) {
                f.originalPath = "DCIM/100CANON/IMG_" + std::to_string(i) + ".JPG";
                f.modified = 1700000000 + i;
                f.dateSource = DateSource::fileSystem;
            }
            return f;
        };
        std::vector<const FoundFile*> held;
        qint64 total = 0;
        for (int first = 0; first < kFiles; first += 1000) {
            std::vector<CarvedFile> piece;
            for (int i = first; i < first + 1000; ++i) {
                piece.push_back(fileNumber(i));
                if (i % 11 == 0) piece.back().note = "note " + std::to_string(i);
                if (i % 997 == 0) piece.back().runs = {{piece.back().offset, 1}, {7, piece.back().length - 1}};
                total += piece.back().length;
            }
            w.job().applyScanProgress(std::nullopt, FoundBatch::of(piece));
            held.push_back(&w.results()[first]);
            held.push_back(list.fileAt(first + 999));
        }
        for (std::size_t i = 0; i < held.size(); i += 2) {
            QCOMPARE(held[i], &w.results()[qsizetype(i / 2 * 1000)]);
            QCOMPARE(held[i + 1], &w.results()[qsizetype(i / 2 * 1000 + 999)]);
        }
        QCOMPARE(list.rowCount(), kFiles);
        QCOMPARE(w.selection().count(), qsizetype(kFiles));
        QCOMPARE(w.selection().indexes().runs(), std::size_t(1));  // all chosen: one run
        QCOMPARE(w.selection().totalBytes(), total);
        for (int i = 0; i < kFiles; i += 997) {
            const auto& f = w.results()[i];
            QCOMPARE(w.results().positionOf(f.index), qsizetype(i));
            QVERIFY(w.selection().contains(f.index));
            CarvedFile expected = fileNumber(i);
            if (i % 11 == 0) expected.note = "note " + std::to_string(i);
            expected.runs = {{expected.offset, 1}, {7, expected.length - 1}};  // a file in pieces keeps them
            QCOMPARE(w.results().carvedFile(f), expected);
        }
        QCOMPARE(w.results().positionOf(kFiles), qsizetype(-1));
        const FoundFile middle = w.results()[12345];
        w.selection().toggle(middle.index);
        QVERIFY(!w.selection().contains(middle.index));
        QCOMPARE(w.selection().count(), qsizetype(kFiles - 1));
        QCOMPARE(w.selection().totalBytes(), total - middle.length);
        w.selection().deselectAll();
        QVERIFY(w.selection().empty() && !w.selection().contains(w.results()[0].index));
        QCOMPARE(w.selection().totalBytes(), 0);
        // Select-all under a filter keeps an earlier choice the filter hides.
        w.selection().toggle(middle.index);
        QCOMPARE(w.selection().current(), std::optional<qint64>(middle.index));
        w.results().setTypeFilter(TypeFilter::video);
        QSignalSpy changed(&w.selection(), &FileSelection::changed);
        w.selection().selectAllFiltered();
        QCOMPARE(changed.size(), 1);
        QCOMPARE(list.rowCount(), (kFiles + 6) / 7);
        QCOMPARE(w.selection().count(), qsizetype(list.rowCount() + 1));
        qint64 videos = middle.length;
        for (int row = 0; row < list.rowCount(); ++row) videos += list.fileAt(row)->length;
        QCOMPARE(w.selection().totalBytes(), videos);
        w.selection().selectAllFiltered();  // nothing new: no change told
        QCOMPARE(changed.size(), 1);
        // The search over the whole list, in any letter case: files 120 to 129.
        w.results().setTypeFilter(TypeFilter::all);
        w.results().setSearchText(QStringLiteral("RESCUED_00012"));
        QCOMPARE(list.rowCount(), 10);
        QCOMPARE(list.fileAt(0)->index, 120);
        w.results().setSearchText(QStringLiteral("rescued_éa"));
        QCOMPARE(list.rowCount(), 0);
    }

    // The choice's runs against a plain set, through insertions and
    // removals that extend, split, join and empty runs in a scattered order.
    void indexSetAgreesWithAPlainSet() {
        IndexSet set;
        std::set<std::int64_t> plain;
        for (int i = 0; i < 6000; ++i) {
            const std::int64_t k = i * 7919 % 6007 % 700;
            if (i % 3 == 2) QCOMPARE(set.erase(k), plain.erase(k) == 1);
            else QCOMPARE(set.insert(k), plain.insert(k).second);
            QCOMPARE(set.size(), std::int64_t(plain.size()));
            if (i % 97 == 0) {
                for (std::int64_t j = -2; j < 703; ++j) QCOMPARE(set.contains(j), plain.count(j) == 1);
                std::vector<std::int64_t> walked;
                set.forEach([&](std::int64_t j) { walked.push_back(j); });
                QVERIFY(walked == std::vector<std::int64_t>(plain.begin(), plain.end()));
            }
        }
        QCOMPARE((IndexSet{1, 2, 3, 5}).runs(), std::size_t(2));
        QVERIFY((IndexSet{3, 1, 2}) == (IndexSet{1, 2, 3}));
        set.clear();
        QVERIFY(set.empty() && !set.contains(0));
    }
};

QTEST_GUILESS_MAIN(WorkspaceTest)
#include "WorkspaceTest.moc"
