// The drive check, imaging and salvage screens and their shared controls,
// driven like a user would over the real models and engines: real image
// files, faulty block devices, a loop disk and a small tmpfs. Each screen is
// also drawn to a PNG in <build>/screenshots, in a light and a dark palette.

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <QToolButton>

#include <atomic>

#include "engine/common/Files.h"
#include "models/Job.h"
#include "support/Corpus.h"
#include "tests/models/ModelTestSupport.h"
#include "support/FaultyDevice.h"
#include "support/LoopDisk.h"
#include "support/Process.h"
#include "support/SmallTmpfs.h"
#include "support/TempDir.h"
#include "views/Choosers.h"
#include "views/FolderPickerRow.h"
#include "views/ImagerView.h"
#include "views/SalvageView.h"
#include "views/SourcePicker.h"
#include "views/StartView.h"
#include "views/Theme.h"
#include "workflow/SourceChecks.h"

using namespace tamsel;
using namespace tamsel::models;
using namespace tamsel::views;
using namespace tamsel::test;

#define WAIT_UNTIL(cond) QTRY_VERIFY_WITH_TIMEOUT(cond, 120000)

namespace {

constexpr std::int64_t MiB = 1048576;

DiskDevice disk(const std::string& name, std::int64_t size, bool internal, std::string protocol) {
    DiskDevice d;
    d.kernelName = name;
    d.name = internal ? "Samsung SSD 870" : "Generic Card Reader";
    d.sizeBytes = size;
    d.isWholeDisk = true;
    d.isInternal = internal;
    d.isRemovable = !internal;
    d.protocolName = std::move(protocol);
    return d;
}

DiskDevice partOf(const std::string& name, std::string label, std::optional<std::string> mount) {
    DiskDevice d;
    d.kernelName = name;
    d.name = std::move(label);
    d.sizeBytes = 8 * 1000 * 1000 * 1000LL;
    d.mountPoint = std::move(mount);
    return d;
}

// A system of disks for the pickers: an internal SSD always, and a camera
// card (one named mounted volume, one unmounted, an EFI partition) and an
// unnamed stick when `withCards`.
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
            s.devices.push_back(disk("nvme0n1", 512 * 1000 * 1000 * 1000LL, true, "NVMe"));
            s.devices.push_back(partOf("nvme0n1p1", "EFI", "/boot/efi"));
            if (withCards) {
                s.devices.push_back(disk("sdb", 32 * 1000 * 1000 * 1000LL, false, "USB"));
                s.devices.push_back(partOf("sdb1", "EOS_DIGITAL", "/media/user/EOS_DIGITAL"));
                s.devices.push_back(partOf("sdb2", "", std::nullopt));
                s.devices.push_back(disk("sdc", 16 * 1000 * 1000 * 1000LL, false, "USB"));
            }
            return s;
        });
    }
};

fs::path screenshotDir() {
    const fs::path dir = fs::path(TAMSEL_BUILD_DIR) / "screenshots";
    fs::create_directories(dir);
    return dir;
}

// Draws `w` as it stands, light and dark, to <name>-light.png and <name>-dark.png.
void snap(QWidget* w, const QString& name) {
    for (const bool dark : {false, true}) {
        Theme::shared().setDark(dark);
        QApplication::processEvents();
        const QString file = QString::fromStdString((screenshotDir() / name.toStdString()).string()) +
                             (dark ? QStringLiteral("-dark.png") : QStringLiteral("-light.png"));
        QVERIFY2(w->grab().save(file), qPrintable(file));
    }
    Theme::shared().setDark(false);
    QApplication::processEvents();
}

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

// An ext4 file system on a faulty device, mounted read-only: photos in
// DCIM, and one file whose inode lies in a block the device cannot read.
struct BrokenVolume {
    std::optional<FaultyDevice> device;
    TempDir mnt;
    bool mounted = false;
    ~BrokenVolume() {
        if (mounted) ::umount2(mnt.path().c_str(), MNT_DETACH);
    }
};

std::optional<std::int64_t> inodeBlock(const fs::path& image, const std::string& path) {
    const ProcessResult r = run({"debugfs", "-R", "imap /" + path, image.string()});
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("located at block (\\d+)")).match(QString::fromStdString(r.output));
    if (r.exitCode != 0 || !m.hasMatch()) return std::nullopt;
    return m.captured(1).toLongLong();
}

// Fills `volume`, or says why it cannot.
std::string makeBrokenVolume(const fs::path& dir, const std::vector<fs::path>& photos, BrokenVolume& volume) {
    if (::geteuid() != 0) return "needs root to mount a file system";
    if (!haveTool("mkfs.ext4") || !haveTool("debugfs")) return "needs mkfs.ext4 and debugfs (e2fsprogs)";
    const fs::path image = dir / "volume.img";
    writeFile(image, std::vector<std::uint8_t>{});
    fs::resize_file(image, 32 * MiB);
    // Four inodes to a block and no journal, so one block holds the one inode.
    if (run({"mkfs.ext4", "-q", "-F", "-b", "4096", "-I", "1024", "-N", "64", "-O", "^has_journal", image.string()}).exitCode != 0)
        return "mkfs.ext4 failed";
    std::string script = "mkdir DCIM\n";
    for (std::size_t i = 0; i < photos.size(); ++i)
        script += "write " + photos[i].string() + " DCIM/IMG_000" + std::to_string(i + 1) + ".JPG\n";
    // Inodes are handed out in order from 12; notes (not media, left out)
    // fill the block so that the unreadable file starts the next one.
    const std::size_t next = 13 + photos.size();
    for (std::size_t i = 0; i < (4 - (next - 1) % 4) % 4; ++i)
        script += "write " + photos[0].string() + " note" + std::to_string(i) + ".txt\n";
    script += "write " + photos[0].string() + " unreadable.jpg\n";
    writeFile(dir / "debugfs.cmds", script);
    if (run({"debugfs", "-w", "-f", (dir / "debugfs.cmds").string(), image.string()}).exitCode != 0) return "debugfs failed";
    const auto target = inodeBlock(image, "unreadable.jpg");
    if (!target) return "debugfs cannot place the inode";
    for (std::size_t i = 0; i < photos.size(); ++i)
        if (inodeBlock(image, "DCIM/IMG_000" + std::to_string(i + 1) + ".JPG") == target) return "the inodes share a block";
    std::string why;
    auto device = FaultyDevice::create(image, std::vector<BadRange>{{*target * 4096, 4096}}, why);
    if (!device) return why;
    volume.device.emplace(std::move(*device));
    const std::string options = "ro,noload,inode_readahead_blks=0";
    if (::mount(volume.device->devicePath().c_str(), volume.mnt.path().c_str(), "ext4", MS_RDONLY, options.c_str()) != 0)
        return "cannot mount ext4 here";
    volume.mounted = true;
    return {};
}

}  // namespace

class ViewsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    }
    void cleanup() {
        waitForAllJobs();
        QApplication::processEvents();
        models::DiskList::setLister({});
        setFolderChooser({});
        setImageFileChooser({});
    }

    // --- Shared controls ---

    void thePickerListsDisksReloadsOnTheCheckboxAndMarksOnlyWhatIsChosen() {
        FakeDisks fake;
        fake.withCards = false;
        fake.install();
        SourcePicker picker;
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
        snap(&picker, QStringLiteral("source-picker"));
        picker.partitionsToggle()->click();
        QVERIFY(picker.partitionRow("sdb2")->isVisible());
        QTest::mouseClick(picker.partitionRow("sdb2"), Qt::LeftButton);
        QCOMPARE(picker.selection()->path(), std::string("/dev/sdb2"));
        for (PickRow* row : picker.diskRows()) QVERIFY(!row->isSelected());
        QVERIFY(picker.partitionRow("sdb2")->isSelected());
        snap(&picker, QStringLiteral("source-picker-partitions"));

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

    void imagingAFaultyDriveToTheEndShowsItsBadRangesAndResumes() {
        FakeDisks fake;
        fake.install();
        TempDir dir;
        TempDir out(kNoDiskFolder);
        writeSparseMedium(dir / "medium.img", 40 * MiB);
        const std::vector<BadRange> bad{{4096, 4096}, {16 * MiB, 4096}, {32 * MiB + 8192, 4096}};
        std::string why;
        auto device = FaultyDevice::create(dir / "medium.img", bad, why);
        if (!device) QSKIP(why.c_str());

        ImagerView view;
        view.resize(760, 720);
        view.show();
        ImagerModel& m = *view.model();
        QVERIFY(!view.startButton()->isEnabled());
        QVERIFY(!view.cancelButton()->isVisible());
        QVERIFY(!view.revealButton()->isVisible());
        WAIT_UNTIL(!view.sourcePicker()->loading());
        snap(&view, QStringLiteral("imaging-idle"));

        view.sourcePicker()->setSelection(SourceSelection::device(removableDisk(device->devicePath(), 40 * MiB)));
        QVERIFY(m.source());
        setFolderChooser([&](QWidget*, const QString&) { return ChosenPath(out / "images"); });
        view.folderRow()->button()->click();
        QCOMPARE(m.outputRoot(), OptionalPath(out / "images"));
        QVERIFY(view.startButton()->isEnabled());
        QVERIFY(!view.spaceWarning()->isVisible());
        QVERIFY(!view.blockerLabel()->isVisible());

        view.startButton()->click();
        QVERIFY(m.state().isRunning());
        QVERIFY(view.cancelButton()->isVisible());
        QVERIFY(!view.startButton()->isVisible());
        QVERIFY(view.progressBar()->isVisible());
        WAIT_UNTIL(!m.state().isRunning());
        QCOMPARE(view.outcomeLabel()->text(),
                 QStringLiteral("完了: 41.9 MB を吸い出しました(読めなかった部分: 12 KB・3 箇所)"));
        QVERIFY(view.outcomeLabel()->isVisible());
        QVERIFY(!view.progressBar()->isVisible());
        QVERIFY(view.revealButton()->isVisible());
        QVERIFY(view.startButton()->isVisible() && view.startButton()->isEnabled());
        snap(&view, QStringLiteral("imaging-done-bad-ranges"));
    }

    void anInterruptedImageResumesWithItsResumePointShown() {
        FakeDisks fake;
        fake.install();
        TempDir dir;
        TempDir out(kNoDiskFolder);
        writeSparseMedium(dir / "medium.img", 64 * MiB);
        std::string why;
        FaultyDeviceOptions slow;
        slow.bad = {{48 * MiB, 4096}};
        slow.failDelayMs = 20;
        auto device = FaultyDevice::create(dir / "medium.img", slow, why);
        if (!device) QSKIP(why.c_str());
        ImagerView view;
        view.resize(760, 720);
        view.show();
        ImagerModel& m = *view.model();
        view.sourcePicker()->setSelection(SourceSelection::device(removableDisk(device->devicePath(), 64 * MiB)));
        view.folderRow()->setUrl(out / "images");
        view.startButton()->click();
        WAIT_UNTIL(m.progress().bytesDone >= 4 * MiB || !m.state().isRunning());
        if (!m.state().isRunning()) QSKIP("the copy ended before it could be stopped");
        view.cancelButton()->click();
        WAIT_UNTIL(!m.state().isRunning());
        QVERIFY2(view.outcomeLabel()->text().startsWith(QStringLiteral("中断しました(")), qPrintable(view.outcomeLabel()->text()));
        QVERIFY(view.revealButton()->isVisible());
        const std::int64_t reached = m.progress().bytesDone;
        QVERIFY(reached < 64 * MiB);

        // Starting again with the same drive and folder goes on from there.
        view.startButton()->click();
        WAIT_UNTIL(m.progress().resumedFrom >= 1 || !m.state().isRunning());
        if (m.state().isRunning()) {
            QVERIFY(view.resumeLabel()->isVisible());
            QVERIFY2(view.resumeLabel()->text().endsWith(QStringLiteral(" から再開)")), qPrintable(view.resumeLabel()->text()));
            QVERIFY(view.speedLabel()->text().startsWith(QStringLiteral("速度: ")));
            snap(&view, QStringLiteral("imaging-running-resumed"));
        }
        WAIT_UNTIL(!m.state().isRunning());
        QVERIFY2(view.outcomeLabel()->text().startsWith(QStringLiteral("完了: 67.1 MB を吸い出しました")), qPrintable(view.outcomeLabel()->text()));
        QVERIFY(m.progress().resumedFrom >= 1);
    }

    void aDestinationSmallerThanTheDriveIsWarnedAbout() {
        std::string why;
        auto tmpfs = SmallTmpfs::mount("4m", why);
        if (!tmpfs) QSKIP(why.c_str());
        TempDir dir;
        writeSparseMedium(dir / "medium.img", 40 * MiB);
        auto device = FaultyDevice::create(dir / "medium.img", std::vector<BadRange>{}, why);
        if (!device) QSKIP(why.c_str());
        FakeDisks fake;
        fake.install();
        ImagerView view;
        view.resize(760, 720);
        view.show();
        view.sourcePicker()->setSelection(SourceSelection::device(removableDisk(device->devicePath(), 40 * MiB)));
        view.folderRow()->setUrl(tmpfs->path());
        WAIT_UNTIL(!view.sourcePicker()->loading());
        QVERIFY(view.spaceWarning()->isVisible());
        QCOMPARE(view.spaceWarning()->text(), QStringLiteral("空き容量が足りません(必要: 41.9 MB・空き: 4.2 MB)"));
        // A warning, not a refusal: the copy can still be started.
        QVERIFY(view.startButton()->isEnabled());
        snap(&view, QStringLiteral("imaging-free-space-warning"));

        // An image file has no device size to compare: no warning.
        view.sourcePicker()->setSelection(SourceSelection::imageFile(dir / "medium.img"));
        QVERIFY(!view.spaceWarning()->isVisible());
    }

    // --- Salvage ---

    void salvagePreviewsThenCopiesThenSkipsWhatIsThere() {
        TempDir src(kNoDiskFolder);
        TempDir dst(kNoDiskFolder);
        std::vector<fs::path> jpegs;
        for (const auto& f : corpusFiles())
            if (f.extension() == ".jpg" && jpegs.size() < 3) jpegs.push_back(f);
        QVERIFY(jpegs.size() == 3);
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
        QVERIFY(!view.openButton()->isVisible());
        snap(&view, QStringLiteral("salvage-idle"));

        view.sourceRow()->setUrl(src.path());
        setFolderChooser([&](QWidget*, const QString&) { return ChosenPath(dst / "rescued"); });
        view.destinationRow()->button()->click();
        QCOMPARE(m.dstFolder(), OptionalPath(dst / "rescued"));
        QVERIFY(view.startButton()->isEnabled() && view.previewButton()->isEnabled());

        // The preview counts and writes nothing.
        view.previewButton()->click();
        WAIT_UNTIL(!m.state().isRunning());
        QVERIFY2(view.outcomeLabel()->text().startsWith(QStringLiteral("下見の結果: 3 件・")), qPrintable(view.outcomeLabel()->text()));
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
        snap(&view, QStringLiteral("salvage-done"));

        // Again over the finished copy: everything is skipped.
        view.startButton()->click();
        WAIT_UNTIL(!m.state().isRunning());
        QVERIFY2(view.outcomeLabel()->text().contains(QStringLiteral("3 件はコピー済みでスキップ")), qPrintable(view.outcomeLabel()->text()));
        QCOMPARE(view.skippedLabel()->text(), QStringLiteral("スキップ: 3"));
        QVERIFY(!view.errorsToggle()->isVisible());
        snap(&view, QStringLiteral("salvage-second-run-skips"));
    }

    void anUnreadableFileOfAFailingVolumeIsListedUnderErrors() {
        std::vector<fs::path> photos;
        for (const auto& f : corpusFiles())
            if (f.extension() == ".jpg" && fs::file_size(f) < 2'000'000 && photos.size() < 3) photos.push_back(f);
        QCOMPARE(photos.size(), 3u);
        TempDir dir;
        BrokenVolume volume;
        if (const std::string why = makeBrokenVolume(dir.path(), photos, volume); !why.empty()) QSKIP(why.c_str());
        TempDir dst(kNoDiskFolder);

        SalvageView view;
        view.resize(760, 640);
        view.show();
        SalvageModel& m = *view.model();
        view.sourceRow()->setUrl(volume.mnt.path());
        view.destinationRow()->setUrl(dst / "rescued");
        view.startButton()->click();
        WAIT_UNTIL(!m.state().isRunning());
        QCOMPARE(m.progress().filesCopied, 3);
        QCOMPARE(m.progress().filesFailed, 1);
        for (std::size_t i = 0; i < photos.size(); ++i)
            QVERIFY(readFile(dst / "rescued" / "DCIM" / ("IMG_000" + std::to_string(i + 1) + ".JPG")) == readFile(photos[i]));
        QVERIFY(!fs::exists(dst / "rescued" / "unreadable.jpg"));
        QVERIFY(view.failedLabel()->isVisible());
        QCOMPARE(view.failedLabel()->text(), QStringLiteral("失敗: 1"));

        // The group is folded at first and lists the file when opened.
        QVERIFY(view.errorsToggle()->isVisible());
        QCOMPARE(view.errorsToggle()->text(), QStringLiteral("エラー (1)"));
        QVERIFY(!view.errorsList()->isVisible());
        view.errorsToggle()->click();
        QVERIFY(view.errorsList()->isVisible());
        QVERIFY2(view.errorsList()->text().startsWith(QStringLiteral("unreadable.jpg: コピー失敗")), qPrintable(view.errorsList()->text()));
        QVERIFY(!view.errorsList()->text().contains(QLatin1Char('\n')));
        snap(&view, QStringLiteral("salvage-errors"));
    }

    // --- Drive check ---

    void theDriveCheckOfARealDiskEndsInAdviceThatFollowsTheSymptoms() {
        std::string why;
        auto loop = LoopDisk::create("64M", why);
        if (!loop) QSKIP(why.c_str());
        FakeDisks fake;
        fake.install();
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
        WAIT_UNTIL(!view.sourcePicker()->loading());
        snap(&view, QStringLiteral("drive-check-before"));

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
        snap(&view, QStringLiteral("drive-check-result-clean"));

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
        snap(&view, QStringLiteral("drive-check-result-symptom"));
        QTest::mouseClick(view.noiseToggle(), Qt::LeftButton);
        QCOMPARE(chipStates(view), (std::vector{StepState::done, StepState::skipped, StepState::current}));
        QVERIFY(view.carveButton()->isVisible());

        QTest::mouseClick(view.salvageButton(), Qt::LeftButton);
        QCOMPARE(ws.window().mode(), WindowState::Mode::salvage);
        QTest::mouseClick(view.carveButton(), Qt::LeftButton);
        QCOMPARE(ws.window().mode(), WindowState::Mode::carve);
    }

    void aDriveThatCannotBeReadIsFailingAndItsButtonLeadsToImaging() {
        TempDir dir;
        writeSparseMedium(dir / "medium.img", 16 * MiB);
        std::string why;
        auto device = FaultyDevice::create(dir / "medium.img", std::vector<BadRange>{{0, 16 * MiB}}, why);
        if (!device) QSKIP(why.c_str());
        FakeDisks fake;
        fake.install();
        Workspace ws;
        StartView view(&ws);
        view.resize(900, 700);
        view.show();
        StartModel& m = *view.model();
        view.sourcePicker()->setSelection(SourceSelection::device(removableDisk(device->devicePath(), 16 * MiB)));
        view.probeButton()->click();
        WAIT_UNTIL(m.step() == StartModel::Step::result);
        QCOMPARE(m.health()->verdict, DriveHealth::Verdict::failing);
        QCOMPARE(view.tileValue(1)->text(), QStringLiteral("48 箇所"));
        QCOMPARE(chipStates(view), (std::vector{StepState::done, StepState::current, StepState::upcoming}));
        QCOMPARE(view.adviceHeading()->text(), QStringLiteral("先に保全(イメージ化)をおすすめします"));
        QVERIFY(!view.symptomLine()->isVisible());
        QVERIFY(view.imageButton()->isVisible());
        WAIT_UNTIL(!view.scrolling());
        snap(&view, QStringLiteral("drive-check-result-failing"));
        QTest::mouseClick(view.imageButton(), Qt::LeftButton);
        QCOMPARE(ws.window().mode(), WindowState::Mode::image);
        ws.window().setMode(WindowState::Mode::start);
        QTest::mouseClick(view.directScanButton(), Qt::LeftButton);
        QCOMPARE(ws.window().mode(), WindowState::Mode::carve);
    }

    void stoppingACheckReturnsToTheStartAndAnUnopenableSourceIsTold() {
        TempDir dir;
        writeSparseMedium(dir / "medium.img", 48 * MiB);
        std::string why;
        auto slow = SlowMedium::create(dir / "medium.img", 40, why);
        if (!slow) QSKIP(why.c_str());
        FakeDisks fake;
        fake.install();
        Workspace ws;
        StartView view(&ws);
        view.resize(900, 700);
        view.show();
        StartModel& m = *view.model();
        view.sourcePicker()->setSelection(SourceSelection::imageFile(slow->path()));
        view.probeButton()->click();
        WAIT_UNTIL(m.probeProgress() > 0);
        QVERIFY(view.progressBar()->value() > 0);
        snap(&view, QStringLiteral("drive-check-running"));
        QTest::mouseClick(view.cancelButton(), Qt::LeftButton);
        QCOMPARE(m.step(), StartModel::Step::ask);
        QVERIFY(view.probeButton()->isVisible());
        QCOMPARE(view.probeButton()->text(), QStringLiteral("状態を確認する"));
        QVERIFY(!view.progressBar()->isVisible());
        QCOMPARE(chipStates(view), (std::vector{StepState::current, StepState::upcoming, StepState::upcoming}));
        waitForAllJobs();
        QApplication::processEvents();
        QVERIFY(!view.resultSection()->isVisible());

        view.sourcePicker()->setSelection(SourceSelection::imageFile(dir / "missing.img"));
        view.probeButton()->click();
        WAIT_UNTIL(m.step() == StartModel::Step::ask);
        QVERIFY(m.errorMessage());
        QVERIFY(view.errorLabel()->isVisible());
        QCOMPARE(view.errorLabel()->text(), *m.errorMessage());
        snap(&view, QStringLiteral("drive-check-error"));
    }
};

int main(int argc, char** argv) {
    // No display in CI: draw offscreen unless told otherwise.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Theme::shared().setDark(false);
    ViewsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "ViewsTest.moc"
