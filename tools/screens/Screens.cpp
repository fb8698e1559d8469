// Every screen of the window drawn by a real X server, light and dark, to
// PNG files under the build folder (screenshots/), each checked for being
// more than a blank page and for Japanese drawn with real glyphs.

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QSet>

#include "tests/views/ViewTestSupport.h"
#include "support/FaultyDevice.h"
#include "support/Process.h"
#include "views/CarveSelectView.h"
#include "views/FolderPickerRow.h"
#include "views/ImagerView.h"
#include "views/SalvageView.h"
#include "views/SourcePicker.h"
#include "views/StartView.h"
#include "views/ResultTileDelegate.h"
#include "views/ScanningView.h"
#include "views/ResultsBrowser.h"
#include "views/PreviewDialog.h"
#include "models/ResultsTableModel.h"
#include <QHeaderView>
#include <QTableView>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>

using namespace tamsel;
using namespace tamsel::test;
using models::CarveJob;
using models::FileSelection;
using models::FoundFiles;
using models::WindowState;
using models::Workspace;

namespace {
// Two different kanji drawn alike means both came out as the missing-glyph box.
bool drawsJapanese(const QFont& font) {
    auto draw = [&](const QString& s) {
        QImage img(64, 64, QImage::Format_RGB32);
        img.fill(Qt::white);
        QPainter p(&img);
        QFont f = font;
        f.setPixelSize(40);
        p.setFont(f);
        p.setPen(Qt::black);
        p.drawText(img.rect(), Qt::AlignCenter, s);
        return img;
    };
    const QImage a = draw(QStringLiteral("復")), b = draw(QStringLiteral("元")), blank = draw(QString());
    return a != b && a != blank && b != blank;
}

// More than a handful of colours: something was drawn.
int colourCount(const QImage& img) {
    QSet<QRgb> seen;
    for (int y = 0; y < img.height(); y += 3)
        for (int x = 0; x < img.width(); x += 3) {
            seen.insert(img.pixel(x, y));
            if (seen.size() > 200) return int(seen.size());
        }
    return int(seen.size());
}
}  // namespace

class Screens : public QObject {
    Q_OBJECT

    QString outDir_ = QStringLiteral(TAMSEL_SCREENSHOT_DIR);

    void shoot(QWidget* w, const QString& name) {
        QApplication::processEvents();
        QTest::qWait(50);
        const QImage img = w->grab().toImage();
        QVERIFY(!img.isNull());
        const QString file = outDir_ + QLatin1Char('/') + name + QStringLiteral(".png");
        QVERIFY(img.save(file));
        QVERIFY2(colourCount(img) > 20, qPrintable(file + QStringLiteral(" is blank")));
    }

    // Each screen (or dialog) in both appearances.
    void shootBoth(QWidget& win, const QString& name) {
        for (bool dark : {false, true}) {
            views::Theme::shared().setDark(dark);
            shoot(&win, name + (dark ? QStringLiteral("-dark") : QStringLiteral("-light")));
        }
        views::Theme::shared().setDark(false);
    }

    // The preview on found file `index`, once its picture is made (or known to be none).
    void shootPreview(views::ResultsBrowser* view, qint64 index, const QString& name) {
        view->openPreview(index);
        views::PreviewDialog* preview = view->preview();
        QVERIFY(preview && QTest::qWaitForWindowExposed(preview));
        WAIT_UNTIL(preview->model()->state() != models::PreviewModel::State::loading);
        shootBoth(*preview, name);
        preview->close();
    }

private slots:
    void initTestCase() {
        QDir().mkpath(outDir_);
        QVERIFY2(drawsJapanese(QApplication::font()), "Japanese renders as boxes: install fonts-noto-cjk");
        // A camera card (its volume mounted) and a portable SSD, for every screen's list.
        models::DiskList::setLister([] {
            const DiskDevice card = removableDisk("mmcblk0", kCardBytes, "Secure Digital", "SD Card Reader");
            DiskDevice volume = card;
            volume.kernelName = "mmcblk0p1";
            volume.name = "旅行の写真";
            volume.isWholeDisk = false;
            volume.mountPoint = "/media/user/旅行の写真";
            volume.sizeBytes = 31'900'000'000;
            // An image attached with losetup, listed behind its toggle.
            DiskDevice loop = removableDisk("loop3", 1'073'741'824, disks::kVirtualBus);
            loop.isRemovable = false;
            loop.isInternal = true;
            return disks::Snapshot{{card, volume, removableDisk("sdb", 500'107'862'016, "USB", "Portable SSD"), loop}, {}};
        });
    }

    // The drive check as the window opens, while it reads, and with its advice.
    void driveCheckScreens() {
        TempDir dir;
        makeSmallCard(dir / "card.img", 6, 8);
        app::MainWindow win(models::UpdateChecker::shared());
        win.resize(1180, 760);
        win.show();
        QVERIFY(QTest::qWaitForWindowExposed(&win));
        auto* view = qobject_cast<views::StartView*>(win.content()->currentScreen());
        QVERIFY(view);
        WAIT_UNTIL(!view->sourcePicker()->loading());
        shootBoth(win, QStringLiteral("01-drive-check-before"));

        std::string why;
        auto slow = SlowMedium::create(dir / "card.img", 40, why);
        if (slow) {
            view->sourcePicker()->setSelection(SourceSelection::imageFile(slow->path()));
            view->probeButton()->click();
            WAIT_UNTIL(view->model()->probeProgress() > 0.1);
            view->scrollArea()->verticalScrollBar()->setValue(view->scrollArea()->verticalScrollBar()->maximum());
            shootBoth(win, QStringLiteral("01-drive-check-running"));
            view->cancelButton()->click();
            models::waitForAllJobs();
        }
        view->sourcePicker()->setSelection(SourceSelection::imageFile(dir / "card.img"));
        view->probeButton()->click();
        WAIT_UNTIL(view->model()->step() == models::StartModel::Step::result);
        WAIT_UNTIL(!view->scrolling());
        shootBoth(win, QStringLiteral("01-drive-check-result"));
        QTest::mouseClick(view->noiseToggle(), Qt::LeftButton);
        QApplication::processEvents();  // the page grows by the preserving advice
        view->scrollArea()->verticalScrollBar()->setValue(view->scrollArea()->verticalScrollBar()->maximum());
        shootBoth(win, QStringLiteral("01-drive-check-result-preserve"));
        // The advice's button leads to the imaging screen, with the checked disk chosen.
        view->imageButton()->click();
        auto* imaging = qobject_cast<views::ImagerView*>(win.content()->currentScreen());
        QVERIFY(imaging);
        WAIT_UNTIL(!imaging->sourcePicker()->loading());
        shootBoth(win, QStringLiteral("10-imaging-from-drive-check"));
        // Carving takes it up too, and says what it will read.
        win.workspace()->window().setMode(WindowState::Mode::carve);
        shootBoth(win, QStringLiteral("10-carve-select-from-drive-check"));
    }

    // Imaging and salvage as reached from the mode picker, while they run and done.
    void imagingAndSalvageScreens() {
        TempDir dir;
        TempDir out(kNoDiskFolder);
        makeSmallCard(dir / "card.img", 6, 30);
        std::string why;
        auto slow = SlowMedium::create(dir / "card.img", 200, why);
        if (!slow) QSKIP(qPrintable(QString::fromStdString("needs nbdkit and nbdfuse: " + why)));
        app::MainWindow win(models::UpdateChecker::shared());
        win.resize(1180, 760);
        win.show();
        QVERIFY(QTest::qWaitForWindowExposed(&win));
        QTest::mouseClick(win.modeButton(WindowState::Mode::image), Qt::LeftButton);
        auto* imaging = qobject_cast<views::ImagerView*>(win.content()->currentScreen());
        QVERIFY(imaging);
        WAIT_UNTIL(!imaging->sourcePicker()->loading());
        shootBoth(win, QStringLiteral("08-imaging-idle"));
        imaging->sourcePicker()->loopCheck()->click();
        shootBoth(win, QStringLiteral("11-imaging-loop-devices"));
        imaging->sourcePicker()->loopCheck()->click();
        imaging->sourcePicker()->setSelection(SourceSelection::imageFile(slow->path()));
        imaging->folderRow()->setUrl(out / "images");
        imaging->startButton()->click();
        WAIT_UNTIL(imaging->model()->progress().bytesDone > 0 || !imaging->model()->state().isRunning());
        shootBoth(win, QStringLiteral("08-imaging-running"));
        WAIT_UNTIL(!imaging->model()->state().isRunning());
        shootBoth(win, QStringLiteral("08-imaging-done"));

        fs::create_directories(dir / "src" / "DCIM");
        int n = 0;
        for (const auto& f : corpusJpegs())
            if (n < 5) fs::copy_file(f, dir / "src" / "DCIM" / ("IMG_" + std::to_string(++n) + ".JPG"));
        QTest::mouseClick(win.modeButton(WindowState::Mode::salvage), Qt::LeftButton);
        auto* salvage = qobject_cast<views::SalvageView*>(win.content()->currentScreen());
        QVERIFY(salvage);
        shootBoth(win, QStringLiteral("09-salvage-idle"));
        salvage->sourceRow()->setUrl(dir / "src");
        salvage->destinationRow()->setUrl(out / "rescued");
        salvage->startButton()->click();
        WAIT_UNTIL(!salvage->model()->state().isRunning());
        shootBoth(win, QStringLiteral("09-salvage-done"));
        // Back in imaging: its folder and its result are still there.
        QTest::mouseClick(win.modeButton(WindowState::Mode::image), Qt::LeftButton);
        shootBoth(win, QStringLiteral("12-imaging-kept-on-return"));
    }

    // Jobs that end with losses, and closing the window over a running one.
    void lossesAndClosing() {
        TempDir dir;
        TempDir out(kNoDiskFolder);
        app::MainWindow win(models::UpdateChecker::shared());
        win.resize(1180, 760);
        win.show();
        QVERIFY(QTest::qWaitForWindowExposed(&win));

        // An image of a drive with unreadable stretches.
        writeFile(dir / "drive.img", randomBytes(24 << 20, 3));
        std::string why;
        auto drive = FaultyDevice::create(dir / "drive.img", std::vector<BadRange>{{9 << 20, 8192}, {17 << 20, 4096}}, why);
        if (!drive) QSKIP(qPrintable(QString::fromStdString("needs a faulty device: " + why)));
        QTest::mouseClick(win.modeButton(WindowState::Mode::image), Qt::LeftButton);
        auto* imaging = qobject_cast<views::ImagerView*>(win.content()->currentScreen());
        imaging->sourcePicker()->setSelection(SourceSelection::device(removableDisk(drive->devicePath(), 24 << 20)));
        imaging->folderRow()->setUrl(out / "images");
        imaging->startButton()->click();
        WAIT_UNTIL(!imaging->model()->state().isRunning());
        shootBoth(win, QStringLiteral("13-imaging-done-with-losses"));

        // A mounted volume with a photo whose third block cannot be read.
        if (haveTool("mkfs.ext4") && haveTool("debugfs")) {
            fs::create_directories(dir / "tree" / "DCIM");
            int n = 0;
            for (const auto& f : corpusJpegs())
                if (n < 4) fs::copy_file(f, dir / "tree" / "DCIM" / ("IMG_" + std::to_string(++n) + ".JPG"));
            const fs::path volume = dir / "ext4.img";
            QCOMPARE(run({"mkfs.ext4", "-q", "-F", "-b", "4096", "-d", (dir / "tree").string(), volume.string(), "16M"}).exitCode, 0);
            const std::string bmap = run({"debugfs", "-R", "bmap /DCIM/IMG_4.JPG 2", volume.string()}).output;
            const std::int64_t block = std::atoll(bmap.substr(bmap.find(")\n") + 2).c_str());
            QVERIFY2(block > 0, bmap.c_str());
            auto faulty = FaultyDevice::create(volume, std::vector<BadRange>{{block * 4096, 4096}}, why);
            fs::create_directories(dir / "mnt");
            if (faulty && run({"mount", "-t", "ext4", "-o", "ro,noload", faulty->devicePath(), (dir / "mnt").string()}).exitCode == 0) {
                QTest::mouseClick(win.modeButton(WindowState::Mode::salvage), Qt::LeftButton);
                auto* salvage = qobject_cast<views::SalvageView*>(win.content()->currentScreen());
                salvage->sourceRow()->setUrl(dir / "mnt");
                salvage->destinationRow()->setUrl(out / "rescued");
                salvage->startButton()->click();
                WAIT_UNTIL(!salvage->model()->state().isRunning());
                salvage->damagedToggle()->click();
                shootBoth(win, QStringLiteral("13-salvage-zero-filled"));
                run({"umount", (dir / "mnt").string()});
            }
        }

        // Closing while a copy runs asks first.
        makeSmallCard(dir / "card.img", 6, 30);
        auto slow = SlowMedium::create(dir / "card.img", 200, why);
        if (!slow) QSKIP(qPrintable(QString::fromStdString("needs nbdkit and nbdfuse: " + why)));
        QTest::mouseClick(win.modeButton(WindowState::Mode::image), Qt::LeftButton);
        imaging = qobject_cast<views::ImagerView*>(win.content()->currentScreen());
        imaging->sourcePicker()->setSelection(SourceSelection::imageFile(slow->path()));
        imaging->startButton()->click();
        WAIT_UNTIL(imaging->model()->progress().bytesDone > 0);
        for (bool dark : {false, true}) {
            views::Theme::shared().setDark(dark);
            QTimer::singleShot(300, [&, dark] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (!box) return;
                shoot(box, QStringLiteral("14-close-while-imaging") + (dark ? QStringLiteral("-dark") : QStringLiteral("-light")));
                box->reject();
            });
            QVERIFY(!win.close());
        }
        views::Theme::shared().setDark(false);
        imaging->model()->cancel();
        models::waitForAllJobs();
    }

    void shellAndSelectionScreens() {
        TempDir dir;
        makeSmallCard(dir / "card.img", 6, 3);
        fs::create_directories(dir / "out");
        app::MainWindow win(models::UpdateChecker::shared());
        win.resize(1180, 760);
        win.show();
        QVERIFY(QTest::qWaitForWindowExposed(&win));
        Workspace* ws = win.workspace();
        ws->window().setMode(WindowState::Mode::carve);
        auto* view = qobject_cast<views::CarveSelectView*>(win.content()->currentScreen());
        WAIT_UNTIL(!view->loading());
        shootBoth(win, QStringLiteral("02-carve-select-empty"));

        // A card chosen, a destination, and an interrupted scan to resume.
        view->chooseImageFile(QString::fromStdString((dir / "card.img").string()));
        view->chooseDestination(QString::fromStdString((dir / "out").string()));
        ws->job().startScan();
        ws->job().cancelScan();
        WAIT_UNTIL(ws->job().phase() == CarveJob::Phase::results);
        models::waitForAllJobs();
        ws->job().setPhase(CarveJob::Phase::source);
        ws->job().refreshResumable();
        view = qobject_cast<views::CarveSelectView*>(win.content()->currentScreen());
        WAIT_UNTIL(ws->job().resumable().has_value() && !view->loading());
        view->chooseDevice(view->devices().front().device);
        WAIT_UNTIL(!ws->job().resumable().has_value());
        view->chooseImageFile(QString::fromStdString((dir / "card.img").string()));
        WAIT_UNTIL(ws->job().resumable().has_value());
        ws->window().setErrorMessage(QStringLiteral("読み取り元を開けませんでした。"));
        shootBoth(win, QStringLiteral("03-carve-select-chosen"));
    }

    void scanningScreen() {
        TempDir dir;
        auto files = corpusFiles();
        std::vector<fs::path> some;
        for (const auto& f : files)
            if (fs::file_size(f) < 3'000'000 && some.size() < 14) some.push_back(f);
        makeCard(dir / "card.img", some, 1, 96 << 20);
        fs::create_directories(dir / "out");
        std::string why;
        auto slow = SlowMedium::create(dir / "card.img", 40, why);
        if (!slow) QSKIP(qPrintable(QString::fromStdString("needs nbdkit and nbdfuse: " + why)));
        app::MainWindow win(models::UpdateChecker::shared());
        win.resize(1180, 760);
        win.show();
        QVERIFY(QTest::qWaitForWindowExposed(&win));
        Workspace* ws = win.workspace();
        ws->window().setMode(WindowState::Mode::carve);
        ws->job().setSelectedSource(SourceSelection::imageFile(slow->path()));
        ws->job().setDestinationRoot(dir / "out");
        ws->job().startScan();
        auto* view = qobject_cast<views::ScanningView*>(win.content()->currentScreen());
        QVERIFY(view);
        WAIT_UNTIL(ws->job().progress().filesFound >= qint64(some.size()) / 2 && ws->job().progress().bytesScanned > (8 << 20));
        // Until the tiles in view have their thumbnails (or know they have none).
        WAIT_UNTIL((QApplication::processEvents(), view->grid()->updater()->idle()));
        shootBoth(win, QStringLiteral("04-scanning"));
        ws->job().cancelScan();
        WAIT_UNTIL(ws->job().phase() == CarveJob::Phase::results);
    }

    void resultsBrowser() {
        TempDir dir;
        std::vector<fs::path> some;
        for (const auto& f : corpusFiles())
            if (fs::file_size(f) < 6'000'000 && some.size() < 24) some.push_back(f);
        makeCard(dir / "card.img", some);
        fs::create_directories(dir / "out");
        app::MainWindow win(models::UpdateChecker::shared());
        win.resize(1280, 800);
        win.show();
        QVERIFY(QTest::qWaitForWindowExposed(&win));
        Workspace* ws = win.workspace();
        ws->job().setRevealer([](const fs::path&) {});
        auto* view = scanToResults(win, dir / "card.img", dir / "out");
        QVERIFY(view);
        ws->selection().deselectAll();
        for (qsizetype i = 0; i < ws->results().size(); i += 3) ws->selection().toggle(ws->results()[i].index);
        ws->selection().setCurrent(ws->results()[std::min<qsizetype>(6, ws->results().size() - 1)].index);
        WAIT_UNTIL((QApplication::processEvents(), view->grid()->updater()->idle()));
        shootBoth(win, QStringLiteral("05-results-grid"));
        // Sorted by the table's size column, largest first; the grid lists the same order.
        ws->results().setViewMode(ResultViewMode::list);
        QTest::mouseClick(view->table()->horizontalHeader()->viewport(), Qt::LeftButton, {},
                          QPoint(view->table()->horizontalHeader()->sectionViewportPosition(models::ResultsTableModel::sizeColumn) + 20, 10));
        QTest::mouseClick(view->table()->horizontalHeader()->viewport(), Qt::LeftButton, {},
                          QPoint(view->table()->horizontalHeader()->sectionViewportPosition(models::ResultsTableModel::sizeColumn) + 20, 10));
        shootBoth(win, QStringLiteral("06-results-table"));
        ws->results().setViewMode(ResultViewMode::grid);
        WAIT_UNTIL((QApplication::processEvents(), view->grid()->updater()->idle()));
        shootBoth(win, QStringLiteral("06-results-grid-sorted"));
        ws->results().setSort(ResultSort::found, false);

        // A photo, then a video, seen whole.
        shootPreview(view, ws->results()[std::min<qsizetype>(11, ws->results().size() - 1)].index, QStringLiteral("10-preview-photo"));
        for (const auto& f : ws->results())
            if (ws->results().kind(f) == MediaClass::video) {
                shootPreview(view, f.index, QStringLiteral("10-preview-video"));
                break;
            }

        // After a recovery: what it wrote and where.
        ws->recoverSelected();
        WAIT_UNTIL(!ws->job().recovering());
        shootBoth(win, QStringLiteral("11-recovery-report"));
        ws->job().dismissRecoveryReport();

        // Searching by a kind's word.
        win.searchField()->setText(QStringLiteral("動画"));
        WAIT_UNTIL((QApplication::processEvents(), view->grid()->updater()->idle()));
        shootBoth(win, QStringLiteral("07-results-search-kind"));
        win.searchField()->setText(QStringLiteral("zzz"));
        ws->selection().setCurrent(std::nullopt);
        shootBoth(win, QStringLiteral("07-results-empty"));
    }

    // At the window's smallest size, with a photo read partly from an unreadable stretch.
    void resultsNarrowWithADamagedFile() {
        TempDir dir;
        std::vector<fs::path> some;
        for (const auto& f : corpusJpegs())
            if (some.size() < 8) some.push_back(f);
        makeCard(dir / "card.img", some, 1, 2 << 20);
        const auto size = fs::file_size(dir / "card.img");
        fs::resize_file(dir / "card.img", (size + (1 << 20) - 1) / (1 << 20) * (1 << 20));
        fs::create_directories(dir / "out");
        // Inside the last photo's picture data.
        std::int64_t at = 0;
        for (std::size_t i = 0; i + 1 < some.size(); ++i) at = (at + std::int64_t(fs::file_size(some[i])) + 65535) / 65536 * 65536;
        std::string why;
        auto device = FaultyDevice::create(dir / "card.img", std::vector<BadRange>{{(at + 8192) / 4096 * 4096, 4096}}, why);
        if (!device) QSKIP(qPrintable(QString::fromStdString("needs a faulty device: " + why)));
        app::MainWindow win(models::UpdateChecker::shared());
        win.resize(win.minimumSize());
        win.show();
        QVERIFY(QTest::qWaitForWindowExposed(&win));
        Workspace* ws = win.workspace();
        ws->job().setRevealer([](const fs::path&) {});
        ws->window().setMode(WindowState::Mode::carve);
        ws->job().setSelectedSource(SourceSelection::device(removableDisk(
            device->devicePath(), std::int64_t(fs::file_size(dir / "card.img")), "Secure Digital", "SD Card Reader")));
        ws->job().setDestinationRoot(dir / "out");
        ws->job().startScan();
        WAIT_UNTIL(ws->job().phase() == CarveJob::Phase::results);
        auto* view = qobject_cast<views::ResultsBrowser*>(win.content()->currentScreen());
        QVERIFY(view);
        for (const auto& f : ws->results())
            if (f.damaged) ws->selection().setCurrent(f.index);
        QVERIFY2(ws->selection().currentFile() && ws->selection().currentFile()->damaged, "a damaged file is focused");
        WAIT_UNTIL((QApplication::processEvents(), view->grid()->updater()->idle()));
        shootBoth(win, QStringLiteral("08-results-narrow-damaged"));
        ws->results().setViewMode(ResultViewMode::list);
        shootBoth(win, QStringLiteral("09-results-table-narrow"));
        // Its recovery names the damaged photo; one into a folder gone says why it failed.
        ws->results().setViewMode(ResultViewMode::grid);
        ws->recoverSelected();
        WAIT_UNTIL(!ws->job().recovering());
        shootBoth(win, QStringLiteral("11-recovery-report-damaged"));
        for (const auto& e : fs::directory_iterator(dir / "out"))
            if (e.path().filename().string().starts_with("復元済み_")) fs::remove_all(e.path());
        fs::rename(dir / "out", dir / "gone");
        ws->recoverSelected();
        WAIT_UNTIL(!ws->job().recovering());
        shootBoth(win, QStringLiteral("11-recovery-error"));
    }
};

TAMSEL_VIEW_TEST_MAIN(Screens, "xcb")
#include "Screens.moc"
