#include "views/VisibleRows.h"

#include <QEvent>
#include <QScrollBar>
#include <QTimer>

namespace tamsel::views {

VisibleRows::VisibleRows(QAbstractItemView* view, models::ThumbnailRolesUpdater* updater,
                         std::function<std::pair<int, int>()> range)
    : QObject(view), view_(view), updater_(updater), range_(std::move(range)) {
    view->viewport()->installEventFilter(this);
    connect(view->verticalScrollBar(), &QScrollBar::valueChanged, this, &VisibleRows::schedule);
    if (QAbstractItemModel* model = view->model()) {
        connect(model, &QAbstractItemModel::rowsInserted, this, &VisibleRows::schedule);
        connect(model, &QAbstractItemModel::modelReset, this, &VisibleRows::schedule);
        connect(model, &QAbstractItemModel::layoutChanged, this, &VisibleRows::schedule);
    }
}

bool VisibleRows::eventFilter(QObject* watched, QEvent* event) {
    // A paint also follows a layout that moved the rows.
    switch (event->type()) {
        case QEvent::Resize:
        case QEvent::Show:
        case QEvent::Paint: schedule(); break;
        default: break;
    }
    return QObject::eventFilter(watched, event);
}

void VisibleRows::schedule() {
    if (queued_) return;
    queued_ = true;
    QTimer::singleShot(0, this, &VisibleRows::report);
}

void VisibleRows::report() {
    queued_ = false;
    if (!view_->isVisible()) return;
    const auto [first, count] = range_();
    updater_->setVisibleRange(first, count);
}

std::pair<int, int> rowsInViewport(const QAbstractItemView* view) {
    const QAbstractItemModel* model = view->model();
    const int rows = model ? model->rowCount() : 0;
    if (rows == 0) return {0, 0};
    const int height = view->viewport()->height();
    // A row not laid out yet counts as below the view.
    auto rect = [&](int row) { return view->visualRect(model->index(row, 0)); };
    auto below = [&](int row, auto edge) {
        const QRect r = rect(row);
        return !r.isValid() || edge(r);
    };
    auto firstWhere = [&](auto pred) {
        int lo = 0, hi = rows;
        while (lo < hi) {
            const int mid = lo + (hi - lo) / 2;
            if (pred(mid)) hi = mid;
            else lo = mid + 1;
        }
        return lo;
    };
    const int first = firstWhere([&](int row) { return below(row, [](const QRect& r) { return r.bottom() >= 0; }); });
    const int end = firstWhere([&](int row) { return below(row, [&](const QRect& r) { return r.top() >= height; }); });
    return {first, std::max(0, end - first)};
}

}  // namespace tamsel::views
