#pragma once
// Tells a thumbnail updater which rows an item view shows: after it
// scrolls, is resized or shown, or its rows change, once per turn of the
// event loop, and only while the view is visible.

#include <QAbstractItemView>
#include <QObject>

#include <functional>
#include <utility>

#include "models/ThumbnailRolesUpdater.h"

namespace tamsel::views {

class VisibleRows : public QObject {
    Q_OBJECT
public:
    // `range` gives the first row shown and how many.
    VisibleRows(QAbstractItemView* view, models::ThumbnailRolesUpdater* updater, std::function<std::pair<int, int>()> range);

    void schedule();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void report();
    QAbstractItemView* view_;
    models::ThumbnailRolesUpdater* updater_;
    std::function<std::pair<int, int>()> range_;
    bool queued_ = false;
};

// The rows of a view whose rows lie top to bottom in row order (a table, a
// wrapping grid): found by the rows' rectangles, in a few steps over any number.
std::pair<int, int> rowsInViewport(const QAbstractItemView* view);

}  // namespace tamsel::views
