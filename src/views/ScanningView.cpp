#include "views/ScanningView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "engine/common/Formatting.h"
#include "models/ResultsListModel.h"
#include "models/Shared.h"
#include "models/ThumbnailRolesUpdater.h"
#include "views/Icons.h"
#include "views/ResultTileDelegate.h"
#include "views/Theme.h"
#include "views/Widgets.h"

namespace tamsel::views {

using models::Workspace;

ScanningView::ScanningView(Workspace* ws, QWidget* parent)
    : QWidget(parent), ws_(ws), model_(new models::ResultsListModel(ws, this)) {
    setObjectName(QStringLiteral("scanning"));
    auto* col = new QVBoxLayout(this);
    col->setContentsMargins(0, 0, 0, 0);
    col->setSpacing(0);

    auto* head = new QWidget(this);
    auto* hcol = new QVBoxLayout(head);
    hcol->setContentsMargins(28, 20, 28, 12);
    hcol->setSpacing(8);
    auto* countRow = new QHBoxLayout;
    count_ = new QLabel(head);
    count_->setObjectName(QStringLiteral("foundCount"));
    QFont big = fontFor(TextStyle::body, QFont::DemiBold);
    big.setPixelSize(30);
    count_->setFont(big);
    countRow->addWidget(count_, 0, Qt::AlignBottom);
    auto* countText = makeLabel(QStringLiteral("件のファイルを発見"), TextStyle::heading, QFont::Normal, head);
    countText->setWordWrap(false);
    countRow->addWidget(countText, 0, Qt::AlignBottom);
    countRow->addStretch();
    auto* stop = new QPushButton(QStringLiteral("中止"), head);
    stop->setObjectName(QStringLiteral("stopScan"));
    setButtonSymbol(stop, QStringLiteral("player-stop-filled"));
    connect(stop, &QPushButton::clicked, &ws_->job(), &models::CarveJob::cancelScan);
    countRow->addWidget(stop, 0, Qt::AlignBottom);
    hcol->addLayout(countRow);

    bar_ = new QProgressBar(head);
    bar_->setTextVisible(false);
    bar_->setRange(0, 1000);
    bar_->setMaximumHeight(8);
    hcol->addWidget(bar_);
    auto* infoRow = new QHBoxLayout;
    bytes_ = makeLabel(QString(), TextStyle::caption, QFont::Normal, head);
    bytes_->setObjectName(QStringLiteral("scannedBytes"));
    setSecondary(bytes_);
    infoRow->addWidget(bytes_);
    infoRow->addStretch();
    bad_ = new IconLabel(QStringLiteral("alert-triangle-filled"), QString(), TextStyle::caption, head);
    bad_->setObjectName(QStringLiteral("badBytes"));
    bad_->setTint(&Theme::warn);
    bad_->setToolTip(QStringLiteral("読めなかったバイト数"));
    infoRow->addWidget(bad_);
    speed_ = makeLabel(QString(), TextStyle::caption, QFont::Normal, head);
    speed_->setObjectName(QStringLiteral("speed"));
    speed_->setWordWrap(false);
    setSecondary(speed_);
    infoRow->addWidget(speed_);
    remaining_ = makeLabel(QString(), TextStyle::caption, QFont::Normal, head);
    remaining_->setObjectName(QStringLiteral("remaining"));
    remaining_->setWordWrap(false);
    setSecondary(remaining_);
    infoRow->addWidget(remaining_);
    hcol->addLayout(infoRow);
    // Why the scan did not continue the session it was asked to.
    note_ = new IconLabel(QStringLiteral("alert-triangle-filled"), QString(), TextStyle::caption, head);
    note_->setObjectName(QStringLiteral("scanNote"));
    note_->setTint(&Theme::warn);
    hcol->addWidget(note_);

    // The failing-drive banner.
    failing_ = new Card(head);
    failing_->setObjectName(QStringLiteral("failingBanner"));
    auto* frow = new QHBoxLayout(failing_);
    frow->setContentsMargins(14, 10, 14, 10);
    auto* fcol = new QVBoxLayout;
    auto* ftitle = new IconLabel(QStringLiteral("alert-triangle-filled"), QStringLiteral("読めない箇所が見つかりました"),
                                 TextStyle::detail, failing_);
    ftitle->textLabel()->setFont(fontFor(TextStyle::detail, QFont::DemiBold));
    ftitle->setTint(&Theme::warn);
    fcol->addWidget(ftitle);
    fcol->addWidget(makeLabel(QStringLiteral("このドライブは読み続けるほど悪化する恐れがあります。いったん中止して保全(イメージ化)し、"
                                             "保全した複製に対して作業するほうが安全です。"),
                              TextStyle::caption, QFont::Normal, failing_));
    frow->addLayout(fcol, 1);
    auto* preserve = new QPushButton(QStringLiteral("中止して保全する"), failing_);
    preserve->setObjectName(QStringLiteral("stopAndPreserve"));
    setButtonSymbol(preserve, QStringLiteral("database-export"));
    connect(preserve, &QPushButton::clicked, ws_, [this] {
        ws_->job().cancelScan();
        ws_->window().setMode(models::WindowState::Mode::image);
    });
    frow->addWidget(preserve);
    hcol->addWidget(failing_);
    col->addWidget(head);

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setStyleSheet(QStringLiteral("color: palette(mid);"));
    col->addWidget(line);
    grid_ = new ResultGridView(ws_, model_, new models::ThumbnailRolesUpdater(ws_, model_, this), false, this);
    col->addWidget(grid_, 1);

    connect(&ws_->job(), &models::CarveJob::progressChanged, this, &ScanningView::updateProgress);
    connect(&ws_->job(), &models::CarveJob::speedChanged, this, &ScanningView::updateProgress);
    connect(&ws_->job(), &models::CarveJob::showFailingWarningChanged, this, &ScanningView::updateWarning);
    connect(&ws_->job(), &models::CarveJob::scanNoteChanged, this, &ScanningView::updateWarning);
    connect(&ws_->results(), &models::FoundFiles::thumbSizeChanged, grid_, [this] { grid_->setThumbSize(ws_->results().thumbSize()); });
    updateProgress();
    updateWarning();
}

void ScanningView::updateProgress() {
    const CarveProgress& p = ws_->job().progress();
    count_->setText(QString::number(p.filesFound));
    bar_->setValue(p.totalBytes > 0 ? int(double(p.bytesScanned) / double(p.totalBytes) * 1000.0) : 0);
    bytes_->setText(models::formatBytes(p.bytesScanned) + QStringLiteral(" / ") + models::formatBytes(p.totalBytes));
    speed_->setText(QStringLiteral("速度 ") + models::formatSpeed(ws_->job().speed()));
    remaining_->setText(models::qs(formatRemaining(p.bytesScanned, p.totalBytes, ws_->job().speed())));
    remaining_->setVisible(!remaining_->text().isEmpty());
    bad_->setVisible(p.badBytes >= 1);
    if (p.badBytes >= 1) bad_->setText(models::formatBytes(p.badBytes));
}

void ScanningView::updateWarning() {
    failing_->setVisible(ws_->job().showFailingWarning());
    note_->setText(ws_->job().scanNote());
    note_->setVisible(!ws_->job().scanNote().isEmpty());
}

}  // namespace tamsel::views
