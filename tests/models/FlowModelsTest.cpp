// The imaging, salvage and drive check models over real images, a slow
// medium and a full tmpfs; what their screens show is tested with the screens.

#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include "engine/common/Files.h"
#include "models/ImagerModel.h"
#include "models/SalvageModel.h"
#include "models/StartModel.h"
#include "support/FaultyDevice.h"
#include "support/Process.h"
#include "support/SmallTmpfs.h"
#include "tests/models/ModelTestSupport.h"
#include "workflow/Outcome.h"

using namespace tamsel;
using namespace tamsel::models;
using namespace tamsel::test;

namespace {

constexpr std::int64_t MiB = 1048576;

}  // namespace

class FlowModelsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void cleanup() { waitForAllJobs(); }

    // The imaging model copies an image file whole once it has a folder; the
    // salvage model says a full destination can be resumed (the imaging
    // screen's test fills one too).
    void anImageFileIsCopiedWholeAndAFullSalvageFailsResumably() {
        TempDir dir;
        writeSparseMedium(dir / "card.img", 24 * MiB);
        ImagerModel m;
        QSignalSpy states(&m, &ImagerModel::stateChanged);
        m.setSource(SourceSelection::imageFile(dir / "card.img"));
        m.start();  // no folder: nothing
        QCOMPARE(states.count(), 0);
        QVERIFY(!m.task());
        m.setOutputRoot(dir / "out");
        m.start();
        QCOMPARE(m.imagePath(), OptionalPath(dir / "out" / "rescue.img"));
        WAIT_UNTIL(!m.state().isRunning());
        QVERIFY2(m.state().message.startsWith(QStringLiteral("完了: ")), qPrintable(m.state().message));
        QVERIFY(!m.state().message.contains(QStringLiteral("読めなかった部分")));
        QCOMPARE(m.state().kind, JobState::Kind::done);
        QCOMPARE(readFile(dir / "out" / "rescue.img"), readFile(dir / "card.img"));

        std::string why;
        auto tmpfs = SmallTmpfs::mount("4m", why);
        if (!tmpfs) QSKIP(why.c_str());
        SalvageModel s;
        fs::create_directories(dir / "src");
        writeFile(dir / "src" / "a.jpg", randomBytes(6 * MiB, 1));
        s.setSrcFolder(dir / "src");
        s.setDstFolder(tmpfs->path() / "salvage");
        s.start();
        WAIT_UNTIL(!s.state().isRunning());
        QCOMPARE(s.state(), JobState::failed(QString::fromUtf8(kOutOfSpaceResumable)));
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

    // A drive read slower than a healthy card, with no symptom ticked: the
    // measured speed alone asks for preserving first. The drive is smaller
    // than a sample, so the 48 reads are short, and a loop device read
    // unbuffered, so that no read after the first comes from the page cache.
    void aSlowDriveWithoutSymptomsIsSuspectAndPreservedFirst() {
        TempDir dir;
        writeFile(dir / "card.img", randomBytes(64 * 1024, 3));
        std::string why;
        auto slow = SlowMedium::limitedTo(dir / "card.img", 1500000, why);
        if (!slow) QSKIP(why.c_str());
        const ProcessResult loop = run({"losetup", "-r", "-f", "--show", "--direct-io=on", slow->path().string()});
        if (loop.exitCode != 0) QSKIP(("losetup failed: " + loop.output).c_str());
        const std::string device = loop.output.substr(0, loop.output.find('\n'));
        const std::shared_ptr<void> detach(nullptr, [&](void*) { run({"losetup", "-d", device}); });
        StartModel m;
        m.probe();  // no source: nothing
        QCOMPARE(m.probeRuns(), 0);
        m.setSource(SourceSelection::device(removableDisk(device, 64 * 1024)));
        QSignalSpy advice(&m, &StartModel::shouldPreserveFirstChanged);
        m.probe();
        m.probe();  // while probing: nothing
        QCOMPARE(m.probeRuns(), 1);
        WAIT_UNTIL(m.step() == StartModel::Step::result);
        QVERIFY(m.health());
        QCOMPARE(m.health()->samplesRead, 48);
        QCOMPARE(m.health()->verdict, DriveHealth::Verdict::suspect);
        QVERIFY(m.shouldPreserveFirst());
        QCOMPARE(advice.count(), 1);
        QCOMPARE(QString::fromStdString(m.advice().heading), QStringLiteral("先に保全(イメージ化)をおすすめします"));
        // Unticking symptoms that were never ticked leaves the verdict's advice.
        m.setReportsNoise(true);
        m.setReportsNoise(false);
        QVERIFY(m.shouldPreserveFirst());
        QCOMPARE(advice.count(), 1);
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
