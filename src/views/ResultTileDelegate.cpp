#include "views/ResultTileDelegate.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QTimer>
#include <QtMath>

#include "views/Icons.h"
#include "views/Theme.h"
#include "views/VisibleRows.h"
#include "views/Widgets.h"
#include "models/ResultFilters.h"

namespace tamsel::views {

using models::ResultsListModel;

namespace {
constexpr int kSpacing = 16;
constexpr int kPadding = 18;

}  // namespace

ResultTileDelegate::ResultTileDelegate(ResultsListModel* model, QObject* parent)
    : QStyledItemDelegate(parent), model_(model) {}

QRectF ResultTileDelegate::checkBoxRect(const QRectF& tile) { return QRectF(tile.left() + 7, tile.top() + 7, 18, 18); }

QSize ResultTileDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    return {tileWidth_, tileWidth_ + kLabelHeight};
}

void ResultTileDelegate::paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const models::FoundFile* file = model_->fileAt(index.row());
    if (!file) return;
    const models::FoundFiles& files = *model_->files();
    p->save();
    p->setRenderHint(QPainter::Antialiasing);
    p->setRenderHint(QPainter::SmoothPixmapTransform);
    const bool selected = index.data(ResultsListModel::SelectedRole).toBool();
    const bool current = index.data(ResultsListModel::CurrentRole).toBool();
    const bool hovering = hovered_ == index;
    const QRectF tile = option.rect;
    const QRectF pic(tile.left(), tile.top(), tile.width(), tile.width());

    if (hovering) {  // soft shadow
        for (int i = 1; i <= 5; ++i) {
            QPainterPath sh;
            sh.addRoundedRect(pic.adjusted(-i, -i + 3, i, i + 3), 9 + i, 9 + i);
            p->fillPath(sh, QColor(0, 0, 0, int(0.22 * 255 / 6)));
        }
    }
    QPainterPath clip;
    clip.addRoundedRect(pic, 9, 9);
    p->fillPath(clip, option.palette.color(QPalette::Base));
    p->fillPath(clip, Theme::cellBackground());

    const auto state = models::ThumbnailState(index.data(ResultsListModel::ThumbnailStateRole).toInt());
    if (state == models::ThumbnailState::picture) {
        const QImage image = index.data(ResultsListModel::ThumbnailRole).value<QImage>();
        p->save();
        p->setClipPath(clip);
        // Filled to the square, cut at the longer side.
        const QSizeF s = QSizeF(image.size()).scaled(pic.size(), Qt::KeepAspectRatioByExpanding);
        const QRectF target(pic.center().x() - s.width() / 2, pic.center().y() - s.height() / 2, s.width(), s.height());
        p->drawImage(target, image);
        p->restore();
    } else if (state == models::ThumbnailState::waiting) {
        const QRectF r(pic.center().x() - 10, pic.center().y() - 10, 20, 20);
        p->setPen(QPen(Theme::secondaryText(), 2.4, Qt::SolidLine, Qt::RoundCap));
        p->drawArc(r, 90 * 16, -270 * 16);
    } else {
        const QPixmap ph = Icons::pixmap(index.data(ResultsListModel::PlaceholderRole).toString(), 34, Theme::secondaryText(),
                                         p->device()->devicePixelRatioF());
        p->drawPixmap(QPointF(pic.center().x() - 17, pic.center().y() - 17), ph);
    }

    // Overlays: the box shows what is recovered, on every chosen tile.
    if (selected || hovering || current)
        Theme::paintCheckBox(p, checkBoxRect(tile), selected ? Qt::Checked : Qt::Unchecked, true, true);
    const QRectF dot(pic.right() - 7 - 11, pic.top() + 7, 11, 11);
    p->setPen(QPen(Qt::white, 1.8));
    p->setBrush(file->damaged ? Theme::warn() : Theme::good());
    p->drawEllipse(dot);
    {
        QFont f = fontFor(TextStyle::tiny, QFont::Bold);
        f.setPointSizeF(7.5);
        p->setFont(f);
        const QString ext = QString::fromStdString(files.ext(*file)).toUpper();
        const QRectF tr = QFontMetricsF(f).boundingRect(ext);
        const QRectF badge(pic.left() + 7, pic.bottom() - 7 - (tr.height() + 4), tr.width() + 10, tr.height() + 4);
        QPainterPath bp;
        bp.addRoundedRect(badge, 5, 5);
        p->fillPath(bp, QColor(0, 0, 0, int(0.55 * 255)));
        p->setPen(Qt::white);
        p->drawText(badge, Qt::AlignCenter, ext);
    }
    if (MediaKind::videoExtensions().count(lowerCasedExtension(files.ext(*file)))) {
        const QPixmap play = Icons::pixmap(QStringLiteral("player-play-filled"), 22, Qt::white, p->device()->devicePixelRatioF());
        const QPointF at(pic.right() - 7 - 22, pic.bottom() - 7 - 22);
        // A dark disc under the white mark, so that it shows on light frames too.
        p->setPen(Qt::NoPen);
        p->setBrush(QColor(0, 0, 0, 110));
        p->drawEllipse(QRectF(at, QSizeF(22, 22)));
        p->drawPixmap(at, play);
    }
    if (current) {  // the file looked at, apart from what is chosen
        p->setBrush(Qt::NoBrush);
        p->setPen(QPen(Theme::accent(), 2.5));
        p->drawRoundedRect(pic.adjusted(1.25, 1.25, -1.25, -1.25), 9, 9);
    }

    // Name and size.
    const QFont nameFont = fontFor(TextStyle::caption, QFont::Medium);
    p->setFont(nameFont);
    p->setPen(option.palette.color(QPalette::Text));
    const QFontMetrics nm(nameFont);
    const QRectF nameRect(tile.left(), pic.bottom() + 5, tile.width(), nm.height() + 2);
    const QString name = QString::fromStdString(std::filesystem::path(files.fileName(*file)).filename().string());
    p->drawText(nameRect, Qt::AlignHCenter | Qt::AlignVCenter, nm.elidedText(name, Qt::ElideMiddle, int(tile.width())));
    QFont sizeFont = fontFor(TextStyle::tiny);
    sizeFont.setStyleHint(QFont::Monospace);
    p->setFont(sizeFont);
    p->setPen(Theme::secondaryText());
    p->drawText(QRectF(tile.left(), nameRect.bottom() + 1, tile.width(), QFontMetrics(sizeFont).height() + 4), Qt::AlignHCenter | Qt::AlignTop,
                index.data(ResultsListModel::SizeTextRole).toString());
    // Keyboard focus, drawn apart from the selection.
    if (option.state & QStyle::State_HasFocus) {
        QPen pen(Theme::accent(), 1, Qt::DotLine);
        p->setPen(pen);
        p->setBrush(Qt::NoBrush);
        p->drawRoundedRect(tile.adjusted(-3, -3, 3, 3), 11, 11);
    }
    p->restore();
}

ResultGridView::ResultGridView(models::Workspace* ws, ResultsListModel* model, models::ThumbnailRolesUpdater* updater,
                               bool interactive, QWidget* parent)
    : QListView(parent), ws_(ws), model_(model), updater_(updater), interactive_(interactive) {
    setObjectName(QStringLiteral("resultGrid"));
    delegate_ = new ResultTileDelegate(model, this);
    setViewMode(QListView::IconMode);
    setMovement(QListView::Static);
    setResizeMode(QListView::Adjust);
    setUniformItemSizes(true);
    setLayoutMode(QListView::Batched);
    setBatchSize(400);
    setSpacing(kSpacing / 2);
    setViewportMargins(kPadding - kSpacing / 2, kPadding - kSpacing / 2, kPadding - kSpacing / 2, 0);
    setFrameShape(QFrame::NoFrame);
    setSelectionMode(QAbstractItemView::NoSelection);
    setMouseTracking(true);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    verticalScrollBar()->setSingleStep(24);
    setItemDelegate(delegate_);
    setModel(model);
    setAccessibleName(QStringLiteral("見つかったファイル"));
    viewport()->setAutoFillBackground(false);
    new VisibleRows(this, updater_, [this] { return rowsInViewport(this); });
    if (interactive_) {
        connect(this, &QListView::clicked, this, [this](const QModelIndex& i) {
            const models::FoundFile* f = model_->fileAt(i.row());
            if (!f) return;
            if (ResultTileDelegate::checkBoxRect(visualRect(i)).adjusted(-4, -4, 4, 4).contains(pressedAt_))
                ws_->selection().toggle(f->index);
            else
                ws_->selection().setCurrent(f->index);
        });
        connect(this, &QListView::doubleClicked, this, [this](const QModelIndex& i) {
            const models::FoundFile* f = model_->fileAt(i.row());
            if (!f) return;
            // A quick second click on the box is a second toggle, not a look.
            if (ResultTileDelegate::checkBoxRect(visualRect(i)).adjusted(-4, -4, 4, 4).contains(pressedAt_))
                ws_->selection().toggle(f->index);
            else
                emit previewRequested(f->index);
        });
        connect(selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& i) {
            if (const models::FoundFile* f = model_->fileAt(i.row())) ws_->selection().setCurrent(f->index);
        });
    }
    setThumbSize(ws->results().thumbSize());
}

void ResultGridView::setThumbSize(double size) {
    thumbSize_ = size;
    relayout();
}

void ResultGridView::setThumbnailFloor(int points) {
    floor_ = points;
    updatePixelSize();
}

void ResultGridView::updatePixelSize() {
    // A tile shows its picture filled to the square: the shorter side counts.
    // In steps of 32 pixels, so that dragging the window's edge does not decode them again and again.
    const int side = qCeil(qMax(delegate_->tileWidth(), floor_) * devicePixelRatioF());
    updater_->setPixelSize((side + 31) / 32 * 32);
}

void ResultGridView::relayout() {
    // Columns at least thumbSize wide, at most 1.7 times that, filling the row.
    const int avail = qMax(1, viewport()->width());
    const int min = int(thumbSize_);
    const int columns = qMax(1, avail / (min + kSpacing));
    const int width = qMin(int(thumbSize_ * 1.7), avail / columns - kSpacing);
    if (width != delegate_->tileWidth()) {
        delegate_->setTileWidth(qMax(min, width));
        scheduleDelayedItemsLayout();
        doItemsLayout();
    }
    updatePixelSize();
}

void ResultGridView::resizeEvent(QResizeEvent* e) {
    QListView::resizeEvent(e);
    relayout();
}

void ResultGridView::paintEvent(QPaintEvent* e) {
    updatePixelSize();  // the window may have moved to a screen of another scale
    QListView::paintEvent(e);
}

void ResultGridView::mousePressEvent(QMouseEvent* e) {
    pressedAt_ = e->position().toPoint();
    QListView::mousePressEvent(e);
}

void ResultGridView::mouseMoveEvent(QMouseEvent* e) {
    const QModelIndex i = indexAt(e->position().toPoint());
    delegate_->setHovered(i);
    viewport()->update();
    QListView::mouseMoveEvent(e);
}

void ResultGridView::leaveEvent(QEvent* e) {
    delegate_->setHovered({});
    viewport()->update();
    QListView::leaveEvent(e);
}

void ResultGridView::keyPressEvent(QKeyEvent* e) {
    const models::FoundFile* f = model_->fileAt(currentIndex().row());
    if (interactive_ && f) {
        // Space is the focused tile's check box, as in a file manager's selection mode.
        if (e->key() == Qt::Key_Space) {
            ws_->selection().toggle(f->index);
            return;
        }
        if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
            emit previewRequested(f->index);
            return;
        }
    }
    if (interactive_ && e->matches(QKeySequence::SelectAll)) {
        ws_->selection().selectAllFiltered();
        return;
    }
    QListView::keyPressEvent(e);
}

}  // namespace tamsel::views
