// The drive check, imaging and salvage screens and their shared controls,
// driven like a user would over the real models and engines: real image
// files, faulty block devices, a loop disk and a small tmpfs.

#include <QAccessible>
#include <QCheckBox>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStyleFactory>

#include <atomic>

#include "support/FaultyDevice.h"
#include "support/LoopDisk.h"
#include "support/SmallTmpfs.h"
#include "views/Choosers.h"
#include "views/FolderPickerRow.h"
#include "views/ImagerView.h"
#include "views/SalvageView.h"
#include "views/SourcePicker.h"
#include "views/StartView.h"
#include "views/Theme.h"
#include "tests/views/ViewTestSupport.h"
#include "workflow/Outcome.h"

using namespace tamsel;
using namespace tamsel::models;
using namespace tamsel::views;
using namespace tamsel::test;

namespace {

constexpr std::int64_t MiB = 1048576;

DiskDevice partOf(const std::string& name, std::string label, std::optional<std::string> mount) {
    DiskDevice d;
    d.kernelName = name;
    d.name = std::move(label);
    d.sizeBytes = 8 * 1000 * 1000 * 1000LL;
    d.mountPoint = std::move(mount);
    return d;
}

// A system of disks for the pickers: an internal SSD, an attached loop
// device and a zram disk always, and a camera card (one named mounted
// volume, one unmounted, an EFI partition) and an unnamed stick when `withCards`.
struct FakeDisks {
    std::atomic<bool> withCards = true;
    std::atomic<int> looks = 0;
    ~FakeDisks() {
        // A look under way may still be reading this.
        models::DiskList::setLister({});
        models::waitForAllJobs();
    }
    void install() {
        models::DiskList::setLister([this] {
            ++looks;
            disks::Snapshot s;
            DiskDevice ssd = removableDisk("nvme0n1", 512 * 1000 * 1000 * 1000LL, "NVMe", "Samsung SSD 870");
            ssd.isRemovable = false;
            ssd.isInternal = true;
            s.devices.push_back(ssd);
            s.devices.push_back(partOf("nvme0n1p1", "EFI", "/boot/efi"));
            for (const char* name : {"loop3", "zram0"}) {
                DiskDevice v = removableDisk(name, 64 * MiB, disks::kVirtualBus);
                v.isRemovable = false;
                v.isInternal = true;
                s.devices.push_back(v);
            }
            if (withCards) {
                s.devices.push_back(removableDisk("sdb", 32 * 1000 * 1000 * 1000LL));
                s.devices.push_back(partOf("sdb1", "EOS_DIGITAL", "/media/user/EOS_DIGITAL"));
                s.devices.push_back(partOf("sdb2", "", std::nullopt));
                s.devices.push_back(removableDisk("sdc", 16 * 1000 * 1000 * 1000LL));
            }
            return s;
        });
    }
};

// Whether some visible label under `root` shows `text` as it is, markup and
// all, judged by what the label gives a screen reader (what it draws).
bool showsLiterally(QWidget* root, const QString& text) {
    for (QLabel* l : root->findChildren<QLabel*>()) {
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(l);
        if (l->isVisibleTo(root) && a && a->text(QAccessible::Name).contains(text)) return true;
    }
    return false;
}

// The chips' states, first to third.
std::vector<StepState> chipStates(const StartView& v) {
    return {v.chip(0)->state(), v.chip(1)->state(), v.chip(2)->state()};
}

// Whether the top of `section` lies inside the scroll area's viewport.
bool scrolledInto(QScrollArea* area, QWidget* section) {
    const int top = section->mapTo(area->viewport(), QPoint(0, 0)).y();
    return top >= 0 && top < area->viewport()->height();
}

}  // namespace

class ViewsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    }
    // No disk of this machine shows in a picker unless a test lists it.
    void init() { setListedDisks({}); }
    void cleanup() {
        waitForAllJobs();
        QApplication::processEvents();
        setFolderChooser({});
        setImageFileChooser({});
    }

    // --- Shared controls ---

    void thePickerListsDisksReloadsOnTheCheckboxAndMarksOnlyWhatIsChosen() {
        FakeDisks fake;
        fake.withCards = false;
        fake.install();
        SourcePicker picker(QStringLiteral("どのディスクを診断しますか"), {});
        picker.resize(640, 480);
        picker.show();
        // Loaded when shown: only an internal disk here, and the box is off.
        models::DiskList::shared().refresh();
        WAIT_UNTIL(!picker.loading() && fake.looks > 0);
        QVERIFY(picker.diskRows().isEmpty());
        QVERIFY(picker.emptyLabel()->isVisible());
        QVERIFY(picker.emptyLabel()->text().startsWith(QStringLiteral("SDカード・外付けディスクが見つかりません。")));

        // A card plugged in shows at the next poll; the box shows the internal disk from the same look.
        fake.withCards = true;
        WAIT_UNTIL(picker.diskRows().size() == 2);
        const int looks = fake.looks;
        picker.internalCheck()->click();
        QCOMPARE(fake.looks, looks);
        QVERIFY(!picker.emptyLabel()->isVisible());
        QCOMPARE(picker.diskRows().size(), 3);
        QCOMPARE(picker.diskRow("sdb")->title(), QStringLiteral("EOS_DIGITAL"));
        // Attached images on their own toggle; other virtual disks never.
        QVERIFY(!picker.diskRow("loop3"));
        picker.loopCheck()->click();
        QCOMPARE(picker.diskRows().size(), 4);
        QVERIFY(picker.diskRow("loop3") && !picker.diskRow("zram0"));
        picker.loopCheck()->click();
        // A disk without named volumes says so under its subtitle.
        auto texts = [](QWidget* w) {
            QStringList out;
            for (auto* l : w->findChildren<QLabel*>()) out << l->text();
            return out;
        };
        QVERIFY(texts(picker.diskRow("sdc")).contains(QStringLiteral("名前のついたボリュームがありません")));
        QVERIFY(!texts(picker.diskRow("sdb")).contains(QStringLiteral("名前のついたボリュームがありません")));

        // A whole disk by a click.
        QSignalSpy changed(&picker, &SourcePicker::selectionChanged);
        QTest::mouseClick(picker.diskRow("sdb"), Qt::LeftButton);
        QCOMPARE(changed.count(), 1);
        QVERIFY(picker.selection() && picker.selection()->disk());
        QCOMPARE(picker.selection()->path(), std::string("/dev/sdb"));
        QVERIFY(picker.diskRow("sdb")->isSelected());
        QVERIFY(!picker.diskRow("sdc")->isSelected());

        // Partitions are folded away at first; system partitions never show.
        QVERIFY(!picker.partitionRow("sdb1")->isVisible());
        QVERIFY(!picker.partitionRow("nvme0n1p1"));
        picker.partitionsToggle()->click();
        QVERIFY(picker.partitionRow("sdb2")->isVisible());
        QTest::mouseClick(picker.partitionRow("sdb2"), Qt::LeftButton);
        QCOMPARE(picker.selection()->path(), std::string("/dev/sdb2"));
        for (PickRow* row : picker.diskRows()) QVERIFY(!row->isSelected());
        QVERIFY(picker.partitionRow("sdb2")->isSelected());

        // An image file from the chooser; no disk row stays marked, and its
        // name is shown as it is, not read as markup.
        setImageFileChooser([](QWidget*, const QString&) { return ChosenPath("/srv/images/<b>card</b>.img"); });
        picker.imageButton()->click();
        QCOMPARE(picker.selection(), std::optional(SourceSelection::imageFile("/srv/images/<b>card</b>.img")));
        QVERIFY(!picker.partitionRow("sdb2")->isSelected());
        QVERIFY(showsLiterally(&picker, QStringLiteral("/srv/images/<b>card</b>.img")));

        // "更新" lists again and is off while listing.
        picker.refreshButton()->click();
        QVERIFY(!picker.refreshButton()->isEnabled());
        WAIT_UNTIL(!picker.loading());
        QVERIFY(picker.refreshButton()->isEnabled());
        QVERIFY(fake.looks > looks);
    }

    void theFolderRowShowsTheChosenFolderAndKeepsItWhenTheChooserIsCancelled() {
        FolderPickerRow row(QStringLiteral("保存先"));
        row.resize(500, 80);
        row.show();
        QCOMPARE(row.button()->text(), QStringLiteral("フォルダを選択…"));
        ChosenPath answer = fs::path("/srv/rescue");
        setFolderChooser([&answer](QWidget*, const QString& caption) {
            [&] { QCOMPARE(caption, QStringLiteral("保存先")); }();
            return answer;
        });
        QSignalSpy changed(&row, &FolderPickerRow::urlChanged);
        row.button()->click();
        QCOMPARE(changed.count(), 1);
        QCOMPARE(row.url(), std::optional(fs::path("/srv/rescue")));
        QCOMPARE(row.button()->text(), QStringLiteral("/srv/rescue"));
        answer.reset();  // cancelled
        row.button()->click();
        QCOMPARE(row.url(), std::optional(fs::path("/srv/rescue")));
        // A long path stays on one line, its end (the folder's name) kept.
        row.setUrl(fs::path("/media/user/" + std::string(200, 'x') + "/最後のフォルダ"));
        QVERIFY(row.button()->text().endsWith(QStringLiteral("最後のフォルダ")));
        QVERIFY(row.button()->text().contains(QChar(0x2026)));
    }

    // --- Imaging ---

    // One faulty drive: a folder too small for it is warned about but not
    // refused, and filling it ends in a message that offers resuming; into a
    // roomy folder the copy is stopped, resumed into the same image and ends
    // with its unreadable ranges told. They share one cluster, far from the
    // start, so that the sector by sector reads around them stay few.
    void imagingAFaultyDriveStopsResumesAndTellsItsBadRanges() {
        TempDir dir;
        TempDir out(kNoDiskFolder);
        writeSparseMedium(dir / "medium.img", 16 * MiB);
        const std::vector<BadRange> bad{{10 * MiB, 4096}, {10 * MiB + 8192, 4096}, {10 * MiB + 16384, 4096}};
        std::string why;
        auto device = FaultyDevice::create(dir / "medium.img", bad, why);
        if (!device) QSKIP(why.c_str());
        auto tmpfs = SmallTmpfs::mount("4m", why);
        if (!tmpfs) QSKIP(why.c_str());
        ImagerView view;
        view.resize(760, 720);
        view.show();
        ImagerModel& m = *view.model();
        QVERIFY(!view.startButton()->isEnabled());
        QCOMPARE(view.blockerLabel()->text(), QStringLiteral("読み取るディスクかイメージと、保存先のフォルダを選んでください。"));
        QVERIFY(!view.cancelButton()->isVisible() && !view.revealButton()->isVisible());
        view.sourcePicker()->setSelection(SourceSelection::device(removableDisk(device->devicePath(), 16 * MiB)));
        QVERIFY(m.source());
        view.folderRow()->setUrl(tmpfs->path());
        QVERIFY(view.spaceWarning()->isVisible());
        QCOMPARE(view.spaceWarning()->text(), QStringLiteral("空き容量が足りません(必要: 16.8 MB・空き: 4.2 MB)"));
        view.startButton()->click();
        WAIT_UNTIL(!m.state().isRunning());
        QCOMPARE(view.outcomeLabel()->text(), QString::fromUtf8(kOutOfSpaceResumable));

        setFolderChooser([&](QWidget*, const QString&) { return ChosenPath(out / "images"); });
        view.folderRow()->button()->click();
        QCOMPARE(m.outputRoot(), OptionalPath(out / "images"));
        QVERIFY(!view.spaceWarning()->isVisible() && !view.blockerLabel()->isVisible());
        view.startButton()->click();
        QVERIFY(view.cancelButton()->isVisible() && view.progressBar()->isVisible());
        QVERIFY(!view.startButton()->isVisible());
        WAIT_UNTIL(m.progress().bytesDone >= 2 * MiB || !m.state().isRunning());
        if (!m.state().isRunning()) QSKIP("the copy ended before it could be stopped");
        const OptionalPath image = m.imagePath();
        view.cancelButton()->click();
        WAIT_UNTIL(!m.state().isRunning());
        const QString stopped = view.outcomeLabel()->text();
        QVERIFY2(stopped.startsWith(QStringLiteral("中断しました(")) && stopped.endsWith(QStringLiteral(" まで完了・同じ保存先で再開できます)")),
                 qPrintable(stopped));
        QVERIFY(view.revealButton()->isVisible());
        const std::int64_t stoppedAt = m.progress().bytesDone;
        QVERIFY(stoppedAt < 16 * MiB);
        QVERIFY(stopped.contains(formatBytes(stoppedAt) + QStringLiteral(" まで完了")));

        view.startButton()->click();
        WAIT_UNTIL(m.progress().resumedFrom >= 1 || !m.state().isRunning());
        if (m.state().isRunning()) {
            QVERIFY2(view.resumeLabel()->isVisible() && view.resumeLabel()->text().endsWith(QStringLiteral(" から再開)")),
                     qPrintable(view.resumeLabel()->text()));
            QVERIFY(view.speedLabel()->text().startsWith(QStringLiteral("速度: ")));
            QVERIFY(view.phaseLabel()->isVisible() && !view.phaseLabel()->text().isEmpty());
        }
        WAIT_UNTIL(!m.state().isRunning());
        // One count of what was done: the stop's, the resume's; no note about it outlives the run.
        QCOMPARE(m.progress().resumedFrom, stoppedAt);
        QVERIFY2(m.notes().isEmpty(), qPrintable(m.notes().join(u'|')));
        QCOMPARE(m.imagePath(), image);
        QCOMPARE(view.outcomeLabel()->text(), QStringLiteral("完了: 16.8 MB を吸い出しました(読めなかった部分: 12 KB・3 箇所)"));
        // Losses are told in the warning colour, not as a success.
        QCOMPARE(m.state().kind, JobState::Kind::lossy);
        QCOMPARE(view.outcomeLabel()->palette().color(QPalette::WindowText), Theme::warn());
        QVERIFY(!view.progressBar()->isVisible());
        QVERIFY(view.revealButton()->isVisible() && view.startButton()->isEnabled());
        // An image file has no device size to compare: no warning.
        view.folderRow()->setUrl(tmpfs->path());
        view.sourcePicker()->setSelection(SourceSelection::imageFile(dir / "medium.img"));
        QVERIFY(!view.spaceWarning()->isVisible());
    }

    // --- Salvage ---

    void salvagePreviewsThenCopiesThenSkipsWhatIsThere() {
        TempDir src(kNoDiskFolder);
        TempDir dst(kNoDiskFolder);
        auto jpegs = corpusJpegs();
        jpegs.resize(3);
        fs::create_directories(src / "DCIM" / "100CANON");
        for (std::size_t i = 0; i < jpegs.size(); ++i)
            fs::copy_file(jpegs[i], src / "DCIM" / "100CANON" / ("IMG_000" + std::to_string(i) + ".JPG"));
        writeFile(src / "memo.txt", "not a photo");

        SalvageView view;
        view.resize(760, 640);
        view.show();
        SalvageModel& m = *view.model();
        QVERIFY(view.mediaOnlyToggle()->isChecked());
        QVERIFY(!view.startButton()->isEnabled() && !view.previewButton()->isEnabled());
        QCOMPARE(view.blockerLabel()->text(), QStringLiteral("コピー元と保存先のフォルダを選んでください。"));
        QVERIFY(!view.openButton()->isVisible());

        view.sourceRow()->setUrl(src.path());
        setFolderChooser([&](QWidget*, const QString&) { return ChosenPath(dst / "rescued"); });
        view.destinationRow()->button()->click();
        QCOMPARE(m.dstFolder(), OptionalPath(dst / "rescued"));
        QVERIFY(view.startButton()->isEnabled() && view.previewButton()->isEnabled());

        // The preview counts and writes nothing; the text file is counted as left out.
        view.previewButton()->click();
        WAIT_UNTIL(!m.state().isRunning());
        const QString preview = view.outcomeLabel()->text();
        QVERIFY2(preview.startsWith(QStringLiteral("下見の結果: 3 件・")) &&
                     preview.endsWith(QStringLiteral(" がコピー対象です(まだ何もコピーしていません)・対象外 1 件")),
                 qPrintable(preview));
        QVERIFY(!fs::exists(dst / "rescued" / "DCIM"));
        QVERIFY(!view.openButton()->isVisible());

        view.startButton()->click();
        QVERIFY(view.cancelButton()->isVisible());
        QVERIFY(!view.startButton()->isVisible() && !view.previewButton()->isVisible());
        WAIT_UNTIL(!m.state().isRunning());
        QCOMPARE(view.outcomeLabel()->text(), QStringLiteral("完了: 3 件コピー・対象外 1 件"));
        QVERIFY(view.copiedLabel()->text().startsWith(QStringLiteral("コピー: 3 件 (")));
        QVERIFY(!view.skippedLabel()->isVisible());
        QVERIFY(view.openButton()->isVisible());
        QCOMPARE(readFile(dst / "rescued" / "DCIM" / "100CANON" / "IMG_0001.JPG"), readFile(jpegs[1]));
        QVERIFY(!fs::exists(dst / "rescued" / "memo.txt"));

        // Again over the finished copy: everything is skipped.
        view.startButton()->click();
        WAIT_UNTIL(!m.state().isRunning());
        QCOMPARE(view.outcomeLabel()->text(), QStringLiteral("完了: 0 件コピー・3 件はコピー済みでスキップ・対象外 1 件"));
        QCOMPARE(view.skippedLabel()->text(), QStringLiteral("スキップ: 3"));
        QVERIFY(!view.errorsToggle()->isVisible() && !view.damagedToggle()->isVisible());
        QCOMPARE(m.state().kind, JobState::Kind::done);

        // A new photo whose folder at the destination is a planted link fails;
        // the folded group lists it when opened, on one line.
        fs::create_directories(src / "MISC");
        fs::copy_file(jpegs[0], src / "MISC" / "IMG_0009.JPG");
        fs::create_directory_symlink(dst.path(), dst / "rescued" / "MISC");
        view.startButton()->click();
        WAIT_UNTIL(!m.state().isRunning());
        QCOMPARE(m.progress().filesFailed, 1);
        QCOMPARE(view.failedLabel()->text(), QStringLiteral("失敗: 1"));
        QCOMPARE(view.errorsToggle()->text(), QStringLiteral("エラー (1)"));
        QVERIFY(!view.errorsList()->isVisible());
        view.errorsToggle()->click();
        QVERIFY(view.errorsList()->isVisible());
        QVERIFY2(view.errorsList()->text().startsWith(QStringLiteral("MISC/IMG_0009.JPG: コピー失敗")), qPrintable(view.errorsList()->text()));
        QVERIFY(!view.errorsList()->text().contains(QLatin1Char('\n')));
    }

    // --- Drive check ---

    void theDriveCheckOfARealDiskEndsInAdviceThatFollowsTheSymptoms() {
        std::string why;
        auto loop = LoopDisk::create("64M", why);
        if (!loop) QSKIP(why.c_str());
        Workspace ws;
        StartView view(&ws);
        view.resize(900, 560);
        view.show();
        StartModel& m = *view.model();

        // Before any check.
        QCOMPARE(chipStates(view), (std::vector{StepState::current, StepState::upcoming, StepState::upcoming}));
        QCOMPARE(view.chip(0)->shownSymbol(), QStringLiteral("stethoscope"));
        QVERIFY(!view.probeButton()->isEnabled());
        QVERIFY(view.sourceHint()->isVisible());
        QVERIFY(!view.resultSection()->isVisible());
        QVERIFY(!view.progressBar()->isVisible());

        view.sourcePicker()->setSelection(SourceSelection::device(removableDisk(loop->devicePath(), 64 * MiB)));
        QVERIFY(m.source());
        QVERIFY(view.probeButton()->isEnabled());
        QVERIFY(!view.sourceHint()->isVisible());
        QTest::mouseClick(view.probeButton(), Qt::LeftButton);
        QCOMPARE(m.step(), StartModel::Step::probing);
        QVERIFY(view.progressBar()->isVisible() && view.cancelButton()->isVisible());
        QVERIFY(!view.probeButton()->isVisible());
        WAIT_UNTIL(m.step() == StartModel::Step::result);
        QCOMPARE(m.health()->samplesRead, 48);
        if (m.health()->verdict != DriveHealth::Verdict::noSignsFound) QSKIP("the machine reads the loop disk too slowly");

        // A clean result: nothing to preserve, straight on to recovering.
        QCOMPARE(chipStates(view), (std::vector{StepState::done, StepState::skipped, StepState::current}));
        QCOMPARE(view.chip(0)->shownSymbol(), QStringLiteral("check"));
        QVERIFY(view.againButton()->isVisible());
        QVERIFY(!view.progressBar()->isVisible());
        QCOMPARE(view.adviceHeading()->text(), QStringLiteral("サンプルの範囲では異常は見つかりませんでした"));
        QCOMPARE(view.adviceSymbol(), QStringLiteral("rosette-discount-check-filled"));
        QCOMPARE(view.tileValue(0)->text(), QStringLiteral("48 箇所"));
        QCOMPARE(view.tileValue(1)->text(), QStringLiteral("0 箇所"));
        QVERIFY(view.tileValue(2)->text().endsWith(QStringLiteral("/秒")));
        QVERIFY(!view.symptomLine()->isVisible());
        QVERIFY(view.carveButton()->isVisible() && view.salvageButton()->isVisible());
        QVERIFY(!view.imageButton()->isVisible() && !view.directScanButton()->isVisible());
        // The page brings the result into view.
        WAIT_UNTIL(!view.scrolling() && scrolledInto(view.scrollArea(), view.resultSection()));
        QVERIFY(view.scrollArea()->verticalScrollBar()->value() > 0);

        // A declared noise outweighs the clean measurement at once.
        QTest::mouseClick(view.noiseToggle(), Qt::LeftButton);
        QVERIFY(m.reportsNoise());
        QCOMPARE(chipStates(view), (std::vector{StepState::done, StepState::current, StepState::upcoming}));
        QCOMPARE(view.adviceHeading()->text(), QStringLiteral("先に保全(イメージ化)をおすすめします"));
        QCOMPARE(view.adviceSymbol(), QStringLiteral("alert-triangle-filled"));
        QVERIFY(view.symptomLine()->isVisible());
        QVERIFY(view.imageButton()->isVisible() && view.directScanButton()->isVisible());
        QVERIFY(!view.carveButton()->isVisible() && !view.salvageButton()->isVisible());
        QCOMPARE(m.probeRuns(), 1);
        QTest::mouseClick(view.noiseToggle(), Qt::LeftButton);
        QCOMPARE(chipStates(view), (std::vector{StepState::done, StepState::skipped, StepState::current}));
        QVERIFY(view.carveButton()->isVisible());

        QTest::mouseClick(view.salvageButton(), Qt::LeftButton);
        QCOMPARE(ws.window().mode(), WindowState::Mode::salvage);
        QTest::mouseClick(view.carveButton(), Qt::LeftButton);
        QCOMPARE(ws.window().mode(), WindowState::Mode::carve);
    }

    // A check stopped midway returns to the start without a verdict; a source
    // that cannot be opened is told; an unreadable drive is failing and its
    // buttons lead to imaging or a direct scan.
    void aStoppedCheckAnUnopenableSourceAndAFailingDrive() {
        TempDir dir;
        writeSparseMedium(dir / "medium.img", 48 * MiB);
        std::string why;
        auto slow = SlowMedium::create(dir / "medium.img", 40, why);
        if (!slow) QSKIP(why.c_str());
        Workspace ws;
        StartView view(&ws);
        view.resize(900, 700);
        view.show();
        StartModel& m = *view.model();
        view.sourcePicker()->setSelection(SourceSelection::imageFile(slow->path()));
        view.probeButton()->click();
        WAIT_UNTIL(m.probeProgress() > 0);
        QVERIFY(view.progressBar()->value() > 0);
        QTest::mouseClick(view.cancelButton(), Qt::LeftButton);
        QCOMPARE(m.step(), StartModel::Step::ask);
        QVERIFY(view.probeButton()->isVisible());
        QCOMPARE(view.probeButton()->text(), QStringLiteral("状態を確認する"));
        QVERIFY(!view.progressBar()->isVisible());
        QCOMPARE(chipStates(view), (std::vector{StepState::current, StepState::upcoming, StepState::upcoming}));
        waitForAllJobs();
        QApplication::processEvents();
        QVERIFY(!view.resultSection()->isVisible() && !m.health());

        view.sourcePicker()->setSelection(SourceSelection::imageFile(dir / "missing.img"));
        view.probeButton()->click();
        WAIT_UNTIL(m.step() == StartModel::Step::ask);
        QVERIFY(m.errorMessage());
        QVERIFY(view.errorLabel()->isVisible());
        QCOMPARE(view.errorLabel()->text(), *m.errorMessage());

        auto device = FaultyDevice::create(dir / "medium.img", std::vector<BadRange>{{0, 48 * MiB}}, why);
        if (!device) QSKIP(why.c_str());
        view.sourcePicker()->setSelection(SourceSelection::device(removableDisk(device->devicePath(), 48 * MiB)));
        view.probeButton()->click();
        WAIT_UNTIL(m.step() == StartModel::Step::result);
        QVERIFY(!view.errorLabel()->isVisible());
        QCOMPARE(m.health()->verdict, DriveHealth::Verdict::failing);
        QCOMPARE(view.tileValue(1)->text(), QStringLiteral("48 箇所"));
        QCOMPARE(chipStates(view), (std::vector{StepState::done, StepState::current, StepState::upcoming}));
        QCOMPARE(view.adviceHeading()->text(), QStringLiteral("先に保全(イメージ化)をおすすめします"));
        QVERIFY(!view.symptomLine()->isVisible());
        QVERIFY(view.imageButton()->isVisible());
        WAIT_UNTIL(!view.scrolling());
        QTest::mouseClick(view.imageButton(), Qt::LeftButton);
        QCOMPARE(ws.window().mode(), WindowState::Mode::image);
        ws.window().setMode(WindowState::Mode::start);
        QTest::mouseClick(view.directScanButton(), Qt::LeftButton);
        QCOMPARE(ws.window().mode(), WindowState::Mode::carve);
    }
};

TAMSEL_VIEW_TEST_MAIN(ViewsTest, "offscreen")
#include "ViewsTest.moc"
