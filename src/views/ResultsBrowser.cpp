#include "views/ResultsBrowser.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "models/ResultFilters.h"
#include "views/BottomBar.h"
#include "views/FiltersSidebar.h"
#include "views/Icons.h"
#include "views/InspectorPane.h"
#include "views/PreviewDialog.h"
#include "views/RecoveryReportPane.h"
#include "views/ResultTileDelegate.h"
#include "views/ResultsTable.h"
#include "views/Theme.h"
#include "views/Widgets.h"

namespace tamsel::views {

using models::FoundFiles;
using models::ResultsListModel;
using models::Workspace;

ResultsBrowser::ResultsBrowser(Workspace* ws, QWidget* parent)
    : QWidget(parent),
      ws_(ws),
      model_(new ResultsListModel(ws, this)),
      updater_(new models::ThumbnailRolesUpdater(ws, model_, this)) {
    setObjectName(QStringLiteral("resultsBrowser"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(new FiltersSidebar(ws_, this));
    row->addWidget(divider(this, true));

    auto* content = new QWidget(this);
    auto* col = new QVBoxLayout(content);
    col->setContentsMargins(0, 0, 0, 0);
    col->setSpacing(0);
    auto* header = new QWidget(content);
    auto* hrow = new QHBoxLayout(header);
    hrow->setContentsMargins(18, 10, 18, 10);
    countLabel_ = makeLabel(QString(), TextStyle::body, QFont::DemiBold, header);
    countLabel_->setObjectName(QStringLiteral("listedCount"));
    countLabel_->setWordWrap(false);
    hrow->addWidget(countLabel_);
    countDetail_ = makeLabel(QString(), TextStyle::caption, QFont::Normal, header);
    countDetail_->setObjectName(QStringLiteral("countDetail"));
    countDetail_->setWordWrap(false);
    setSecondary(countDetail_);
    hrow->addWidget(countDetail_);
    hrow->addStretch();
    header->setObjectName(QStringLiteral("resultsHeader"));
    sizeControls_ = new QWidget(header);
    // Only as wide as the icon and the slider: spare room stays with the
    // stretch before it, so the pair sits together at the header's end.
    sizeControls_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    auto* srow = new QHBoxLayout(sizeControls_);
    srow->setContentsMargins(0, 0, 0, 0);
    srow->setSpacing(6);
    auto* small = new QLabel(sizeControls_);
    small->setObjectName(QStringLiteral("thumbSizeIcon"));
    small->setFixedSize(16, 16);
    auto paintSmall = [small] { small->setPixmap(Icons::pixmap(QStringLiteral("photo"), 14, Theme::secondaryText(), small->devicePixelRatioF())); };
    paintSmall();
    connect(&Theme::shared(), &Theme::changed, small, paintSmall);
    srow->addWidget(small);
    slider_ = new QSlider(Qt::Horizontal, sizeControls_);
    slider_->setObjectName(QStringLiteral("thumbSize"));
    slider_->setAccessibleName(QStringLiteral("サムネイルの大きさ"));
    slider_->setRange(110, 210);
    slider_->setFixedWidth(90);
    slider_->setValue(int(ws->results().thumbSize()));
    connect(slider_, &QSlider::valueChanged, &ws->results(), [this](int v) {
        if (Workspace* live = ws_) live->results().setThumbSize(v);
    });
    srow->addWidget(slider_);
    hrow->addWidget(sizeControls_);
    col->addWidget(header);
    col->addWidget(divider(content));

    stack_ = new QStackedWidget(content);
    empty_ = makeEmptyState(QStringLiteral("search"), QStringLiteral("該当するファイルがありません"),
                            QStringLiteral("フィルタや検索条件を変えてみてください。"), stack_);
    empty_->setObjectName(QStringLiteral("resultsEmpty"));
    stack_->addWidget(empty_);
    grid_ = new ResultGridView(ws_, model_, updater_, true, stack_);
    // The inspector's larger preview shares the grid's pictures.
    grid_->setThumbnailFloor(InspectorPane::kPreviewHeight);
    stack_->addWidget(grid_);
    table_ = new ResultsTable(ws_, model_, updater_, stack_);
    stack_->addWidget(table_);
    col->addWidget(stack_, 1);
    auto* report = new RecoveryReportPane(ws_, content);
    auto* reportLine = divider(content);
    reportLine->setVisible(report->isVisibleTo(content));
    connect(&ws->job(), &models::CarveJob::recoveryReportChanged, reportLine,
            [reportLine, report, content] { reportLine->setVisible(report->isVisibleTo(content)); });
    col->addWidget(reportLine);
    col->addWidget(report);
    col->addWidget(divider(content));
    col->addWidget(new BottomBar(ws_, content));
    row->addWidget(content, 1);

    row->addWidget(divider(this, true));
    auto* inspector = new InspectorPane(ws_, model_, this);
    inspector->resize(288, inspector->height());
    row->addWidget(inspector);

    connect(grid_, &ResultGridView::previewRequested, this, &ResultsBrowser::openPreview);
    connect(table_, &ResultsTable::previewRequested, this, &ResultsBrowser::openPreview);
    connect(inspector, &InspectorPane::previewRequested, this, &ResultsBrowser::openPreview);
    connect(&ws->selection(), &models::FileSelection::currentChanged, this, &ResultsBrowser::followCurrent);

    for (auto sig : {&FoundFiles::countsChanged, &FoundFiles::viewModeChanged})
        connect(&ws->results(), sig, this, &ResultsBrowser::refreshHeader);
    connect(&ws->results(), &FoundFiles::viewModeChanged, this, &ResultsBrowser::refreshContent);
    connect(model_, &QAbstractItemModel::rowsInserted, this, [this] {
        refreshHeader();
        refreshContent();
    });
    connect(model_, &QAbstractItemModel::modelReset, this, [this] {
        refreshHeader();
        refreshContent();
        followCurrent();  // rows rebuilt in another order keep the file looked at
    });
    connect(&ws->results(), &FoundFiles::thumbSizeChanged, this, [this] {
        Workspace* const live = ws_;
        if (!live) return;
        const double side = live->results().thumbSize();
        grid_->setThumbSize(side);
        if (slider_->value() != int(side)) slider_->setValue(int(side));
    });
    refreshHeader();
    refreshContent();
}

void ResultsBrowser::openPreview(qint64 fileIndex) {
    Workspace* const ws = ws_;
    if (!ws) return;
    if (!preview_) {
        preview_ = new PreviewDialog(ws, model_, this);
        // Closed, it lets its worker and the source go; the next is a new one.
        connect(preview_, &QDialog::finished, this, [this] {
            if (PreviewDialog* closed = std::exchange(preview_, nullptr)) closed->deleteLater();
        });
    }
    preview_->show(fileIndex);
    preview_->raise();
    preview_->activateWindow();
}

// Both views' keyboard focus stays on the file looked at, wherever it was chosen.
void ResultsBrowser::followCurrent() {
    Workspace* const ws = ws_;
    const int row = ws && ws->selection().current() ? model_->rowOfFile(*ws->selection().current()) : -1;
    if (row < 0) return;
    if (grid_->currentIndex().row() != row)
        grid_->selectionModel()->setCurrentIndex(model_->index(row), QItemSelectionModel::NoUpdate);
    if (table_->currentIndex().row() != row) table_->selectRow(row);
}

void ResultsBrowser::refreshHeader() {
    Workspace* const ws = ws_;
    if (!ws) return;
    const auto c = ws->results().counts();
    countLabel_->setText(QString::number(model_->rowCount()));
    countDetail_->setText(QStringLiteral(" 件 · 写真 ") + QString::number(c.photo) + QStringLiteral(" · RAW ") +
                          QString::number(c.raw) + QStringLiteral(" · 動画 ") + QString::number(c.video));
    sizeControls_->setVisible(ws->results().viewMode() == ResultViewMode::grid);
}

void ResultsBrowser::refreshContent() {
    Workspace* const ws = ws_;
    if (!ws) return;
    if (model_->rowCount() == 0) stack_->setCurrentWidget(empty_);
    else if (ws->results().viewMode() == ResultViewMode::grid) stack_->setCurrentWidget(grid_);
    else stack_->setCurrentWidget(table_);
}



QTableView* ResultsBrowser::table() const { return table_; }
PreviewDialog* ResultsBrowser::preview() const { return preview_.data(); }

}  // namespace tamsel::views
