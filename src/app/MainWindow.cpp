#include "app/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QToolBar>
#include <QToolButton>

#include "app/ModePages.h"
#include "models/Job.h"
#include "models/Shared.h"
#include "views/Icons.h"
#include "views/Theme.h"

namespace tamsel::app {

using models::CarveJob;
using models::WindowState;
using models::Workspace;

namespace {
QWidget* segmented(QButtonGroup* group, QWidget* parent) {
    auto* box = new QWidget(parent);
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(2);
    for (QAbstractButton* b : group->buttons()) row->addWidget(b);
    return box;
}
}  // namespace

MainWindow::MainWindow(models::UpdateChecker& updates, QWidget* parent)
    : QMainWindow(parent), content_(new ContentView(updates, this)), modes_(new QButtonGroup(this)),
      viewModes_(new QButtonGroup(this)) {
    setWindowTitle(QString());
    setMinimumSize(980, 640);
    resize(1180, 760);
    setCentralWidget(content_);
    Workspace* ws = content_->workspace();

    auto* bar = addToolBar(QStringLiteral("toolbar"));
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->setIconSize(QSize(18, 18));
    bar->toggleViewAction()->setVisible(false);

    for (WindowState::Mode mode : WindowState::allModes) {
        auto* b = new QToolButton(bar);
        b->setCheckable(true);
        b->setText(WindowState::title(mode));
        b->setProperty("symbol", WindowState::symbol(mode));
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        b->setAccessibleName(WindowState::title(mode));
        modes_->addButton(b, int(mode));
    }
    modes_->setExclusive(true);
    bar->addWidget(segmented(modes_, bar));
    connect(modes_, &QButtonGroup::idClicked, ws, [ws](int id) { ws->window().setMode(WindowState::Mode(id)); });

    auto* spacer = new QWidget(bar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    bar->addWidget(spacer);

    search_ = new QLineEdit(bar);
    search_->setPlaceholderText(QStringLiteral("名前・種類で絞り込み"));
    search_->setAccessibleName(QStringLiteral("名前・種類で絞り込み"));
    search_->setClearButtonEnabled(true);
    // Narrow windows take room from the search field first, so that the
    // tools after it never fold into the toolbar's overflow menu.
    search_->setMinimumWidth(110);
    search_->setMaximumWidth(220);
    search_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(search_, &QLineEdit::textChanged, &ws->results(), &models::FoundFiles::setSearchText);
    resultsActions_ << bar->addWidget(search_);

    for (ResultViewMode mode : kResultViewModes) {
        auto* b = new QToolButton(bar);
        b->setCheckable(true);
        b->setProperty("symbol", models::qs(iconName(mode)));
        b->setToolTip(QStringLiteral("サムネイル / リスト"));
        b->setAccessibleName(mode == ResultViewMode::grid ? QStringLiteral("表示: サムネイル") : QStringLiteral("表示: リスト"));
        viewModes_->addButton(b, int(mode));
    }
    auto* viewBox = segmented(viewModes_, bar);
    viewBox->setAccessibleName(QStringLiteral("表示"));
    viewBox->setToolTip(QStringLiteral("サムネイル / リスト"));
    resultsActions_ << bar->addWidget(viewBox);
    connect(viewModes_, &QButtonGroup::idClicked, ws, [ws](int id) { ws->results().setViewMode(ResultViewMode(id)); });

    rescan_ = new QToolButton(bar);
    rescan_->setText(QStringLiteral("再スキャン"));
    rescan_->setProperty("symbol", QStringLiteral("refresh"));
    rescan_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    connect(rescan_, &QToolButton::clicked, ws, [ws] {
        if (ws->job().phase() != CarveJob::Phase::source) ws->job().setPhase(CarveJob::Phase::source);
        ws->job().refreshResumable();
    });
    resultsActions_ << bar->addWidget(rescan_);

    settings_ = new QToolButton(bar);
    settings_->setProperty("symbol", QStringLiteral("settings"));
    settings_->setToolTip(QStringLiteral("設定"));
    settings_->setAccessibleName(QStringLiteral("設定"));
    settings_->setPopupMode(QToolButton::InstantPopup);
    auto* menu = new QMenu(settings_);
    QAction* checkUpdates = menu->addAction(QStringLiteral("新しいバージョンを確認する"));
    checkUpdates->setCheckable(true);
    checkUpdates->setChecked(updates.enabled());
    connect(checkUpdates, &QAction::toggled, &updates, &models::UpdateChecker::setEnabled);
    settings_->setMenu(menu);
    bar->addWidget(settings_);

    connect(&ws->window(), &WindowState::modeChanged, this, &MainWindow::syncToolbar);
    connect(&ws->job(), &CarveJob::phaseChanged, this, &MainWindow::syncToolbar);
    connect(&ws->results(), &models::FoundFiles::viewModeChanged, this, &MainWindow::syncToolbar);
    connect(&ws->results(), &models::FoundFiles::searchTextChanged, this, [this, ws] {
        if (search_->text() != ws->results().searchText()) search_->setText(ws->results().searchText());
    });
    connect(&views::Theme::shared(), &views::Theme::changed, this, &MainWindow::retint);
    retint();
    syncToolbar();
}

QToolButton* MainWindow::modeButton(WindowState::Mode mode) const {
    return qobject_cast<QToolButton*>(modes_->button(int(mode)));
}
QToolButton* MainWindow::viewModeButton(ResultViewMode mode) const {
    return qobject_cast<QToolButton*>(viewModes_->button(int(mode)));
}

bool MainWindow::resultsToolsShown() const { return resultsActions_.first()->isVisible(); }

void MainWindow::syncToolbar() {
    Workspace* ws = workspace();
    if (auto* b = modes_->button(int(ws->window().mode()))) b->setChecked(true);
    if (auto* b = viewModes_->button(int(ws->results().viewMode()))) b->setChecked(true);
    const bool results = ws->window().mode() == WindowState::Mode::carve && ws->job().phase() == CarveJob::Phase::results;
    for (QAction* a : resultsActions_) a->setVisible(results);
}

void MainWindow::retint() {
    auto tint = [](QButtonGroup* group) {
        for (QAbstractButton* b : group->buttons()) b->setIcon(views::Icons::icon(b->property("symbol").toString()));
    };
    tint(modes_);
    tint(viewModes_);
    rescan_->setIcon(views::Icons::icon(rescan_->property("symbol").toString()));
    settings_->setIcon(views::Icons::icon(settings_->property("symbol").toString()));
}

}  // namespace tamsel::app

namespace tamsel::app {

namespace {
bool askInADialog(QWidget* parent, const QString& question) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("作業中です"), question, QMessageBox::NoButton, parent);
    QPushButton* stop = box.addButton(QStringLiteral("中止して閉じる"), QMessageBox::DestructiveRole);
    QPushButton* stay = box.addButton(QStringLiteral("閉じない"), QMessageBox::RejectRole);
    box.setDefaultButton(stay);
    box.exec();
    return box.clickedButton() == stop;
}
}  // namespace

// Nothing runs on after the window: a running job is stopped only when the
// user agrees, where it keeps its state (a scan its checkpoint, an image its
// map, a recovery its folder), and the window waits for that.
void MainWindow::closeEvent(QCloseEvent* event) {
    const QStringList jobs = runningJobs(workspace());
    if (!jobs.isEmpty()) {
        const QString question = jobs.join(QStringLiteral("・")) +
                                 QStringLiteral("の途中です。中止してウィンドウを閉じますか。\n"
                                                "ここまでの分は保存され、次に同じ保存先で始めると続きから再開します。");
        if (!(askClose_ ? askClose_ : askInADialog)(this, question)) {
            event->ignore();
            return;
        }
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    models::cancelAndWaitForAllJobs();
    QApplication::restoreOverrideCursor();
    QMainWindow::closeEvent(event);
}

}  // namespace tamsel::app
