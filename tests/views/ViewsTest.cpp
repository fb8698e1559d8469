// The drive check, imaging and salvage screens and their shared controls,
// driven like a user would over the real models and engines: real image
// files, faulty block devices, a loop disk and a small tmpfs. Each screen is
// also drawn to a PNG in <build>/screenshots, in a light and a dark palette.

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <QToolButton>

#include "engine/common/Files.h"
#include "models/Job.h"
#include "support/Corpus.h"
#include "support/FaultyDevice.h"
#include "support/LoopDisk.h"
#include "support/SmallTmpfs.h"
#include "support/TempDir.h"
#include "views/Choosers.h"
#include "views/FolderPickerRow.h"
#include "views/ImagerView.h"
#include "views/SalvageView.h"
#include "views/SourcePicker.h"
#include "workflow/SourceChecks.h"

using namespace tamsel;
using namespace tamsel::models;
using namespace tamsel::views;
using namespace tamsel::test;

#define WAIT_UNTIL(cond) QTRY_VERIFY_WITH_TIMEOUT(cond, 120000)

namespace {

constexpr std::int64_t MiB = 1048576;

// A sparse image with real data here and there.
void makeMedium(const fs::path& path, std::int64_t size) {
    UniqueFd fd = openForWriting(path, O_CREAT | O_TRUNC);
    QVERIFY(::ftruncate(fd.get(), size) == 0);
    for (std::int64_t at = 0; at < size; at += 8 * MiB)
        writeAllAt(fd.get(), randomBytes(64 * 1024, static_cast<std::uint64_t>(at)), at, path);
}

DiskDevice deviceOf(const std::string& devicePath, std::int64_t size) {
    DiskDevice d;
    d.bsdName = fs::path(devicePath).filename().string();
    d.sizeBytes = size;
    d.isWholeDisk = true;
    d.isRemovable = true;
    d.protocolName = "USB";
    return d;
}

DiskDevice disk(const std::string& name, std::int64_t size, bool internal, std::string protocol) {
    DiskDevice d;
    d.bsdName = name;
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
    d.bsdName = name;
    d.name = std::move(label);
    d.sizeBytes = 8 * 1000 * 1000 * 1000LL;
    d.mountPoint = std::move(mount);
    return d;
}

// A system of disks for the picker: an internal SSD always, and a camera
// card (one named mounted volume, one unmounted, an EFI partition) and an
// unnamed stick when `withCards`.
struct FakeDisks {
    bool withCards = true;
    std::vector<bool> asked;  // includeInternal of each listing
    DiskServices services() {
        DiskServices s;
        s.listDisks = [this](bool internal) {
            asked.push_back(internal);
            std::vector<DiskDevice> out;
            if (internal) {
                out.push_back(disk("nvme0n1", 512 * 1000 * 1000 * 1000LL, true, "NVMe"));
                out.push_back(partOf("nvme0n1p1", "EFI", "/boot/efi"));
            }
            if (withCards) {
                out.push_back(disk("sdb", 32 * 1000 * 1000 * 1000LL, false, "USB"));
                out.push_back(partOf("sdb1", "EOS_DIGITAL", "/media/user/EOS_DIGITAL"));
                out.push_back(partOf("sdb2", "", std::nullopt));
                out.push_back(disk("sdc", 16 * 1000 * 1000 * 1000LL, false, "USB"));
            }
            return out;
        };
        s.namedVolumes = [] { return std::map<std::string, std::vector<std::string>>{}; };
        return s;
    }
};

fs::path screenshotDir() {
    const fs::path dir = fs::path(TAMSEL_BUILD_DIR) / "screenshots";
    fs::create_directories(dir);
    return dir;
}

QPalette darkPalette() {
    QPalette p;
    const QColor window(0x1e, 0x1e, 0x1e), base(0x2a, 0x2a, 0x2a), text(0xe8, 0xe8, 0xe8);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(0x33, 0x3d, 0x50));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3a));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::PlaceholderText, QColor(0xa0, 0xa0, 0xa0));
    p.setColor(QPalette::Highlight, QColor(0x4c, 0x8d, 0xff));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Light, QColor(0x50, 0x50, 0x50));
    p.setColor(QPalette::Midlight, QColor(0x40, 0x40, 0x40));
    p.setColor(QPalette::Mid, QColor(0x30, 0x30, 0x30));
    p.setColor(QPalette::Dark, QColor(0x18, 0x18, 0x18));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
    return p;
}

// Draws `w` as it stands, light and dark, to <name>-light.png and <name>-dark.png.
void snap(QWidget* w, const QString& name) {
    for (const bool dark : {false, true}) {
        w->setPalette(dark ? darkPalette() : QApplication::style()->standardPalette());
        QApplication::processEvents();
        const QString file = QString::fromStdString((screenshotDir() / name.toStdString()).string()) +
                             (dark ? QStringLiteral("-dark.png") : QStringLiteral("-light.png"));
        QVERIFY2(w->grab().save(file), qPrintable(file));
    }
    w->setPalette(QApplication::style()->standardPalette());
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
        SourcePicker::setDefaultServices({});
        setFolderChooser({});
        setImageFileChooser({});
    }

    // --- Shared controls ---

    void thePickerListsDisksReloadsOnTheCheckboxAndMarksOnlyWhatIsChosen() {
        FakeDisks fake;
        fake.withCards = false;
        SourcePicker::setDefaultServices(fake.services());
        SourcePicker picker;
        picker.resize(640, 480);
        picker.show();
        // Loaded when shown: only an internal disk here, and the box is off.
        WAIT_UNTIL(!picker.loading() && !fake.asked.empty());
        QCOMPARE(fake.asked, std::vector<bool>{false});
        QVERIFY(picker.diskRows().isEmpty());
        QVERIFY(picker.emptyLabel()->isVisible());
        QVERIFY(picker.emptyLabel()->text().startsWith(QStringLiteral("SDカード・外付けディスクが見つかりません。")));

        // Ticking the box lists again, without "更新".
        fake.withCards = true;
        picker.internalCheck()->click();
        WAIT_UNTIL(!picker.loading() && fake.asked.size() == 2);
        QCOMPARE(fake.asked.back(), true);
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

        // An image file from the chooser; no disk row stays marked.
        setImageFileChooser([](QWidget*, const QString&) { return ChosenPath("/srv/images/card.img"); });
        picker.imageButton()->click();
        QCOMPARE(picker.selection(), std::optional(SourceSelection::imageFile("/srv/images/card.img")));
        QVERIFY(!picker.partitionRow("sdb2")->isSelected());

        // "更新" lists again and is off while listing.
        picker.refreshButton()->click();
        QVERIFY(!picker.refreshButton()->isEnabled());
        WAIT_UNTIL(!picker.loading());
        QVERIFY(picker.refreshButton()->isEnabled());
        QCOMPARE(fake.asked.size(), 3u);
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
        SourcePicker::setDefaultServices(fake.services());
        TempDir dir;
        TempDir out(kNoDiskFolder);
        makeMedium(dir / "medium.img", 40 * MiB);
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

        view.sourcePicker()->setSelection(SourceSelection::device(deviceOf(device->devicePath(), 40 * MiB)));
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
        SourcePicker::setDefaultServices(fake.services());
        TempDir dir;
        TempDir out(kNoDiskFolder);
        makeMedium(dir / "medium.img", 64 * MiB);
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
        view.sourcePicker()->setSelection(SourceSelection::device(deviceOf(device->devicePath(), 64 * MiB)));
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
        makeMedium(dir / "medium.img", 40 * MiB);
        auto device = FaultyDevice::create(dir / "medium.img", std::vector<BadRange>{}, why);
        if (!device) QSKIP(why.c_str());
        FakeDisks fake;
        SourcePicker::setDefaultServices(fake.services());
        ImagerView view;
        view.resize(760, 720);
        view.show();
        view.sourcePicker()->setSelection(SourceSelection::device(deviceOf(device->devicePath(), 40 * MiB)));
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

    void imagingIntoAFolderOnTheDriveItselfIsRefused() {
        std::string why;
        auto loop = LoopDisk::create("64M", why);
        if (!loop) QSKIP(why.c_str());
        FakeDisks fake;
        SourcePicker::setDefaultServices(fake.services());
        ImagerView view;
        view.resize(760, 720);
        view.show();
        ImagerModel& m = *view.model();
        view.sourcePicker()->setSelection(SourceSelection::device(deviceOf(loop->devicePath(), 64 * MiB)));
        view.folderRow()->setUrl(loop->mountPath() / "out");
        WAIT_UNTIL(!view.sourcePicker()->loading());
        QVERIFY(view.blockerLabel()->isVisible());
        QCOMPARE(view.blockerLabel()->text(), QString::fromUtf8(kSameDiskMessage));
        QVERIFY(!view.startButton()->isEnabled());
        view.startButton()->click();  // disabled: nothing happens
        QCOMPARE(m.state(), JobState::idle());
        QVERIFY(!fs::exists(loop->mountPath() / "out"));
        snap(&view, QStringLiteral("imaging-same-disk"));

        // Another folder clears it.
        TempDir elsewhere(kNoDiskFolder);
        view.folderRow()->setUrl(elsewhere.path());
        QVERIFY(!view.blockerLabel()->isVisible());
        QVERIFY(view.startButton()->isEnabled());
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

    void salvageIntoTheSourceDiskIsRefused() {
        std::string why;
        auto loop = LoopDisk::create("64M", why);
        if (!loop) QSKIP(why.c_str());
        fs::create_directories(loop->mountPath() / "photos");
        SalvageView view;
        view.resize(760, 640);
        view.show();
        view.sourceRow()->setUrl(loop->mountPath() / "photos");
        view.destinationRow()->setUrl(loop->mountPath() / "copy");
        QVERIFY(view.blockerLabel()->isVisible());
        QCOMPARE(view.blockerLabel()->text(), QString::fromUtf8(kSameDiskMessage));
        QVERIFY(!view.startButton()->isEnabled() && !view.previewButton()->isEnabled());
        snap(&view, QStringLiteral("salvage-same-disk"));
    }
};

int main(int argc, char** argv) {
    // No display in CI: draw offscreen unless told otherwise.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ViewsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "ViewsTest.moc"
