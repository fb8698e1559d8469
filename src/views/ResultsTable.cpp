#include "views/ResultsTable.h"

#include <QCache>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QStyleOption>
#include <QStyledItemDelegate>
#include <QtMath>

#include "views/Icons.h"
#include "views/Theme.h"
#include "views/VisibleRows.h"
#include "views/Widgets.h"

namespace tamsel::views {

using models::ResultsListModel;
using models::ResultsTableModel;
using models::Workspace;

namespace {

// The look of the size, offset and state columns: figures in fixed-width
// digits, the state with its coloured dot.
class ColumnLook : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        QFont font;
        switch (index.column()) {
            case ResultsTableModel::sizeColumn:
            case ResultsTableModel::dateColumn: font = monoDigits(fontFor(TextStyle::detail)); break;
            case ResultsTableModel::offsetColumn:
                font = QFont(QStringLiteral("monospace"));
                font.setStyleHint(QFont::Monospace);
                font.setPointSizeF(fontFor(TextStyle::detail).pointSizeF());
                break;
            case ResultsTableModel::stateColumn: {
                font = fontFor(TextStyle::caption);
                QPixmap dot(10, 10);
                dot.fill(Qt::transparent);
                QPainter p(&dot);
                p.setRenderHint(QPainter::Antialiasing);
                p.setPen(Qt::NoPen);
                p.setBrush(index.data(ResultsListModel::DamagedRole).toBool() ? Theme::warn() : Theme::good());
                p.drawEllipse(QRectF(1, 1, 8, 8));
                option->features |= QStyleOptionViewItem::HasDecoration;
                option->icon = QIcon(dot);
                option->decorationSize = dot.deviceIndependentSize().toSize();
                break;
            }
            default: return;
        }
        option->font = font.resolve(option->font);
        option->fontMetrics = QFontMetrics(option->font);
    }
};

// The table's name column: the thumbnail role as a small square before the name.
class NameCellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    static constexpr int kSide = 18;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const qreal dpr = option->widget ? option->widget->devicePixelRatioF() : 1.0;
        QPixmap square;
        switch (models::ThumbnailState(index.data(ResultsListModel::ThumbnailStateRole).toInt())) {
            case models::ThumbnailState::picture:
                square = squareOf(index.data(ResultsListModel::ThumbnailRole).value<QImage>(), dpr);
                break;
            case models::ThumbnailState::none:
                square = Icons::pixmap(index.data(ResultsListModel::PlaceholderRole).toString(), kSide, Theme::secondaryText(), dpr);
                break;
            case models::ThumbnailState::waiting:  // room kept, so that names stay in line
                square = QPixmap(QSize(kSide, kSide) * dpr);
                square.setDevicePixelRatio(dpr);
                square.fill(Qt::transparent);
                break;
        }
        option->features |= QStyleOptionViewItem::HasDecoration;
        option->icon = QIcon(square);
        option->decorationSize = QSize(kSide, kSide);
    }

private:
    // Scaled once per picture, not per paint.
    QPixmap squareOf(const QImage& image, qreal dpr) const {
        const qint64 key = image.cacheKey();
        if (const QPixmap* hit = squares_.object(key); hit && hit->devicePixelRatio() == dpr) return *hit;
        const int px = qCeil(kSide * dpr);
        const QImage filled = image.scaled(px, px, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
        QPixmap out(px, px);
        out.fill(Qt::transparent);
        {
            QPainter p(&out);
            p.setRenderHint(QPainter::Antialiasing);
            QPainterPath clip;
            clip.addRoundedRect(QRectF(0, 0, px, px), 3 * dpr, 3 * dpr);
            p.setClipPath(clip);
            p.drawImage(QPointF((px - filled.width()) / 2.0, (px - filled.height()) / 2.0), filled);
        }
        out.setDevicePixelRatio(dpr);
        squares_.insert(key, new QPixmap(out));
        return out;
    }
    mutable QCache<qint64, QPixmap> squares_{512};
};

// The table's header, with a box over the check column that selects every
// listed file, or clears them when all are selected already.
class CheckAllHeader : public QHeaderView {
public:
    CheckAllHeader(Workspace* ws, ResultsListModel* rows, QWidget* parent)
        : QHeaderView(Qt::Horizontal, parent), ws_(ws), rows_(rows) {
        setObjectName(QStringLiteral("checkAllHeader"));
        setSectionsClickable(true);
        setAccessibleName(QStringLiteral("すべて選択"));
        auto update = [this] { viewport()->update(); };
        connect(&ws->selection(), &models::FileSelection::changed, viewport(), update);
        connect(rows, &QAbstractItemModel::rowsInserted, viewport(), update);
        connect(rows, &QAbstractItemModel::modelReset, viewport(), update);
    }

    Qt::CheckState state() const {
        Workspace* const ws = ws_;
        if (!ws) return Qt::Unchecked;
        const int listed = rows_->rowCount();
        int chosen = 0;
        for (int row = 0; row < listed; ++row) chosen += ws->selection().contains(rows_->fileAt(row)->index);
        if (chosen == 0) return Qt::Unchecked;
        return chosen == listed ? Qt::Checked : Qt::PartiallyChecked;
    }

    void activate() {
        Workspace* const ws = ws_;
        if (!ws || rows_->rowCount() == 0) return;
        models::FileSelection& selection = ws->selection();
        if (state() != Qt::Checked) {
            selection.selectAllFiltered();
        } else if (rows_->rowCount() == ws->results().size()) {
            selection.deselectAll();
        } else {
            // Only the listed ones: files hidden by a filter keep their choice.
            const auto current = selection.current();
            std::vector<qint64> listed;
            for (int row = 0; row < rows_->rowCount(); ++row) listed.push_back(rows_->fileAt(row)->index);
            for (const qint64 index : listed) selection.toggle(index);
            selection.setCurrent(current);
        }
    }

protected:
    void paintSection(QPainter* p, const QRect& rect, int logicalIndex) const override {
        QHeaderView::paintSection(p, rect, logicalIndex);
        if (logicalIndex != ResultsTableModel::checkColumn) return;
        QStyleOptionButton box;
        box.initFrom(this);
        const int w = style()->pixelMetric(QStyle::PM_IndicatorWidth, &box, this);
        const int h = style()->pixelMetric(QStyle::PM_IndicatorHeight, &box, this);
        box.rect = QRect(rect.center().x() - w / 2, rect.center().y() - h / 2, w, h);
        box.state = QStyle::State_Enabled;
        switch (state()) {
            case Qt::Checked: box.state |= QStyle::State_On; break;
            case Qt::PartiallyChecked: box.state |= QStyle::State_NoChange; break;
            default: box.state |= QStyle::State_Off; break;
        }
        p->save();
        // The base class leaves the painter clipped to nothing.
        p->setClipRect(rect, Qt::ReplaceClip);
        style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &box, p, this);
        p->restore();
    }
    void mouseReleaseEvent(QMouseEvent* e) override {
        if (e->button() == Qt::LeftButton && logicalIndexAt(e->position().toPoint()) == ResultsTableModel::checkColumn) {
            activate();
            return;
        }
        QHeaderView::mouseReleaseEvent(e);
    }

private:
    QPointer<Workspace> ws_;
    ResultsListModel* rows_;
};

}  // namespace

ResultsTable::ResultsTable(Workspace* ws, ResultsListModel* rows, models::ThumbnailRolesUpdater* updater, QWidget* parent)
    : QTableView(parent), ws_(ws), rows_(rows) {
    setObjectName(QStringLiteral("resultTable"));
    setModel(new ResultsTableModel(rows, this));
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(26);
    setShowGrid(false);
    setAlternatingRowColors(true);
    setFrameShape(QFrame::NoFrame);
    setAccessibleName(QStringLiteral("見つかったファイル"));
    // A narrow column keeps the file's own name, not just its folder: one
    // line, cut in the middle (wrapping would break the name at its "/").
    setWordWrap(false);
    setTextElideMode(Qt::ElideMiddle);
    setHorizontalHeader(new CheckAllHeader(ws, rows, this));
    auto* hh = horizontalHeader();
    hh->setSectionResizeMode(QHeaderView::Fixed);
    hh->setSectionResizeMode(ResultsTableModel::nameColumn, QHeaderView::Stretch);
    setColumnWidth(ResultsTableModel::checkColumn, 28);
    setColumnWidth(ResultsTableModel::dateColumn, 118);
    setColumnWidth(ResultsTableModel::typeColumn, 56);
    setColumnWidth(ResultsTableModel::sizeColumn, 76);
    setColumnWidth(ResultsTableModel::offsetColumn, 92);
    setColumnWidth(ResultsTableModel::stateColumn, 84);
    // The order is the found files' own: the header shows it and changes it.
    hh->setSortIndicatorShown(true);
    connect(hh, &QHeaderView::sectionClicked, this, [this](int column) {
        Workspace* live = ws_;
        const auto key = ResultsTableModel::sortOf(column);
        if (!live || !key) return;
        const models::FoundFiles& files = live->results();
        rows_->setSort(*key, files.sortKey() == *key && !files.sortDescending());
    });
    connect(&ws->results(), &models::FoundFiles::sortChanged, this, &ResultsTable::showSort);
    showSort();
    setItemDelegateForColumn(ResultsTableModel::nameColumn, new NameCellDelegate(this));
    auto* look = new ColumnLook(this);
    for (int column : {ResultsTableModel::dateColumn, ResultsTableModel::sizeColumn, ResultsTableModel::offsetColumn,
                       ResultsTableModel::stateColumn})
        setItemDelegateForColumn(column, look);
    new VisibleRows(this, updater, [this] { return rowsInViewport(this); });
    connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this, [ws = QPointer<Workspace>(ws), rows](const QModelIndex& i) {
        Workspace* live = ws.data();
        if (const models::FoundFile* f = rows->fileAt(i.row()); f && live) live->selection().setCurrent(f->index);
    });
    connect(this, &QTableView::doubleClicked, this, [this](const QModelIndex& i) {
        if (i.column() == ResultsTableModel::checkColumn) return;  // the box's own
        if (const models::FoundFile* f = rows_->fileAt(i.row())) emit previewRequested(f->index);
    });
}

void ResultsTable::showSort() {
    Workspace* const ws = ws_;
    if (!ws) return;
    const models::FoundFiles& files = ws->results();
    horizontalHeader()->setSortIndicator(ResultsTableModel::columnOf(files.sortKey()),
                                         files.sortDescending() ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void ResultsTable::keyPressEvent(QKeyEvent* e) {
    const models::FoundFile* f = rows_->fileAt(currentIndex().row());
    if (Workspace* const ws = ws_; f && ws) {
        // Space is the row's check box whichever cell has the focus.
        if (e->key() == Qt::Key_Space) {
            ws->selection().toggle(f->index);
            return;
        }
        if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
            emit previewRequested(f->index);
            return;
        }
    }
    QTableView::keyPressEvent(e);
}

}  // namespace tamsel::views
