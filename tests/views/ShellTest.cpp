// The window over the real workspace: the shell's mode picker and toolbar,
// the selection screen's texts and rules, and the icon table.

#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QDirIterator>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QToolButton>

#include <set>

#include "support/FaultyDevice.h"
#include "support/LoopDisk.h"
#include "support/SmallTmpfs.h"
#include "tests/views/ViewTestSupport.h"
#include "views/CarveSelectView.h"
#include "views/Icons.h"
#include "views/ImagerView.h"
#include "views/SalvageView.h"
#include "views/SourcePicker.h"
#include "views/StartView.h"
#include "views/FolderPickerRow.h"
#include "views/ResultTileDelegate.h"
#include "views/ScanningView.h"
#include "models/ResultsTableModel.h"
#include "views/InspectorPane.h"
#include "views/ResultsBrowser.h"
#include "views/PreviewDialog.h"
#include "views/RecoveryReportPane.h"
#include <QTableView>
#include <QProgressBar>
#include "models/Shared.h"
#include "views/Widgets.h"
#include "models/ResultFilters.h"
#include "workflow/SourceChecks.h"

using namespace tamsel;
using namespace tamsel::test;
using models::CarveJob;
using models::FileSelection;
using models::FoundFiles;
using models::WindowState;
using models::Workspace;
using views::CarveSelectView;

namespace {
DiskListing cardListing(const std::string& bsd, const std::string& volume) {
    DiskListing l{removableDisk(bsd, kCardBytes, "Secure Digital", "SD Card Reader"), {}};
    if (!volume.empty()) l.volumes.push_back(volume);
    return l;
}

// `files` placed at the given offsets of an image of whole MiBs, zeros elsewhere.
void makeCardAt(const fs::path& image, const std::vector<std::pair<std::int64_t, fs::path>>& files, std::int64_t size) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(size), 0);
    for (const auto& [at, file] : files) {
        const auto bytes = readFile(file);
        std::copy(bytes.begin(), bytes.end(), data.begin() + at);
    }
    writeFile(image, data);
}

// The folders of recovered files under `out` and the recovered files each holds.
std::vector<std::vector<fs::path>> recoveredFolders(const fs::path& out) {
    std::vector<std::vector<fs::path>> folders;
    for (const auto& e : fs::directory_iterator(out)) {
        if (!e.is_directory() || e.path().filename().string().rfind("復元済み_", 0) != 0) continue;
        std::vector<fs::path> files;
        for (const auto& f : fs::recursive_directory_iterator(e.path()))
            if (f.is_regular_file() && f.path().extension() != ".csv") files.push_back(f.path());  // not the report
        folders.push_back(files);
    }
    return folders;
}

// The colour of the most opaque pixel of an icon: its tint.
QColor tintOf(const QPixmap& pm) {
    const QImage img = pm.toImage().convertToFormat(QImage::Format_ARGB32);
    QColor best;
    int alpha = -1;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QColor c = img.pixelColor(x, y);
            if (c.alpha() > alpha) {
                alpha = c.alpha();
                best = c;
            }
        }
    best.setAlpha(255);
    return best;
}

bool sameColour(const QColor& a, const QColor& b) {
    return std::abs(a.red() - b.red()) <= 2 && std::abs(a.green() - b.green()) <= 2 && std::abs(a.blue() - b.blue()) <= 2;
}

// The window over its own workspace, shown; `dir` holds an empty "out".
struct Shell {
    TempDir dir;
    app::MainWindow win{models::UpdateChecker::shared()};
    Workspace* ws = win.workspace();
    explicit Shell(QSize size = {}) {
        fs::create_directories(dir / "out");
        if (size.isValid()) win.resize(size);
        win.show();
    }
    template <class View> View* screen() { return qobject_cast<View*>(win.content()->currentScreen()); }
    // Starts the carve scan of `source` into "out".
    void scan(const SourceSelection& source) {
        ws->window().setMode(WindowState::Mode::carve);
        ws->job().setSelectedSource(source);
        ws->job().setDestinationRoot(dir / "out");
        ws->job().startScan();
    }
};

// The icon of the first IconLabel under `root` showing `text`.
QPixmap iconBeside(QWidget* root, const QString& text) {
    for (auto* l : root->findChildren<views::IconLabel*>())
        if (l->text() == text) return l->iconPixmap();
    return {};
}
}  // namespace

class ShellTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { setListedDisks({}); }

    // Every mode has its button, titled, with an icon, in the order of the
    // modes, and shows its screen; a mode the model sets moves the picker too.
    void modePickerOffersEveryModeInOrderAndShowsItsScreen() {
        Shell s;
        QCOMPARE(s.ws->window().mode(), WindowState::Mode::start);
        int lastX = -1;
        for (WindowState::Mode mode : WindowState::allModes) {
            QToolButton* b = s.win.modeButton(mode);
            QVERIFY(b);
            QCOMPARE(b->text(), WindowState::title(mode));
            QVERIFY(!b->icon().isNull());
            const int x = b->mapTo(&s.win, QPoint(0, 0)).x();
            QVERIFY2(x > lastX, "the modes stand in their order");
            lastX = x;
        }
        QVERIFY(s.screen<views::StartView>());
        QTest::mouseClick(s.win.modeButton(WindowState::Mode::carve), Qt::LeftButton);
        QCOMPARE(s.ws->window().mode(), WindowState::Mode::carve);
        QVERIFY(s.screen<CarveSelectView>());
        QVERIFY(!s.win.resultsToolsShown());
        QTest::mouseClick(s.win.modeButton(WindowState::Mode::salvage), Qt::LeftButton);
        QVERIFY(s.screen<views::SalvageView>());
        QTest::mouseClick(s.win.modeButton(WindowState::Mode::image), Qt::LeftButton);
        QVERIFY(s.screen<views::ImagerView>());
        s.ws->window().setMode(WindowState::Mode::carve);
        QVERIFY(s.win.modeButton(WindowState::Mode::carve)->isChecked());
        // No release offered: no banner. The update check's switch is the settings menu's.
        QVERIFY(!find(&s.win, "updateBanner")->isVisible());
        QAction* updates = nullptr;
        for (auto* a : s.win.findChildren<QAction*>())
            if (a->text() == QStringLiteral("新しいバージョンを確認する")) updates = a;
        QVERIFY(updates && updates->isChecked() == models::UpdateChecker::shared().enabled());
        updates->setChecked(false);
        QVERIFY(!models::UpdateChecker::shared().enabled());
        updates->setChecked(true);
        QVERIFY(models::UpdateChecker::shared().enabled());
    }

    // The disk the drive check looks at is the one imaging and carving go on
    // with. Each mode keeps its choices and its last result across visits; a
    // copy still running is shown again (not a second, idle screen beside it)
    // and goes on to its end unseen. Closing the window over a running copy
    // asks first, and stops it only when the user agrees.
    void modesKeepTheirChoicesAndResultsAndARunningCopyIsStoppedOnlyWhenClosingIsAgreed() {
        Shell s;
        TempDir out(kNoDiskFolder);
        writeFile(s.dir / "card.img", randomBytes(16 << 20, 7));
        std::string why;
        // About 1.5 s to copy what the identity's samples (10 MiB) did not already read.
        auto slow = SlowMedium::limitedTo(s.dir / "card.img", 4 << 20, why);
        if (!slow) QSKIP(qPrintable(QString::fromStdString("needs nbdkit and nbdfuse: " + why)));
        const auto card = SourceSelection::imageFile(slow->path());

        auto* check = s.screen<views::StartView>();
        QVERIFY(check);
        check->sourcePicker()->setSelection(card);
        check->model()->setReportsNoise(true);
        s.ws->window().setMode(WindowState::Mode::carve);
        QCOMPARE(s.ws->job().selectedSource(), std::optional(card));
        QVERIFY(showsText(s.screen<CarveSelectView>(), QStringLiteral("読み取り元: ") + QString::fromStdString(slow->path().string())));
        s.ws->window().setMode(WindowState::Mode::start);
        QVERIFY(s.screen<views::StartView>()->model()->reportsNoise());

        s.ws->window().setMode(WindowState::Mode::image);
        auto* view = s.screen<views::ImagerView>();
        QVERIFY(view);
        models::ImagerModel* model = view->model();
        QCOMPARE(view->sourcePicker()->selection(), std::optional(card));
        view->folderRow()->setUrl(out / "images");
        view->startButton()->click();
        WAIT_UNTIL(model->progress().bytesDone > 0 || !model->state().isRunning());
        if (!model->state().isRunning()) QSKIP(qPrintable("the copy ended before the mode could be left: " + model->state().message));
        const fs::path image = *model->imagePath();

        s.ws->window().setMode(WindowState::Mode::salvage);
        QCOMPARE(s.screen<views::SalvageView>()->model()->state(), models::JobState::idle());
        s.ws->window().setMode(WindowState::Mode::image);
        view = s.screen<views::ImagerView>();
        QCOMPARE(view->model(), model);
        QVERIFY(view->cancelButton()->isVisible());
        QVERIFY(!view->startButton()->isVisible());

        // Left again, it ends unseen, and the image is whole; the next visit shows how it ended.
        s.ws->window().setMode(WindowState::Mode::carve);
        WAIT_UNTIL(!model->state().isRunning());
        QVERIFY(readFile(image) == readFile(s.dir / "card.img"));
        s.ws->window().setMode(WindowState::Mode::image);
        view = s.screen<views::ImagerView>();
        QCOMPARE(view->model(), model);
        QVERIFY(view->outcomeLabel()->isVisible() && view->outcomeLabel()->text().startsWith(QStringLiteral("完了: ")));
        QCOMPARE(view->folderRow()->url(), std::optional(out / "images"));

        // Closing over a running copy: refused once, the copy goes on; agreed, it stops first.
        view->folderRow()->setUrl(out / "again");
        view->startButton()->click();
        const models::Task copy = view->model()->task();
        WAIT_UNTIL(view->model()->progress().bytesDone > 0 || copy->isFinished());
        if (copy->isFinished()) QSKIP("the copy ended before the window could be closed");
        QStringList asked;
        bool agree = false;
        s.win.setCloseQuestion([&](QWidget*, const QString& question) {
            asked << question;
            return agree;
        });
        QVERIFY(!s.win.close());
        QVERIFY(s.win.isVisible() && !copy->isCancelled());
        QCOMPARE(asked.size(), 1);
        QVERIFY2(asked.front().startsWith(QStringLiteral("イメージ化の途中です。")), qPrintable(asked.front()));
        agree = true;
        QVERIFY(s.win.close());
        QVERIFY(copy->isFinished() && copy->isCancelled());
        QVERIFY(fs::exists(RawImageOutput::progressPath(*view->model()->imagePath())));  // the map to resume from
    }

    void selectionScreenSaysWhatIsMissingRefusesTheSourceDiskAndCallsASmallDestinationLow() {
        Shell s;
        makeSmallCard(s.dir / "card.img", 2);
        s.ws->window().setMode(WindowState::Mode::carve);
        auto* view = s.screen<CarveSelectView>();
        QVERIFY(view);
        auto* hint = find<QLabel>(view, "hint");
        auto* start = find<QPushButton>(view, "startScan");
        QCOMPARE(hint->text(), QStringLiteral("復元元のディスクと、保存先のフォルダを選んでください。"));
        QVERIFY(!start->isEnabled());
        QVERIFY(showsText(view, QStringLiteral("まだ選ばれていません。スキャンを始めるには必要です。")));
        view->chooseDestination(QString::fromStdString((s.dir / "not yet").string()));
        QCOMPARE(hint->text(), QStringLiteral("復元元のディスクを選んでください。"));
        s.ws->job().setDestinationRoot(std::nullopt);
        view->chooseImageFile(QString::fromStdString((s.dir / "card.img").string()));
        QCOMPARE(hint->text(), QStringLiteral("保存先のフォルダを選んでください。"));
        QVERIFY(!start->isEnabled());
        view->chooseDestination(QString::fromStdString((s.dir / "out").string()));
        QVERIFY(!hint->isVisibleTo(view));
        QVERIFY(start->isEnabled());
        QVERIFY(showsTextContaining(view, QStringLiteral("空き容量 ")));
        QVERIFY(!find(view, "sameDisk")->isVisibleTo(view));
        // A failed scan's message stays on the screen.
        s.ws->window().setErrorMessage(QStringLiteral("読み取り元を開けませんでした。"));
        QVERIFY(find(view, "error")->isVisibleTo(view));
        QVERIFY(showsText(view, QStringLiteral("読み取り元を開けませんでした。")));
        QVERIFY(showsText(view, QStringLiteral("削除に気づいたら、そのディスクへの書き込みをすぐ止めてください。上書きされた部分は戻せません。")));

        // A folder on the source disk is refused; another, small one is only called low.
        std::string why;
        auto disk = LoopDisk::create("64M", why);
        if (!disk) QSKIP(qPrintable(QString::fromStdString("needs a loop device: " + why)));
        auto small = SmallTmpfs::mount("64m", why);
        if (!small) QSKIP(qPrintable(QString::fromStdString("needs a tmpfs: " + why)));
        view->chooseDevice(removableDisk(disk->devicePath(), 64 << 20));
        view->chooseDestination(QString::fromStdString(disk->mountPath().string()));
        QVERIFY(find(view, "sameDisk")->isVisibleTo(view));
        QVERIFY(showsText(view, QString::fromUtf8(kSameDiskMessage)));
        QVERIFY(!start->isEnabled());
        // The same disk chosen by its path as a file: refused and said so alike.
        view->chooseImageFile(QString::fromStdString(disk->devicePath()));
        QVERIFY(find(view, "sameDisk")->isVisibleTo(view));
        QCOMPARE(hint->text(), QStringLiteral("保存先を選び直してください(理由は保存先の欄にあります)。"));
        QVERIFY(!start->isEnabled());
        view->chooseDestination(QString::fromStdString(small->path().string()));
        QVERIFY(!find(view, "sameDisk")->isVisibleTo(view));
        auto* free = find<views::IconLabel>(view, "freeSpace");
        QVERIFY(free->isVisibleTo(view));
        QVERIFY(free->text().startsWith(QStringLiteral("空き容量 ")));
        QVERIFY(free->text().endsWith(QStringLiteral(" — 少なめです。空きの多いディスクを推奨します。")));
        QCOMPARE(free->symbol(), QStringLiteral("alert-triangle-filled"));
    }

    void diskListFollowsPluggedCards() {
        Workspace ws;
        ws.window().setMode(WindowState::Mode::carve);
        CarveSelectView view(&ws);
        view.show();
        WAIT_UNTIL(!view.loading());
        QVERIFY(showsText(&view, QStringLiteral("SDカード・外付けディスクが見つかりません。挿し直して更新するか、「内蔵ディスクも表示」を選んでください。")));
        setListedDisks({cardListing("mmcblk0", "旅行の写真")});
        QSignalSpy changed(&view, &CarveSelectView::devicesChanged);
        WAIT_UNTIL(changed.count() >= 1);  // the next poll
        QCOMPARE(view.devices().size(), std::size_t(1));
        QWidget* card = find(&view, "drive_mmcblk0");
        QVERIFY(card);
        QVERIFY(showsText(&view, QStringLiteral("旅行の写真")));
        QTest::mouseClick(card, Qt::LeftButton);
        QVERIFY(ws.job().selectedSource());
        QCOMPARE(ws.job().selectedSource()->path(), std::string("/dev/mmcblk0"));
        // A disk without named volumes says so; an attached image shows on its toggle.
        DiskListing loop{removableDisk("loop3", 64 << 20, disks::kVirtualBus), {}};
        setListedDisks({cardListing("mmcblk0", ""), loop});
        WAIT_UNTIL(changed.count() >= 2);
        QVERIFY(showsText(&view, QStringLiteral("名前のついたボリュームがありません")));
        QVERIFY(!find(&view, "drive_loop3"));
        find<QCheckBox>(&view, "showLoop")->click();
        QVERIFY(find(&view, "drive_loop3"));
    }

    // A slow scan started from the selection screen: the scanning screen
    // follows it, and its stop button leads to the results; "再スキャン" goes
    // back to the selection, which offers the stopped session again, and
    // resuming continues that session.
    void aSlowScanIsFollowedStoppedAndOfferedAgainAfterRescan() {
        Shell s;
        const int placed = makeSmallCard(s.dir / "card.img", 6, 4, 48 << 20);  // a long empty tail to stop in
        std::string why;
        auto slow = SlowMedium::create(s.dir / "card.img", 30, why);
        if (!slow) QSKIP(qPrintable(QString::fromStdString("needs nbdkit and nbdfuse: " + why)));
        s.ws->window().setMode(WindowState::Mode::carve);
        auto* select = s.screen<CarveSelectView>();
        select->chooseImageFile(QString::fromStdString(slow->path().string()));
        select->chooseDestination(QString::fromStdString((s.dir / "out").string()));
        QTest::mouseClick(find<QPushButton>(select, "startScan"), Qt::LeftButton);
        QCOMPARE(s.ws->job().phase(), CarveJob::Phase::scanning);
        QVERIFY(!s.win.resultsToolsShown());
        auto* view = s.screen<views::ScanningView>();
        QVERIFY(view);
        WAIT_UNTIL(s.ws->job().progress().filesFound >= 3);
        QCoreApplication::processEvents();
        QCOMPARE(find<QLabel>(view, "foundCount")->text(), QString::number(s.ws->job().progress().filesFound));
        const QString bytes = find<QLabel>(view, "scannedBytes")->text();
        QVERIFY2(bytes.contains(QStringLiteral(" / ")) && bytes.endsWith(models::formatBytes(s.ws->job().progress().totalBytes)), qPrintable(bytes));
        QVERIFY(find<QLabel>(view, "speed")->text().startsWith(QStringLiteral("速度 ")));
        QVERIFY(find<QLabel>(view, "remaining")->text().startsWith(QStringLiteral("残り 約 ")));
        QVERIFY(!find(view, "badBytes")->isVisibleTo(view));
        QVERIFY(!find(view, "failingBanner")->isVisibleTo(view));
        // The live grid grows with the files found; clicks choose nothing while scanning.
        auto* grid = view->grid();
        QVERIFY(grid->model()->rowCount() >= 3);
        const auto selectedBefore = s.ws->selection().count();
        grid->resize(800, 600);
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(grid->model()->index(0, 0)).center());
        QCOMPARE(s.ws->selection().count(), selectedBefore);
        QTest::mouseClick(find<QPushButton>(view, "stopScan"), Qt::LeftButton);
        WAIT_UNTIL(s.ws->job().phase() == CarveJob::Phase::results);
        QVERIFY(s.ws->job().scanCancelled());
        QVERIFY(s.ws->job().progress().bytesScanned < s.ws->job().progress().totalBytes);
        QVERIFY(int(s.ws->results().size()) <= placed);
        const auto found = s.ws->results().size();
        QVERIFY(s.win.resultsToolsShown());
        QVERIFY(s.win.viewModeButton(ResultViewMode::grid)->isChecked());
        QTest::mouseClick(s.win.viewModeButton(ResultViewMode::list), Qt::LeftButton);
        QCOMPARE(s.ws->results().viewMode(), ResultViewMode::list);

        QTest::mouseClick(s.win.rescanButton(), Qt::LeftButton);
        QCOMPARE(s.ws->job().phase(), CarveJob::Phase::source);
        QVERIFY(!s.win.resultsToolsShown());
        select = s.screen<CarveSelectView>();
        QVERIFY(select);
        QVERIFY(s.ws->job().selectedSource() && s.ws->job().destinationRoot());  // still chosen
        WAIT_UNTIL(find(select, "resumeBanner")->isVisibleTo(select));
        const QString detail = find<QLabel>(select, "resumeDetail")->text();
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d+% 完了・\\d+ 件発見済み\\(.+ / .+\\)$")).match(detail).hasMatch(),
                 qPrintable(detail));
        QVERIFY(showsText(select, QStringLiteral("前回の続きから再開できます")));
        const fs::path session = s.ws->job().resumable()->dir;
        QCOMPARE(find<QPushButton>(select, "resumeButton")->text(), QStringLiteral("前回の続きからスキャン"));
        QCOMPARE(find<QPushButton>(select, "startScan")->text(), QStringLiteral("最初から新しくスキャン"));
        QTest::mouseClick(find<QPushButton>(select, "resumeButton"), Qt::LeftButton);
        QCOMPARE(s.ws->job().stagingDir(), models::OptionalPath(session));
        QCOMPARE(s.ws->job().phase(), CarveJob::Phase::scanning);
        WAIT_UNTIL(s.ws->results().size() >= found);  // the earlier files first
    }

    void resultsBrowserFiltersSelectsInspectsAndRecovers() {
        Shell s(QSize(1180, 760));
        const int placed = makeSmallCard(s.dir / "card.img", 6, 2);
        std::vector<fs::path> revealed;
        s.ws->job().setRevealer([&](const fs::path& p) { revealed.push_back(p); });
        auto* view = scanToResults(s.win, s.dir / "card.img", s.dir / "out");
        QVERIFY(view);
        QCOMPARE(int(s.ws->results().size()), placed);
        QCOMPARE(find<QLabel>(view, "listedCount")->text(), QString::number(placed));
        QCOMPARE(find<QLabel>(view, "countDetail")->text(),
                 QStringLiteral(" 件 · 写真 %1 · RAW 0 · 動画 0").arg(placed));

        // Filters: a status row chosen twice returns to any status; a kind row stays.
        auto* damaged = find(view, "filter_一部破損");
        auto* photos = find(view, "filter_写真");
        QVERIFY(damaged && photos);
        QTest::mouseClick(damaged, Qt::LeftButton);
        QCOMPARE(s.ws->results().statusFilter(), StatusFilter::partial);
        QVERIFY(find(view, "resultsEmpty")->isVisible());  // no damaged files here
        QVERIFY(showsText(view, QStringLiteral("該当するファイルがありません")));
        QTest::mouseClick(damaged, Qt::LeftButton);
        QCOMPARE(s.ws->results().statusFilter(), StatusFilter::anyStatus);
        QTest::mouseClick(photos, Qt::LeftButton);
        QTest::mouseClick(photos, Qt::LeftButton);
        QCOMPARE(s.ws->results().typeFilter(), TypeFilter::photo);
        QVERIFY(view->grid()->isVisible());
        s.win.searchField()->setText(QStringLiteral("zzz"));
        QVERIFY(find(view, "resultsEmpty")->isVisible());
        QCOMPARE(find<QLabel>(view, "listedCount")->text(), QStringLiteral("0"));
        s.win.searchField()->clear();
        QVERIFY(view->grid()->isVisible());

        // The kinds' words find their files.
        s.win.searchField()->setText(QStringLiteral("動画"));
        QVERIFY(find(view, "resultsEmpty")->isVisible());
        s.win.searchField()->setText(QStringLiteral("写真"));
        QCOMPARE(view->grid()->model()->rowCount(), placed);
        s.win.searchField()->clear();

        // Bottom bar: nothing selected, then three by their boxes.
        auto* main = find<QPushButton>(view, "recoverSelected");
        auto* deselect = find<QPushButton>(view, "deselectAll");
        QCOMPARE(main->text(), QStringLiteral("選択した%1件を復元…").arg(placed));
        QTest::mouseClick(deselect, Qt::LeftButton);
        QCOMPARE(main->text(), QStringLiteral("復元するファイルを選択"));
        QVERIFY(!main->isEnabled() && !deselect->isEnabled());
        QCOMPARE(find<QLabel>(view, "selectedCount")->text(), QStringLiteral("0"));
        QVERIFY(find<QLabel>(view, "selectedBytes")->text().startsWith(QStringLiteral(" 件選択 · ")));
        // The inspector is empty while no file is focused.
        s.ws->selection().setCurrent(std::nullopt);
        QVERIFY(find(view, "inspectorEmpty")->isVisible());
        QVERIFY(showsText(view, QStringLiteral("ファイルを選択")));
        auto* grid = view->grid();
        auto tile = [&](int row) { return grid->visualRect(grid->model()->index(row, 0)); };
        auto box = [&](int row) { return views::ResultTileDelegate::checkBoxRect(tile(row)).center().toPoint(); };
        // Looking at a tile chooses nothing; its box does.
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, tile(3).center());
        QCOMPARE(s.ws->selection().current(), std::optional<qint64>(view->listModel()->fileAt(3)->index));
        QVERIFY(s.ws->selection().empty());
        for (int row = 0; row < 3; ++row) QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, box(row));
        QCOMPARE(s.ws->selection().count(), qsizetype(3));
        QCOMPARE(main->text(), QStringLiteral("選択した3件を復元…"));
        QVERIFY(main->isEnabled() && deselect->isEnabled());

        // The inspector shows the last file clicked.
        QCOMPARE(s.ws->selection().current(), std::optional<qint64>(view->listModel()->fileAt(2)->index));
        QVERIFY(!find(view, "inspectorEmpty")->isVisible());
        QCOMPARE(find<QLabel>(view, "inspectorKind")->text(), QStringLiteral("写真 (JPG)"));
        QCOMPARE(find<QLabel>(view, "inspectorState")->text(), QStringLiteral("良好"));
        QVERIFY(find<QPushButton>(view, "recoverOne")->isEnabled());
        // The grid told the updater its rows: each tile in view has its picture in the model.
        auto* thumbnails = view->thumbnails();
        WAIT_UNTIL((QCoreApplication::processEvents(), thumbnails->idle() && thumbnails->visibleCount() > 0));
        for (int row = thumbnails->firstVisible(); row < thumbnails->firstVisible() + thumbnails->visibleCount(); ++row)
            QCOMPARE(grid->model()->index(row, 0).data(models::ResultsListModel::ThumbnailStateRole).toInt(),
                     int(models::ThumbnailState::picture));

        // Keyboard: Space is the focused tile's box, Ctrl+A selects every listed file.
        grid->setFocus();
        grid->setCurrentIndex(grid->model()->index(4, 0));
        QTest::keyClick(grid, Qt::Key_Space);
        QCOMPARE(s.ws->selection().count(), qsizetype(4));
        QTest::keyClick(grid, Qt::Key_Space);
        QCOMPARE(s.ws->selection().count(), qsizetype(3));
        QTest::keyClick(grid, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(int(s.ws->selection().count()), placed);
        QTest::mouseClick(deselect, Qt::LeftButton);
        for (int row = 0; row < 3; ++row) QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, box(row));

        // Enter opens the preview: the picture larger than its thumbnail, the
        // next and previous listed file, its box, and zoom to fit or not.
        QTest::keyClick(grid, Qt::Key_Return);
        views::PreviewDialog* preview = view->preview();
        QVERIFY(preview && preview->isVisible());
        models::PreviewModel* seen = preview->model();
        QCOMPARE(seen->file(), view->listModel()->fileAt(2));  // the box clicked last
        WAIT_UNTIL(seen->state() != models::PreviewModel::State::loading);
        QCOMPARE(seen->state(), models::PreviewModel::State::picture);
        {  // the whole picture, as large as the file's own
            const auto card = readFile(s.dir / "card.img");
            const QImage own = QImage::fromData(card.data() + seen->file()->offset, int(seen->file()->length));
            QCOMPARE(seen->image().size(), own.size());
        }
        QCOMPARE(find<QLabel>(preview, "previewPosition")->text(), QStringLiteral("3 / %1").arg(placed));
        QTest::keyClick(preview, Qt::Key_Right);
        QCOMPARE(seen->file(), view->listModel()->fileAt(3));
        QCOMPARE(s.ws->selection().current(), std::optional<qint64>(seen->file()->index));  // the inspector follows
        preview->previousButton()->click();
        QCOMPARE(seen->file(), view->listModel()->fileAt(2));
        seen->step(+2);
        QVERIFY(!preview->chosenBox()->isChecked());
        QTest::keyClick(preview->chosenBox(), Qt::Key_Space);
        QVERIFY(s.ws->selection().contains(seen->file()->index));
        QTest::keyClick(preview->chosenBox(), Qt::Key_Space);
        QCOMPARE(s.ws->selection().count(), qsizetype(3));
        WAIT_UNTIL(seen->state() == models::PreviewModel::State::picture);
        QVERIFY(preview->picture()->fitted());
        preview->zoomButton()->click();
        QCOMPARE(preview->picture()->shownRect().size().toSize(), seen->image().size() / preview->devicePixelRatioF());
        QVERIFY(!preview->playButton()->isVisible());  // a photo plays nothing
        seen->show(view->listModel()->fileAt(placed - 1)->index);
        QVERIFY(!preview->nextButton()->isEnabled() && preview->previousButton()->isEnabled());
        preview->close();

        // The table view over the same rows: a row is looked at, its box or
        // Space chooses it, and its columns sort both views.
        QTest::mouseClick(s.win.viewModeButton(ResultViewMode::list), Qt::LeftButton);
        auto* table = view->table();
        QVERIFY(table->isVisible());
        QVERIFY(!find(view, "thumbSize")->isVisible());
        QCOMPARE(table->model()->rowCount(), placed);
        QVERIFY(!table->model()->index(0, models::ResultsTableModel::nameColumn)
                     .data(models::ResultsListModel::ThumbnailRole).value<QImage>().isNull());
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {},
                          table->visualRect(table->model()->index(5, models::ResultsTableModel::nameColumn)).center());
        QCOMPARE(s.ws->selection().current(), std::optional<qint64>(view->listModel()->fileAt(5)->index));
        QCOMPARE(s.ws->selection().count(), qsizetype(3));
        QTest::keyClick(table, Qt::Key_Space);
        QVERIFY(s.ws->selection().contains(view->listModel()->fileAt(5)->index));
        QTest::keyClick(table, Qt::Key_Space);
        auto* hh = table->horizontalHeader();
        const QPoint sizeHeader(hh->sectionViewportPosition(models::ResultsTableModel::sizeColumn) + 10, hh->height() / 2);
        for (bool descending : {false, true}) {
            QTest::mouseClick(hh->viewport(), Qt::LeftButton, {}, sizeHeader);
            QCOMPARE(hh->sortIndicatorSection(), int(models::ResultsTableModel::sizeColumn));
            for (int row = 1; row < placed; ++row) {
                const qint64 before = view->listModel()->fileAt(row - 1)->length, after = view->listModel()->fileAt(row)->length;
                QVERIFY(descending ? before >= after : before <= after);
            }
        }
        QCOMPARE(table->currentIndex().row(), view->listModel()->rowOfFile(*s.ws->selection().current()));
        QTest::mouseClick(s.win.viewModeButton(ResultViewMode::grid), Qt::LeftButton);
        QCOMPARE(grid->model(), view->listModel());  // the grid lists the same rows in the same order
        QCOMPARE(grid->currentIndex().row(), table->currentIndex().row());

        // How the files are laid out is chosen beside the main button: the card's own names by default.
        auto* layout = find<QComboBox>(view, "recoveryLayout");
        QCOMPARE(s.ws->job().recoveryLayout(), RecoveryLayout::original);
        QTest::keyClick(layout, Qt::Key_Down);
        QCOMPARE(s.ws->job().recoveryLayout(), RecoveryLayout::type);

        // Recovering through the main button writes the three files; the
        // report under the files says so and opens their folder on request.
        QTest::mouseClick(main, Qt::LeftButton);
        QVERIFY(s.ws->job().recovering());
        QVERIFY(!main->isEnabled());
        QVERIFY(!find<QPushButton>(view, "recoverOne")->isEnabled());
        WAIT_UNTIL(!s.ws->job().recovering());
        auto* report = view->findChild<views::RecoveryReportPane*>();
        QVERIFY(report->isVisible());
        QCOMPARE(report->heading()->text(), QStringLiteral("3 件を復元しました"));
        QCOMPARE(recoveredFolders(s.dir / "out").size(), 1u);
        QCOMPARE(recoveredFolders(s.dir / "out").front().size(), 3u);
        QVERIFY(revealed.empty());
        report->openButton()->click();
        QCOMPARE(revealed.size(), std::size_t(1));
        QVERIFY(revealed.front().filename().string().starts_with("復元済み_"));
        QVERIFY(report->folderLabel()->text().endsWith(QString::fromStdString(revealed.front().string())));

        // The inspector's button recovers the file looked at alone, in a folder of its own.
        auto nameOf = [&](int row) { return fs::path(s.ws->results().fileName(*view->listModel()->fileAt(row))).filename(); };
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, tile(4).center());
        QCOMPARE(find<QPushButton>(view, "recoverOne")->text(), QStringLiteral("この1件を復元"));
        find<QPushButton>(view, "recoverOne")->click();
        WAIT_UNTIL(!s.ws->job().recovering());
        std::multiset<fs::path> alone;
        for (const auto& folder : recoveredFolders(s.dir / "out"))
            if (folder.size() == 1) alone.insert(folder.front().filename());
        QCOMPARE(alone, (std::multiset<fs::path>{nameOf(4)}));

        // A double click on a tile opens its preview.
        QVERIFY(QTest::qWaitForWindowExposed(&s.win));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, tile(2).center());
        QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, tile(2).center());
        QVERIFY(view->preview() && view->preview()->isVisible());
        QCOMPARE(view->preview()->model()->file(), view->listModel()->fileAt(2));
        view->preview()->close();

        // A recovery whose destination has gone tells why on this screen.
        fs::rename(s.dir / "out", s.dir / "moved");
        QTest::mouseClick(main, Qt::LeftButton);
        WAIT_UNTIL(!s.ws->job().recovering());
        QVERIFY(report->isVisible());
        QVERIFY2(report->heading()->text().startsWith(QStringLiteral("復元できませんでした: ")), qPrintable(report->heading()->text()));
        QCOMPARE(report->heading()->symbol(), QStringLiteral("alert-octagon-filled"));
        QVERIFY(!report->openButton()->isVisible());
    }

    // A failing drive: while its scan runs, a banner offers imaging instead,
    // and stopping for it keeps the imaging screen even once the results come.
    // Among them the photo over the unreadable stretch is damaged, in the
    // inspector and the table, with a middling meter; offsets read in
    // upper-case hex. A second stretch, in the scan's second window, keeps
    // the scan going meanwhile.
    void aFailingDriveOffersImagingAndItsDamagedPhotoIsShownSo() {
        Shell s(QSize(1180, 760));
        const std::int64_t wholeAt = 0x2A000;
        const std::int64_t photoAt = 1 << 20;
        makeCardAt(s.dir / "card.img",
                   {{wholeAt, corpusDir() / "jpg" / "Nikon_D70.jpg"}, {photoAt, corpusDir() / "jpg" / "Konica_Minolta_DiMAGE_Z3.jpg"}},
                   16 << 20);
        std::string why;
        auto device = FaultyDevice::create(s.dir / "card.img", std::vector<BadRange>{{photoAt + 16384, 4096}, {9 << 20, 4096}}, why);
        if (!device) QSKIP(qPrintable(QString::fromStdString("needs a faulty device: " + why)));
        s.scan(SourceSelection::device(removableDisk(device->devicePath(), 16 << 20)));
        auto* scanning = s.screen<views::ScanningView>();
        QVERIFY(scanning);
        // The banner can only be met while the scan runs; a finished scan moves on.
        WAIT_UNTIL(s.ws->job().showFailingWarning() || s.ws->job().phase() != CarveJob::Phase::scanning);
        QVERIFY2(!s.ws->window().errorMessage(), qPrintable(s.ws->window().errorMessage().value_or(QString())));
        QVERIFY2(s.ws->job().phase() == CarveJob::Phase::scanning, "the scan ended before the warning could be seen");
        QVERIFY(find(scanning, "failingBanner")->isVisibleTo(scanning));
        QVERIFY(find(scanning, "badBytes")->isVisibleTo(scanning));
        QVERIFY(showsText(scanning, QStringLiteral("読めない箇所が見つかりました")));
        QTest::mouseClick(find<QPushButton>(scanning, "stopAndPreserve"), Qt::LeftButton);
        QCOMPARE(s.ws->window().mode(), WindowState::Mode::image);
        QVERIFY(s.screen<views::ImagerView>());
        WAIT_UNTIL(s.ws->job().phase() == CarveJob::Phase::results);
        QVERIFY(s.ws->job().scanCancelled());
        QCOMPARE(s.ws->window().mode(), WindowState::Mode::image);
        QVERIFY(s.win.modeButton(WindowState::Mode::image)->isChecked());

        s.ws->window().setMode(WindowState::Mode::carve);
        auto* view = s.screen<views::ResultsBrowser>();
        QVERIFY(view);
        const models::FoundFile* damaged = nullptr;
        const models::FoundFile* whole = nullptr;
        for (const auto& f : s.ws->results()) {
            if (f.offset == photoAt) damaged = &f;
            if (f.offset == wholeAt) whole = &f;
        }
        QVERIFY2(damaged && whole, "both photos are found");
        QVERIFY2(damaged->damaged, "the photo over the unreadable stretch is marked damaged");
        QVERIFY(!whole->damaged);
        QCOMPARE(s.ws->results().counts().partial, qint64(1));

        auto* state = find<QLabel>(view, "inspectorState");
        auto* value = find<QLabel>(view, "meterValue");
        auto* bar = find<QProgressBar>(view, "meterBar");
        s.ws->selection().setCurrent(damaged->index);
        QCOMPARE(state->text(), QStringLiteral("一部破損"));
        QCOMPARE(state->palette().color(QPalette::WindowText), views::Theme::warn());
        QCOMPARE(value->text(), QStringLiteral("中"));
        QCOMPARE(bar->value(), 58);
        QCOMPARE(view->findChild<views::InspectorPane*>()->meterValue(), 0.58);
        QCOMPARE(find<QLabel>(view, "inspectorOffset")->text(), QStringLiteral("0x100000"));
        // The intact one, and back: the meter follows the focus both ways.
        s.ws->selection().setCurrent(whole->index);
        QCOMPARE(find<QLabel>(view, "inspectorOffset")->text(), QStringLiteral("0x2A000"));
        QCOMPARE(state->text(), QStringLiteral("良好"));
        QCOMPARE(state->palette().color(QPalette::WindowText), views::Theme::good());
        QCOMPARE(value->text(), QStringLiteral("高い"));
        QCOMPARE(bar->value(), 96);
        s.ws->selection().setCurrent(damaged->index);
        QCOMPARE(value->text(), QStringLiteral("中"));
        // The warning colour follows a later switch of appearance.
        views::Theme::shared().setDark(true);
        QCOMPARE(state->palette().color(QPalette::WindowText), views::Theme::warn());
        views::Theme::shared().setDark(false);
        QCOMPARE(state->palette().color(QPalette::WindowText), views::Theme::warn());
        // The table says so too.
        s.ws->results().setViewMode(ResultViewMode::list);
        QStringList listed;
        for (int row = 0; row < view->table()->model()->rowCount(); ++row)
            listed << view->table()->model()->index(row, models::ResultsTableModel::offsetColumn).data().toString() + " " +
                          view->table()->model()->index(row, models::ResultsTableModel::stateColumn).data().toString();
        QVERIFY2(listed.contains(QStringLiteral("0x100000 一部破損")) && listed.contains(QStringLiteral("0x2A000 良好")),
                 qPrintable(listed.join(u',')));
    }

    void resultsToolbarHeaderAndTableHeaderHoldTogether() {
        Shell s;
        const int placed = makeSmallCard(s.dir / "card.img", 6);
        auto* view = scanToResults(s.win, s.dir / "card.img", s.dir / "out");
        QVERIFY(view);

        // Down to the window's smallest width "再スキャン" stays on the toolbar
        // and the main button shows its whole text.
        for (int width : {1400, 1180, s.win.minimumWidth()}) {
            s.win.resize(width, s.win.minimumHeight());
            QTest::qWait(1);
            QCoreApplication::processEvents();
            QVERIFY2(s.win.rescanButton()->isVisible(), qPrintable(QStringLiteral("folded at %1").arg(width)));
            const QRect r(s.win.rescanButton()->mapTo(&s.win, QPoint(0, 0)), s.win.rescanButton()->size());
            QVERIFY2(s.win.rect().contains(r), qPrintable(QStringLiteral("cut off at %1").arg(width)));
            QVERIFY(s.win.viewModeButton(ResultViewMode::list)->isVisible());
            QVERIFY(s.win.searchField()->isVisible());
            auto* main = find<QPushButton>(view, "recoverSelected");
            QVERIFY2(main->width() >= main->sizeHint().width(), qPrintable(QStringLiteral("main button cut at %1").arg(width)));
            // The selection summary shortens rather than being cut off.
            auto* summary = find<QLabel>(view, "selectedBytes");
            QVERIFY2(summary->fontMetrics().horizontalAdvance(summary->text()) <= summary->contentsRect().width(),
                     qPrintable(QStringLiteral("summary \"%1\" cut at %2").arg(summary->text()).arg(width)));
            QVERIFY2(summary->text().startsWith(QStringLiteral(" 件選択")), qPrintable(summary->text()));
            if (auto* more = s.win.findChild<QWidget*>(QStringLiteral("qt_toolbar_ext_button")))
                QVERIFY2(!more->isVisible(), qPrintable(QStringLiteral("overflow shown at %1").arg(width)));

            // The size slider's icon sits right beside it, and the pair ends at the header's padding.
            auto* header = find(view, "resultsHeader");
            auto* icon = find(view, "thumbSizeIcon");
            auto* slider = find(view, "thumbSize");
            QVERIFY(header && icon && slider);
            const QRect ir(icon->mapTo(header, QPoint(0, 0)), icon->size());
            const QRect sr(slider->mapTo(header, QPoint(0, 0)), slider->size());
            QVERIFY2(sr.left() - ir.right() <= 10, qPrintable(QStringLiteral("gap %1").arg(sr.left() - ir.right())));
            QVERIFY2(std::abs(header->width() - 1 - sr.right() - 18) <= 1,
                     qPrintable(QStringLiteral("right gap %1").arg(header->width() - 1 - sr.right())));
        }

        // The table's header box: all listed, none, and only the listed ones under a filter.
        s.ws->results().setViewMode(ResultViewMode::list);
        auto* table = view->table();
        auto* hh = table->horizontalHeader();
        QCOMPARE(hh->objectName(), QStringLiteral("checkAllHeader"));
        const QPoint box(hh->sectionViewportPosition(0) + hh->sectionSize(0) / 2, hh->height() / 2);
        // The box is drawn: the header row through its middle is not one flat colour.
        {
            const QImage img = hh->viewport()->grab().toImage();
            QSet<QRgb> colours;
            for (int x = std::max(0, box.x() - 10); x <= box.x() + 10 && x < img.width(); ++x)
                colours.insert(img.pixel(x, box.y()));
            QVERIFY2(colours.size() > 1, "no box drawn over the check column");
        }
        s.ws->selection().deselectAll();
        QTest::mouseClick(hh->viewport(), Qt::LeftButton, {}, box);
        QCOMPARE(int(s.ws->selection().count()), placed);
        QTest::mouseClick(hh->viewport(), Qt::LeftButton, {}, box);
        QCOMPARE(int(s.ws->selection().count()), 0);
        s.ws->selection().toggle(s.ws->results()[0].index);
        s.win.searchField()->setText(QString::fromStdString(fs::path(s.ws->results().fileName(s.ws->results()[1])).filename().string()));
        QCOMPARE(table->model()->rowCount(), 1);
        QTest::mouseClick(hh->viewport(), Qt::LeftButton, {}, box);
        QVERIFY(s.ws->selection().contains(s.ws->results()[1].index));
        QCOMPARE(int(s.ws->selection().count()), 2);
        QTest::mouseClick(hh->viewport(), Qt::LeftButton, {}, box);
        QVERIFY(!s.ws->selection().contains(s.ws->results()[1].index));
        QVERIFY2(s.ws->selection().contains(s.ws->results()[0].index), "a file the filter hides keeps its choice");
        s.win.searchField()->clear();

        // An empty box shows on plain and alternate rows in either appearance.
        s.ws->selection().deselectAll();
        auto& theme = views::Theme::shared();
        const bool wasDark = theme.isDark();
        for (bool dark : {true, false}) {
            theme.setDark(dark);
            QCoreApplication::processEvents();
            const QImage img = table->viewport()->grab().toImage();
            for (int row : {0, 1}) {
                const QRect cell = table->visualRect(table->model()->index(row, 0));
                const QColor background = img.pixelColor(cell.left() + 1, cell.top() + 1);
                int contrast = 0;
                for (int x = cell.left(); x <= cell.right(); ++x) {
                    const QColor c = img.pixelColor(x, cell.center().y());
                    contrast = std::max(contrast, std::abs(qGray(c.rgb()) - qGray(background.rgb())));
                }
                QVERIFY2(contrast >= 40, qPrintable(QStringLiteral("row %1 %2: contrast %3")
                                                        .arg(row)
                                                        .arg(dark ? "dark" : "light")
                                                        .arg(contrast)));
            }
        }
        theme.setDark(wasDark);
    }

    void tintsFollowALaterSwitchOfAppearance() {
        Shell s;
        makeSmallCard(s.dir / "card.img", 4);
        setListedDisks({cardListing("mmcblk0", "旅行の写真")});
        s.ws->window().setMode(WindowState::Mode::carve);
        auto* select = s.screen<CarveSelectView>();
        WAIT_UNTIL(!select->devices().empty());
        select->chooseImageFile(QString::fromStdString((s.dir / "card.img").string()));
        auto& theme = views::Theme::shared();
        const QString warning = QStringLiteral("削除に気づいたら、そのディスクへの書き込みをすぐ止めてください。上書きされた部分は戻せません。");
        auto checkSelect = [&] {
            QVERIFY(sameColour(tintOf(iconBeside(select, warning)), views::Theme::warn()));
            QVERIFY(sameColour(tintOf(iconBeside(select, QStringLiteral("復元ファイルの保存先"))), views::Theme::accent()));
            QVERIFY(sameColour(tintOf(iconBeside(select, QString::fromUtf8(kSameDiskMessage))), views::Theme::bad()));
            auto* card = find(select, "drive_mmcblk0");
            QVERIFY(card);
            QVERIFY(sameColour(tintOf(find<QLabel>(card, "driveIcon")->pixmap()), views::Theme::accent()));
            QVERIFY(find(select, "requiredBadge")->styleSheet().contains(views::Theme::warn().name()));
        };
        for (bool dark : {true, false, true}) {
            theme.setDark(dark);
            checkSelect();
            if (QTest::currentTestFailed()) return;
        }
        theme.setDark(false);

        s.ws->job().setDestinationRoot(s.dir / "out");
        s.ws->job().startScan();
        WAIT_UNTIL(s.ws->job().phase() == CarveJob::Phase::results);
        auto* view = s.screen<views::ResultsBrowser>();
        s.ws->window().setToast(QStringLiteral("3 件を復元しました"));
        for (bool dark : {true, false}) {
            theme.setDark(dark);
            QVERIFY(sameColour(tintOf(find<QLabel>(view, "sourceIcon")->pixmap()), views::Theme::accent()));
            QVERIFY(sameColour(tintOf(find<views::IconLabel>(view, "toast")->iconPixmap()), views::Theme::good()));
            QVERIFY(sameColour(tintOf(find<QLabel>(view, "thumbSizeIcon")->pixmap()), views::Theme::secondaryText()));
            QCOMPARE(QApplication::palette().color(QPalette::Highlight), views::Theme::accent());
        }

        // The drive check's upcoming stage reads in the text colour of the appearance now shown.
        s.ws->window().setMode(WindowState::Mode::start);
        auto* chip = find<views::StageChip>(s.win.content()->currentScreen(), "stage2");
        QVERIFY(chip);
        QCOMPARE(chip->state(), views::StepState::upcoming);
        for (bool dark : {true, false, true}) {
            theme.setDark(dark);
            QCoreApplication::processEvents();
            const QImage img = chip->findChild<views::IconLabel*>()->textLabel()->grab().toImage();
            const QColor want = QApplication::palette().color(QPalette::WindowText);
            int nearest = 255 * 3;
            for (int y = 0; y < img.height(); ++y)
                for (int x = 0; x < img.width(); ++x) {
                    const QColor c = img.pixelColor(x, y);
                    nearest = std::min(nearest, std::abs(c.red() - want.red()) + std::abs(c.green() - want.green()) +
                                                    std::abs(c.blue() - want.blue()));
                }
            QVERIFY2(nearest <= 30, qPrintable(QStringLiteral("%1: no pixel near the text colour (%2)")
                                                   .arg(dark ? "dark" : "light")
                                                   .arg(nearest)));
        }
        theme.setDark(false);
    }

    void everySymbolNameHasARealIcon() {
        // The names the models hand out.
        QStringList names;
        for (auto mode : WindowState::allModes) names << WindowState::symbol(mode);
        for (auto f : kTypeFilters) names << QString::fromStdString(iconName(f));
        for (auto m : kResultViewModes) names << QString::fromStdString(iconName(m));
        for (const char* ext : {"mp4", "wav", "jpg"}) names << QString::fromStdString(MediaKind::placeholderIcon(ext));
        for (int bits = 0; bits < 16; ++bits) {
            DiskDevice d;
            d.isWholeDisk = bits & 1;
            d.isRemovable = bits & 2;
            d.isInternal = bits & 4;
            d.protocolName = (bits & 8) ? "Secure Digital" : "USB";
            names << QString::fromStdString(d.iconName());
        }
        // And every name written in the window's sources next to an icon.
        const QRegularExpression literal(QStringLiteral("QStringLiteral\\(\"([a-z][a-z0-9]*(?:\\.[a-z0-9]+)*)\"\\)"));
        const QRegularExpression iconish(QStringLiteral("Icon|icon|pixmap|symbol|Symbol|EmptyState"));
        for (const char* sub : {"src/views", "src/app"}) {
            QDirIterator it(QStringLiteral(TAMSEL_SOURCE_DIR "/") + QLatin1String(sub), {"*.cpp", "*.h"}, QDir::Files,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                QFile f(it.next());
                QVERIFY(f.open(QIODevice::ReadOnly));
                for (const QByteArray& raw : f.readAll().split('\n')) {
                    const QString line = QString::fromUtf8(raw);
                    if (!iconish.match(line).hasMatch()) continue;
                    auto m = literal.globalMatch(line);
                    while (m.hasNext()) names << m.next().captured(1);
                }
            }
        }
        names.removeDuplicates();
        QVERIFY(names.size() > 20);
        QStringList missing;
        for (const QString& n : names)
            if (!views::Icons::has(n) || views::Icons::pixmap(n, 24, Qt::black).isNull()) missing << n;
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(QStringLiteral(", "))));
    }
};

TAMSEL_VIEW_TEST_MAIN(ShellTest, "offscreen")
#include "ShellTest.moc"
