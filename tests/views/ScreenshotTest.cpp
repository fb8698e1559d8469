// Every screen of the window drawn by a real X server, light and dark, to
// PNG files under the build folder (screenshots/), each checked for being
// more than a blank page and for Japanese drawn with real glyphs.

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QSet>

#include "tests/views/ViewTestSupport.h"
#include "support/FaultyDevice.h"
#include "views/CarveSelectView.h"
#include "views/ResultTileDelegate.h"
#include "views/ScanningView.h"
#include "views/ResultsBrowser.h"
#include <QLineEdit>

using namespace tamsel;
using namespace tamsel::test;
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

class ScreenshotTest : public QObject {
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

    // Each screen in both appearances.
    void shootBoth(app::MainWindow& win, const QString& name) {
        for (bool dark : {false, true}) {
            views::Theme::shared().setDark(dark);
            shoot(&win, name + (dark ? QStringLiteral("-dark") : QStringLiteral("-light")));
        }
        views::Theme::shared().setDark(false);
    }

private slots:
    void initTestCase() {
        QDir().mkpath(outDir_);
        QVERIFY2(drawsJapanese(QApplication::font()), "Japanese renders as boxes: install fonts-noto-cjk");
        views::CarveSelectView::setDiskLister([](bool) {
            DiskDevice d;
            d.bsdName = "mmcblk0";
            d.name = "SD Card Reader";
            d.sizeBytes = 31'914'983'424;
            d.isWholeDisk = true;
            d.isRemovable = true;
            d.protocolName = "Secure Digital";
            DiskDevice u = d;
            u.bsdName = "sdb";
            u.name = "Portable SSD";
            u.protocolName = "USB";
            u.sizeBytes = 500'107'862'016;
            return std::vector<DiskListing>{{d, {"旅行の写真"}}, {u, {}}};
        });
    }

    void shellAndSelectionScreens() {
        TempDir dir;
        makeSmallCard(dir / "card.img", 6, 3);
        fs::create_directories(dir / "out");
        app::MainWindow win(models::UpdateChecker::shared());
        win.resize(1180, 760);
        win.show();
        QVERIFY(QTest::qWaitForWindowExposed(&win));
        shootBoth(win, QStringLiteral("01-start-placeholder"));

        Workspace* ws = win.workspace();
        ws->setMode(Workspace::Mode::carve);
        auto* view = qobject_cast<views::CarveSelectView*>(win.content()->currentScreen());
        WAIT_UNTIL(!view->loading());
        shootBoth(win, QStringLiteral("02-carve-select-empty"));

        // A card chosen, a destination, and an interrupted scan to resume.
        view->chooseImageFile(QString::fromStdString((dir / "card.img").string()));
        view->chooseDestination(QString::fromStdString((dir / "out").string()));
        ws->startScan();
        ws->cancelScan();
        WAIT_UNTIL(ws->phase() == Workspace::Phase::results);
        models::waitForAllJobs();
        ws->setPhase(Workspace::Phase::source);
        ws->refreshResumable();
        view = qobject_cast<views::CarveSelectView*>(win.content()->currentScreen());
        WAIT_UNTIL(ws->resumable().has_value() && !view->loading());
        view->chooseDevice(view->devices().front().device);
        WAIT_UNTIL(!ws->resumable().has_value());
        view->chooseImageFile(QString::fromStdString((dir / "card.img").string()));
        WAIT_UNTIL(ws->resumable().has_value());
        ws->setErrorMessage(QStringLiteral("読み取り元を開けませんでした。"));
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
        ws->setMode(Workspace::Mode::carve);
        ws->setSelectedSource(SourceSelection::imageFile(slow->path()));
        ws->setDestinationRoot(dir / "out");
        ws->startScan();
        auto* view = qobject_cast<views::ScanningView*>(win.content()->currentScreen());
        QVERIFY(view);
        WAIT_UNTIL(ws->progress().filesFound >= qint64(some.size()) / 2 && ws->progress().bytesScanned > (8 << 20));
        // Until the tiles in view have their thumbnails (or know they have none).
        WAIT_UNTIL((QApplication::processEvents(), view->grid()->loader()->pendingCount() == 0));
        shootBoth(win, QStringLiteral("04-scanning"));
        ws->cancelScan();
        WAIT_UNTIL(ws->phase() == Workspace::Phase::results);
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
        ws->setRevealer([](const fs::path&) {});
        ws->setMode(Workspace::Mode::carve);
        ws->setSelectedSource(SourceSelection::imageFile(dir / "card.img"));
        ws->setDestinationRoot(dir / "out");
        ws->startScan();
        WAIT_UNTIL(ws->phase() == Workspace::Phase::results);
        auto* view = qobject_cast<views::ResultsBrowser*>(win.content()->currentScreen());
        QVERIFY(view);
        ws->deselectAll();
        for (std::size_t i = 0; i < ws->results().size(); i += 3) ws->toggle(ws->results()[i].id);
        ws->setFocusID(ws->results()[std::min<std::size_t>(6, ws->results().size() - 1)].id);
        WAIT_UNTIL((QApplication::processEvents(), view->grid()->loader()->pendingCount() == 0));
        QTest::qWait(300);  // the inspector's larger preview
        shootBoth(win, QStringLiteral("05-results-grid"));
        ws->setViewMode(ResultViewMode::list);
        shootBoth(win, QStringLiteral("06-results-table"));
        ws->setViewMode(ResultViewMode::grid);
        win.searchField()->setText(QStringLiteral("zzz"));
        ws->setFocusID(std::nullopt);
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
        ws->setRevealer([](const fs::path&) {});
        ws->setMode(Workspace::Mode::carve);
        DiskDevice d;
        d.bsdName = fs::path(device->devicePath()).filename().string();
        d.name = "SD Card Reader";
        d.isWholeDisk = true;
        d.isRemovable = true;
        d.protocolName = "Secure Digital";
        d.sizeBytes = std::int64_t(fs::file_size(dir / "card.img"));
        ws->setSelectedSource(SourceSelection::device(d));
        ws->setDestinationRoot(dir / "out");
        ws->startScan();
        WAIT_UNTIL(ws->phase() == Workspace::Phase::results);
        auto* view = qobject_cast<views::ResultsBrowser*>(win.content()->currentScreen());
        QVERIFY(view);
        for (const auto& f : ws->results())
            if (f.damaged) ws->setFocusID(f.id);
        QVERIFY2(ws->focusedFile() && ws->focusedFile()->damaged, "a damaged file is focused");
        WAIT_UNTIL((QApplication::processEvents(), view->grid()->loader()->pendingCount() == 0));
        QTest::qWait(300);
        shootBoth(win, QStringLiteral("08-results-narrow-damaged"));
        ws->setViewMode(ResultViewMode::list);
        shootBoth(win, QStringLiteral("09-results-table-narrow"));
    }
};

TAMSEL_VIEW_TEST_MAIN(ScreenshotTest, "xcb")
#include "ScreenshotTest.moc"
