#pragma once
// The results grid: a virtualised icon-mode list over the results model
// whose delegate paints each tile (thumbnail, check box, state dot,
// extension badge, play mark, the current file's ring, name and size).
// Thumbnails are the model's role, filled by the updater the grid tells
// what it shows. A click looks at a file; only its check box (or Space)
// changes what is recovered; a double click or Enter opens its preview.

#include <QListView>
#include <QStyledItemDelegate>

#include "models/ResultsListModel.h"
#include "models/ThumbnailRolesUpdater.h"

namespace tamsel::views {

class ResultTileDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit ResultTileDelegate(models::ResultsListModel* model, QObject* parent = nullptr);
    void setTileWidth(int width) { tileWidth_ = width; }
    int tileWidth() const { return tileWidth_; }
    void setHovered(const QModelIndex& index) { hovered_ = index; }

    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    static constexpr int kLabelHeight = 46;
    // Where a tile's check box is, with a little room around it for the pointer.
    static QRectF checkBoxRect(const QRectF& tile);

private:
    models::ResultsListModel* model_;
    int tileWidth_ = 150;
    QPersistentModelIndex hovered_;
};

class ResultGridView : public QListView {
    Q_OBJECT
public:
    // `interactive`: clicks look at, choose and open files (not while scanning).
    ResultGridView(models::Workspace* ws, models::ResultsListModel* model, models::ThumbnailRolesUpdater* updater,
                   bool interactive, QWidget* parent = nullptr);
    models::ThumbnailRolesUpdater* updater() const { return updater_; }
    ResultTileDelegate* tileDelegate() const { return delegate_; }
    void setThumbSize(double size);
    // Pictures are decoded for at least this many points (a larger preview beside the grid).
    void setThumbnailFloor(int points);

signals:
    void previewRequested(qint64 fileIndex);

protected:
    void mousePressEvent(QMouseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void leaveEvent(QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    void relayout();
    void updatePixelSize();
    models::Workspace* ws_;
    models::ResultsListModel* model_;
    models::ThumbnailRolesUpdater* updater_;
    ResultTileDelegate* delegate_;
    bool interactive_;
    double thumbSize_ = 150;
    QPoint pressedAt_;
    int floor_ = 0;
};

}  // namespace tamsel::views
