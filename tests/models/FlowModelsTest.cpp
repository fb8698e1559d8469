// The imaging, salvage and drive check models over real images, real
// faulty block devices, a real loop disk and a full tmpfs.

#include <fcntl.h>
#include <unistd.h>

#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include "engine/common/Files.h"
#include "models/ImagerModel.h"
#include "models/SalvageModel.h"
#include "models/StartModel.h"
#include "support/FaultyDevice.h"
#include "support/LoopDisk.h"
#include "support/SmallTmpfs.h"
#include "tests/models/ModelTestSupport.h"
#include "workflow/Outcome.h"
#include "workflow/SourceChecks.h"

using namespace tamsel;
using namespace tamsel::models;
using namespace tamsel::test;

namespace {

constexpr std::int64_t MiB = 1048576;

DiskDevice diskOf(const std::string& devicePath) {
    DiskDevice d;
    d.kernelName = fs::path(devicePath).filename().string();
    return d;
}

}  // namespace

class FlowModelsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void cleanup() { waitForAllJobs(); }

    // --- Imaging ---

    void imagingAnImageFileNamesItRescueAndStartNeedsAFolder() {
        TempDir dir;
        writeSparseMedium(dir / "card.img", 24 * MiB);
        ImagerModel m;
        QCOMPARE(m.state(), JobState::idle());
        QSignalSpy states(&m, &ImagerModel::stateChanged);
        m.setSource(SourceSelection::imageFile(dir / "card.img"));
        m.start();  // no folder: nothing
        QCOMPARE(states.count(), 0);
        QVERIFY(!m.task());
        m.setOutputRoot(dir / "out");
        m.start();
        QVERIFY(m.state().isRunning());
        QCOMPARE(m.imagePath(), OptionalPath(dir / "out" / "rescue.img"));
        WAIT_UNTIL(!m.state().isRunning());
        QCOMPARE(m.state().kind, JobState::Kind::done);
        QVERIFY2(m.state().message.startsWith(QStringLiteral("完了: ")), qPrintable(m.state().message));
        QVERIFY(!m.state().message.contains(QStringLiteral("読めなかった部分")));
        QCOMPARE(readFile(dir / "out" / "rescue.img"), readFile(dir / "card.img"));
        QCOMPARE(m.progress().bytesDone, 24 * MiB);
    }

    void aCancelledCopyResumesIntoTheSameImageAndCountsTheWholeSource() {
        TempDir dir;
        writeSparseMedium(dir / "medium.img", 64 * MiB);
        std::string why;
        // Slow reads, so that the stop lands in the middle.
        auto slow = SlowMedium::create(dir / "medium.img", 30, why);
        if (!slow) QSKIP(why.c_str());
        ImagerModel m;
        m.setSource(SourceSelection::imageFile(slow->path()));
        m.setOutputRoot(dir / "out");
        m.start();
        WAIT_UNTIL(m.progress().bytesDone >= 8 * MiB);
        m.cancel();
        WAIT_UNTIL(!m.state().isRunning());
        QCOMPARE(m.state().kind, JobState::Kind::done);
        QVERIFY2(m.state().message.startsWith(QStringLiteral("中断しました(")), qPrintable(m.state().message));
        QVERIFY(m.state().message.endsWith(QStringLiteral(" まで完了・同じ保存先で再開できます)")));
        const OptionalPath first = m.imagePath();

        m.start();
        WAIT_UNTIL(!m.state().isRunning());
        QCOMPARE(m.imagePath(), first);
        QVERIFY(m.progress().resumedFrom >= 1);
        QCOMPARE(m.progress().bytesDone, 64 * MiB);
        QVERIFY2(m.state().message.startsWith(QStringLiteral("完了: ")), qPrintable(m.state().message));
        QCOMPARE(readFile(*first), readFile(dir / "medium.img"));
    }

    void summariesTellTheUnreadableRangesOfAFaultyDrive() {
        TempDir dir;
        writeSparseMedium(dir / "medium.img", 40 * MiB);
        const std::vector<BadRange> bad{{4096, 4096}, {16 * MiB, 4096}, {32 * MiB + 8192, 4096}};
        std::string why;
        auto device = FaultyDevice::create(dir / "medium.img", bad, why);
        if (!device) QSKIP(why.c_str());
        ImagerModel m;
        m.setSource(SourceSelection::device(diskOf(device->devicePath())));
        m.setOutputRoot(dir / "out");
        QVERIFY(m.startBlocker().isEmpty());
        m.start();
        QCOMPARE(m.imagePath(), OptionalPath(dir / "out" / (diskOf(device->devicePath()).kernelName + ".img")));
        WAIT_UNTIL(!m.state().isRunning());
        QCOMPARE(m.progress().badRangeCount, 3);
        QCOMPARE(m.progress().badBytes, 12288);
        QVERIFY2(m.state() == JobState::done(QStringLiteral("完了: 41.9 MB を吸い出しました(読めなかった部分: 12 KB・3 箇所)")), qPrintable(m.state().message));

        // The drive check of the same device gives a failing verdict.
        StartModel s;
        s.setSource(SourceSelection::device(diskOf(device->devicePath())));
        s.probe();
        QCOMPARE(s.step(), StartModel::Step::probing);
        WAIT_UNTIL(s.step() == StartModel::Step::result);
        QVERIFY(s.health());
        QCOMPARE(s.health()->verdict, DriveHealth::Verdict::failing);
        QVERIFY(s.shouldPreserveFirst());
        QCOMPARE(s.probeProgress(), 1.0);
    }

    void aFullDestinationFailsResumably() {
        std::string why;
        auto tmpfs = SmallTmpfs::mount("4m", why);
        if (!tmpfs) QSKIP(why.c_str());
        TempDir dir;
        writeSparseMedium(dir / "card.img", 24 * MiB);
        ImagerModel m;
        m.setSource(SourceSelection::imageFile(dir / "card.img"));
        m.setOutputRoot(tmpfs->path() / "out");
        m.start();
        WAIT_UNTIL(!m.state().isRunning());
        QCOMPARE(m.state(), JobState::failed(QString::fromUtf8(kOutOfSpaceResumable)));

        SalvageModel s;
        fs::create_directories(dir / "src");
        writeFile(dir / "src" / "a.jpg", randomBytes(6 * MiB, 1));
        s.setSrcFolder(dir / "src");
        s.setDstFolder(tmpfs->path() / "salvage");
        s.start();
        WAIT_UNTIL(!s.state().isRunning());
        QCOMPARE(s.state(), JobState::failed(QString::fromUtf8(kOutOfSpaceResumable)));
    }

    void theSourceDiskIsNeverADestination() {
        std::string why;
        auto disk = LoopDisk::create("64M", why);
        if (!disk) QSKIP(why.c_str());
        ImagerModel m;
        m.setSource(SourceSelection::device(diskOf(disk->devicePath())));
        QSignalSpy blocker(&m, &ImagerModel::startBlockerChanged);
        m.setOutputRoot(disk->mountPath() / "out");
        QCOMPARE(blocker.count(), 1);
        QCOMPARE(m.startBlocker(), QString::fromUtf8(kSameDiskMessage));
        m.start();
        QCOMPARE(m.state(), JobState::failed(QString::fromUtf8(kSameDiskMessage)));
        QVERIFY(!m.task());
        QVERIFY(!fs::exists(disk->mountPath() / "out"));

        SalvageModel s;
        fs::create_directories(disk->mountPath() / "photos");
        s.setSrcFolder(disk->mountPath() / "photos");
        s.setDstFolder(disk->mountPath() / "copy");
        QCOMPARE(s.startBlocker(), QString::fromUtf8(kSameDiskMessage));
        s.start();
        QCOMPARE(s.state(), JobState::failed(QString::fromUtf8(kSameDiskMessage)));
        QVERIFY(!fs::exists(disk->mountPath() / "copy"));
    }

    // --- Salvage ---

    void salvagePreviewsCopiesSkipsAndCountsOnlyMedia() {
        TempDir dir;
        TempDir dst(kNoDiskFolder);
        TempDir src(kNoDiskFolder);
        const auto jpegs = corpusJpegs();
        fs::copy_file(jpegs[0], src / "a.jpg");
        fs::create_directories(src / "sub");
        fs::copy_file(jpegs[1], src / "sub" / "b.JPG");
        writeFile(src / "notes.txt", "text");
        SalvageModel m;
        QVERIFY(m.mediaOnly());
        m.setSrcFolder(src.path());
        m.setDstFolder(dst / "copy");
        QVERIFY(m.startBlocker().isEmpty());

        m.preview();
        QVERIFY(m.lastRunWasDryRun());
        WAIT_UNTIL(!m.state().isRunning());
        QVERIFY2(m.state().message.startsWith(QStringLiteral("下見の結果: 2 件・")), qPrintable(m.state().message));
        // The text file is counted as left out, not dropped silently.
        QVERIFY2(m.state().message.endsWith(QStringLiteral(" がコピー対象です(まだ何もコピーしていません)・対象外 1 件")),
                 qPrintable(m.state().message));
        QVERIFY(!fs::exists(dst / "copy"));
        QVERIFY(m.lastRunWasDryRun());

        m.start();
        QVERIFY(!m.lastRunWasDryRun());
        WAIT_UNTIL(!m.state().isRunning());
        QCOMPARE(m.state(), JobState::done(QStringLiteral("完了: 2 件コピー・対象外 1 件")));
        QCOMPARE(readFile(dst / "copy" / "sub" / "b.JPG"), readFile(jpegs[1]));
        QVERIFY(!fs::exists(dst / "copy" / "notes.txt"));

        m.start();
        WAIT_UNTIL(!m.state().isRunning());
        QCOMPARE(m.state(), JobState::done(QStringLiteral("完了: 0 件コピー・2 件はコピー済みでスキップ・対象外 1 件")));
        QCOMPARE(m.progress().filesSkipped, 2);

        // Only text: nothing to copy.
        TempDir texts(kNoDiskFolder);
        writeFile(texts / "a.txt", "a");
        m.setSrcFolder(texts.path());
        m.setDstFolder(dst / "texts");
        m.preview();
        WAIT_UNTIL(!m.state().isRunning());
        QVERIFY(m.state().message.startsWith(QStringLiteral("下見の結果: 0 件・")));
        m.start();
        WAIT_UNTIL(!m.state().isRunning());
        QCOMPARE(m.state(), JobState::done(QStringLiteral("完了: 0 件コピー・対象外 1 件")));
    }

    void aCancelledSalvageSaysItCanBeResumed() {
        TempDir src(kNoDiskFolder);
        TempDir dst(kNoDiskFolder);
        for (int i = 0; i < 40; ++i) writeFile(src / ("f" + std::to_string(i) + ".jpg"), randomBytes(256 * 1024, static_cast<std::uint64_t>(i)));
        SalvageModel m;
        m.setSrcFolder(src.path());
        m.setDstFolder(dst / "copy");
        m.start();
        m.cancel();  // before the first file
        WAIT_UNTIL(!m.state().isRunning());
        QCOMPARE(m.state(), JobState::done(QStringLiteral("中断しました(再開できます)")));
        QVERIFY(m.progress().filesCopied < 40);
        m.start();
        WAIT_UNTIL(!m.state().isRunning());
        QVERIFY2(m.state().message.startsWith(QStringLiteral("完了: ")), qPrintable(m.state().message));
        QCOMPARE(m.progress().filesCopied + m.progress().filesSkipped, 40);
    }

    // --- Drive check ---

    void adviceFollowsSymptomsAndTheVerdict() {
        TempDir dir;
        writeSparseMedium(dir / "card.img", 48 * MiB);
        StartModel m;
        QCOMPARE(m.step(), StartModel::Step::ask);
        QVERIFY(!m.shouldPreserveFirst());
        m.probe();  // no source: nothing
        QCOMPARE(m.probeRuns(), 0);
        m.setSource(SourceSelection::imageFile(dir / "card.img"));
        m.probe();
        QCOMPARE(m.probeRuns(), 1);
        m.probe();  // while probing: nothing
        QCOMPARE(m.probeRuns(), 1);
        WAIT_UNTIL(m.step() == StartModel::Step::result);
        QVERIFY(m.health());
        QVERIFY(!m.health()->smartStatus);  // an image has no SMART status
        QCOMPARE(m.health()->samplesRead, 48);
        if (m.health()->verdict != DriveHealth::Verdict::noSignsFound) QSKIP("the machine reads this image too slowly");
        QVERIFY(!m.shouldPreserveFirst());
        QCOMPARE(QString::fromStdString(m.advice().heading), QStringLiteral("サンプルの範囲では異常は見つかりませんでした"));

        QSignalSpy advice(&m, &StartModel::shouldPreserveFirstChanged);
        m.setReportsNoise(true);  // a clean drive that clicks
        QVERIFY(m.shouldPreserveFirst());
        QCOMPARE(QString::fromStdString(m.advice().heading), QStringLiteral("先に保全(イメージ化)をおすすめします"));
        m.setReportsErrors(true);
        m.setReportsNoise(false);
        QVERIFY(m.shouldPreserveFirst());
        m.setReportsErrors(false);
        QVERIFY(!m.shouldPreserveFirst());
        QCOMPARE(advice.count(), 2);
        QCOMPARE(m.step(), StartModel::Step::result);
    }

    void aSlowDriveWithoutSymptomsIsSuspectAndPreservedFirst() {
        TempDir dir;
        writeSparseMedium(dir / "card.img", 48 * MiB);
        std::string why;
        // 1.5 MB a second, below the 2 MiB a second a healthy card gives.
        auto slow = SlowMedium::limitedTo(dir / "card.img", 1500000, why);
        if (!slow) QSKIP(why.c_str());
        StartModel m;
        m.setSource(SourceSelection::imageFile(slow->path()));
        QSignalSpy advice(&m, &StartModel::shouldPreserveFirstChanged);
        m.probe();
        // 48 samples of 1 MiB: about half a minute.
        QTRY_VERIFY_WITH_TIMEOUT(m.step() == StartModel::Step::result, 240000);
        QVERIFY(m.health());
        QCOMPARE(m.health()->verdict, DriveHealth::Verdict::suspect);
        QCOMPARE(m.health()->badBytes, 0);
        QVERIFY(!m.reportsNoise() && !m.reportsErrors());
        QVERIFY(m.shouldPreserveFirst());
        QCOMPARE(advice.count(), 1);
        QCOMPARE(QString::fromStdString(m.advice().heading), QStringLiteral("先に保全(イメージ化)をおすすめします"));
        // Unticking symptoms that were never ticked leaves the verdict's advice.
        m.setReportsNoise(true);
        m.setReportsNoise(false);
        QVERIFY(m.shouldPreserveFirst());
        QCOMPARE(advice.count(), 1);
    }

    void cancelReturnsToAskAndAnUnopenableSourceIsTold() {
        TempDir dir;
        writeSparseMedium(dir / "card.img", 48 * MiB);
        std::string why;
        auto slow = SlowMedium::create(dir / "card.img", 30, why);
        if (!slow) QSKIP(why.c_str());
        StartModel m;
        m.setSource(SourceSelection::imageFile(slow->path()));
        m.probe();
        WAIT_UNTIL(m.probeProgress() > 0);
        m.cancel();
        QCOMPARE(m.step(), StartModel::Step::ask);
        QCOMPARE(m.probeRuns(), 1);
        waitForAllJobs();
        QCoreApplication::processEvents();
        QCOMPARE(m.step(), StartModel::Step::ask);  // the stopped probe's partial verdict is not shown
        QVERIFY(!m.health());

        m.setSource(SourceSelection::imageFile(dir / "missing.img"));
        m.probe();
        WAIT_UNTIL(m.step() == StartModel::Step::ask);
        QVERIFY(m.errorMessage());
        QVERIFY(!m.health());
        QCOMPARE(m.probeRuns(), 2);
    }

    void modelsDestroyedWhileTheirJobsRunLetThemEnd() {
        TempDir dir;
        TempDir dst(kNoDiskFolder);
        writeSparseMedium(dir / "card.img", 32 * MiB);
        auto* imager = new ImagerModel;
        imager->setSource(SourceSelection::imageFile(dir / "card.img"));
        imager->setOutputRoot(dst / "img");
        imager->start();
        auto* check = new StartModel;
        check->setSource(SourceSelection::imageFile(dir / "card.img"));
        check->probe();
        TempDir src(kNoDiskFolder);
        for (int i = 0; i < 40; ++i) writeFile(src / ("f" + std::to_string(i) + ".jpg"), randomBytes(256 * 1024, static_cast<std::uint64_t>(i)));
        auto* salvage = new SalvageModel;
        salvage->setSrcFolder(src.path());
        salvage->setDstFolder(dst / "copy");
        salvage->start();
        const Task copy = imager->task();
        const Task probe = check->task();
        const Task rescue = salvage->task();
        delete imager;
        delete check;
        delete salvage;
        waitForAllJobs();
        QCoreApplication::processEvents();  // their posts find no model
        QVERIFY(copy->isFinished() && probe->isFinished() && rescue->isFinished());
        // The copies went on to their end without their screens.
        QCOMPARE(readFile(dst / "img" / "rescue.img"), readFile(dir / "card.img"));
        for (int i = 0; i < 40; ++i) {
            const std::string name = "f" + std::to_string(i) + ".jpg";
            QCOMPARE(readFile(dst / "copy" / name), readFile(src / name));
        }
    }
};

QTEST_GUILESS_MAIN(FlowModelsTest)
#include "FlowModelsTest.moc"
