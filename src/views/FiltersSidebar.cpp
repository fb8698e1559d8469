#include "views/FiltersSidebar.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <functional>

#include "models/ResultFilters.h"
#include "models/Shared.h"
#include "views/Icons.h"
#include "views/Theme.h"
#include "views/Widgets.h"

namespace tamsel::views {

using models::FoundFiles;
using models::qs;
using models::Workspace;

// One filter: its icon or coloured dot, its name and how many files it lists.
class FilterRow : public QWidget {
public:
    FilterRow(QString symbol, std::function<QColor()> dot, QString label, std::function<void()> onClick, QWidget* parent)
        : QWidget(parent), symbol_(std::move(symbol)), dot_(std::move(dot)), label_(std::move(label)), onClick_(std::move(onClick)) {
        setObjectName(QStringLiteral("filter_") + label_);
        setAccessibleName(label_);
        setCursor(Qt::PointingHandCursor);
        setFixedHeight(30);
        setFocusPolicy(Qt::TabFocus);
    }
    void set(qint64 count, bool chosen) {
        count_ = count;
        chosen_ = chosen;
        update();
    }
    bool chosen() const { return chosen_; }
    qint64 count() const { return count_; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF r = QRectF(rect()).adjusted(0, 1, 0, -1);
        if (chosen_) {
            QPainterPath path;
            path.addRoundedRect(r, 7, 7);
            p.fillPath(path, Theme::accent());
        }
        const QColor text = chosen_ ? QColor(Qt::white) : palette().color(QPalette::WindowText);
        qreal x = r.left() + 10;
        if (dot_) {
            p.setPen(Qt::NoPen);
            p.setBrush(dot_());
            p.drawEllipse(QRectF(x + 3, r.center().y() - 4, 8, 8));
        } else {
            p.drawPixmap(QPointF(x, r.center().y() - 8),
                         Icons::pixmap(symbol_, 16, chosen_ ? QColor(Qt::white) : Theme::accent(), devicePixelRatioF()));
        }
        x += 24;
        p.setFont(fontFor(TextStyle::body));
        p.setPen(text);
        p.drawText(QRectF(x, r.top(), r.width() - x - 50, r.height()), Qt::AlignVCenter | Qt::AlignLeft, label_);
        QColor countColour = chosen_ ? QColor(255, 255, 255, int(0.9 * 255)) : Theme::secondaryText();
        p.setPen(countColour);
        p.setFont(monoDigits(fontFor(TextStyle::detail)));
        p.drawText(QRectF(r.left(), r.top(), r.width() - 10, r.height()), Qt::AlignVCenter | Qt::AlignRight, QString::number(count_));
        if (hasFocus()) {
            p.setPen(QPen(Theme::accent(), 1, Qt::DotLine));
            p.setBrush(Qt::NoBrush);
            p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), 7, 7);
        }
    }
    void mouseReleaseEvent(QMouseEvent* e) override {
        if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) onClick_();
    }
    void keyPressEvent(QKeyEvent* e) override {
        if (e->key() == Qt::Key_Space || e->key() == Qt::Key_Return) onClick_();
        else QWidget::keyPressEvent(e);
    }

private:
    QString symbol_;
    std::function<QColor()> dot_;
    QString label_;
    std::function<void()> onClick_;
    qint64 count_ = 0;
    bool chosen_ = false;
};

FiltersSidebar::FiltersSidebar(Workspace* ws, QWidget* parent) : QWidget(parent), ws_(ws) {
    setObjectName(QStringLiteral("filtersSidebar"));
    setFixedWidth(232);
    auto* col = new QVBoxLayout(this);
    col->setContentsMargins(10, 10, 10, 10);
    col->setSpacing(2);

    // The scanned source.
    auto* source = new Card(this);
    auto* srow = new QHBoxLayout(source);
    srow->setContentsMargins(10, 8, 10, 8);
    QString symbol = QStringLiteral("file"), title, detail;
    if (const auto& sel = ws_->job().selectedSource()) {
        if (const DiskDevice* d = sel->disk()) {
            symbol = qs(d->iconName());
            title = qs(d->displayTitle());
            detail = qs(d->detailLine());
        } else {
            title = qs(std::filesystem::path(sel->path()).filename().string());
        }
    }
    auto* icon = new QLabel(source);
    icon->setObjectName(QStringLiteral("sourceIcon"));
    auto paintIcon = [icon, symbol] { icon->setPixmap(Icons::pixmap(symbol, 24, Theme::accent(), icon->devicePixelRatioF())); };
    paintIcon();
    connect(&Theme::shared(), &Theme::changed, icon, paintIcon);
    srow->addWidget(icon, 0, Qt::AlignTop);
    auto* scol = new QVBoxLayout;
    scol->setSpacing(1);
    auto* t = makeLabel(title, TextStyle::detail, QFont::DemiBold, source);
    t->setObjectName(QStringLiteral("sourceTitle"));
    scol->addWidget(t);
    if (!detail.isEmpty()) {
        auto* d = makeLabel(detail, TextStyle::tiny, QFont::Normal, source);
        setSecondary(d);
        scol->addWidget(d);
    }
    srow->addLayout(scol, 1);
    col->addWidget(source);
    col->addSpacing(10);

    auto* kinds = makeLabel(QStringLiteral("種類"), TextStyle::caption, QFont::DemiBold, this);
    setSecondary(kinds);
    col->addWidget(kinds);
    for (TypeFilter f : kTypeFilters) {
        auto* row = new FilterRow(qs(iconName(f)), nullptr, qs(label(f)), [this, f] { ws_->results().setTypeFilter(f); }, this);
        typeRows_ << row;
        col->addWidget(row);
    }
    col->addSpacing(10);
    auto* states = makeLabel(QStringLiteral("状態"), TextStyle::caption, QFont::DemiBold, this);
    setSecondary(states);
    col->addWidget(states);
    for (StatusFilter f : {StatusFilter::ok, StatusFilter::partial}) {
        auto dot = f == StatusFilter::ok ? std::function<QColor()>(&Theme::good) : std::function<QColor()>(&Theme::warn);
        auto* row = new FilterRow(QString(), dot, qs(label(f)),
                                  [this, f] { ws_->results().setStatusFilter(choosing(ws_->results().statusFilter(), f)); }, this);
        statusRows_ << row;
        col->addWidget(row);
    }
    col->addStretch();
    for (auto sig : {&FoundFiles::countsChanged, &FoundFiles::typeFilterChanged, &FoundFiles::statusFilterChanged})
        connect(&ws_->results(), sig, this, &FiltersSidebar::refresh);
    refresh();
}

void FiltersSidebar::refresh() {
    const FoundFiles& files = ws_->results();
    const auto c = files.counts();
    const qint64 typeCounts[] = {c.all, c.photo, c.raw, c.video, c.audio};
    for (int i = 0; i < typeRows_.size(); ++i) typeRows_[i]->set(typeCounts[i], files.typeFilter() == kTypeFilters[std::size_t(i)]);
    statusRows_[0]->set(c.ok, files.statusFilter() == StatusFilter::ok);
    statusRows_[1]->set(c.partial, files.statusFilter() == StatusFilter::partial);
}

}  // namespace tamsel::views
