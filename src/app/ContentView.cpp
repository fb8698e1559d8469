#include "app/ContentView.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/ModePages.h"
#include "views/CarveSelectView.h"
#include "views/Icons.h"
#include "views/ResultsBrowser.h"
#include "views/ScanningView.h"
#include "views/Theme.h"
#include "views/Widgets.h"

namespace tamsel::app {

using models::Workspace;

ContentView::ContentView(models::UpdateChecker& updates, QWidget* parent)
    : QWidget(parent), ws_(new Workspace(this)), updates_(updates), banner_(new UpdateBanner(updates, this)),
      layout_(new QVBoxLayout(this)) {
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(0);
    layout_->addWidget(banner_);
    connect(&ws_->window(), &models::WindowState::modeChanged, this, &ContentView::showScreen);
    connect(&ws_->job(), &models::CarveJob::phaseChanged, this, &ContentView::showScreen);
    showScreen();
}

void ContentView::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    if (!checkStarted_) {
        checkStarted_ = true;
        updates_.checkIfDue();  // asynchronous; never fails visibly
    }
}

void ContentView::showScreen() {
    // The carving screens follow the phase; other modes get a fresh screen
    // (and model) each time they are entered.
    const int key = int(ws_->window().mode()) * 8 + (ws_->window().mode() == models::WindowState::Mode::carve ? int(ws_->job().phase()) : 0);
    if (key == shownKey_ && screen_) return;
    shownKey_ = key;
    if (screen_) {
        layout_->removeWidget(screen_);
        screen_->deleteLater();
        screen_->hide();
    }
    QWidget* next = nullptr;
    if (ws_->window().mode() == models::WindowState::Mode::carve) {
        switch (ws_->job().phase()) {
            case models::CarveJob::Phase::source: next = new views::CarveSelectView(ws_, this); break;
            case models::CarveJob::Phase::scanning: next = new views::ScanningView(ws_, this); break;
            case models::CarveJob::Phase::results: next = new views::ResultsBrowser(ws_, this); break;
        }
    } else {
        next = makeModePage(ws_->window().mode(), ws_, this);
    }
    screen_ = next;
    layout_->addWidget(next, 1);
    next->show();
    emit screenChanged();
}

UpdateBanner::UpdateBanner(models::UpdateChecker& updates, QWidget* parent)
    : QWidget(parent), updates_(updates) {
    setObjectName(QStringLiteral("updateBanner"));
    setAutoFillBackground(true);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(16, 8, 10, 8);
    auto* icon = new views::IconLabel(QStringLiteral("circle-arrow-down-filled"), QString(), views::TextStyle::detail, this);
    icon->setTint(views::Theme::accent());
    text_ = icon->textLabel();
    row->addWidget(icon, 1);
    auto* more = new QPushButton(QStringLiteral("詳しく見る"), this);
    more->setDefault(true);
    connect(more, &QPushButton::clicked, this, [this] {
        if (updates_.available()) QDesktopServices::openUrl(updates_.available()->url);
    });
    row->addWidget(more);
    auto* close = new QToolButton(this);
    close->setAutoRaise(true);
    views::setButtonSymbol(close, QStringLiteral("x"));
    close->setToolTip(QStringLiteral("このバージョンのお知らせを閉じる"));
    close->setAccessibleName(QStringLiteral("このバージョンのお知らせを閉じる"));
    connect(close, &QToolButton::clicked, &updates_, &models::UpdateChecker::skip);
    row->addWidget(close);
    connect(&updates_, &models::UpdateChecker::availableChanged, this, &UpdateBanner::refresh);
    connect(&updates_, &models::UpdateChecker::dismissedChanged, this, &UpdateBanner::refresh);
    connect(&views::Theme::shared(), &views::Theme::changed, this, [this, icon] {
        icon->setTint(views::Theme::accent());
        QPalette p = palette();
        p.setColor(QPalette::Window, views::Theme::accentWeak());
        setPalette(p);
    });
    QPalette p = palette();
    p.setColor(QPalette::Window, views::Theme::accentWeak());
    setPalette(p);
    refresh();
}

void UpdateBanner::refresh() {
    const bool offer = updates_.available().has_value() && !updates_.dismissed();
    if (offer)
        text_->setText(QStringLiteral("新しいバージョン ") + updates_.available()->version + QStringLiteral(" が公開されています"));
    setVisible(offer);
}

}  // namespace tamsel::app
