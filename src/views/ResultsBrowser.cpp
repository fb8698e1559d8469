#include "views/ResultsBrowser.h"

#include <QCache>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QStyledItemDelegate>
#include <QStyleOption>
#include <QStackedWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <QtMath>

#include "engine/carve/Damage.h"
#include "models/Shared.h"
#include "views/Icons.h"
#include "views/ResultTileDelegate.h"
#include "views/Theme.h"
#include "views/VisibleRows.h"
#include "views/Widgets.h"
#include "models/ResultFilters.h"

namespace tamsel::views {

using models::qs;
using models::ResultsListModel;
using models::Workspace;

namespace {
QFrame* divider(QWidget* parent, bool vertical = false) {
    auto* line = new QFrame(parent);
    line->setFrameShape(vertical ? QFrame::VLine : QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setStyleSheet(QStringLiteral("color: palette(mid);"));
    return line;
}

QFont monoDigits(QFont f) {
    f.setStyleHint(QFont::Monospace);
    return f;
}

QString offsetText(std::int64_t offset) { return QStringLiteral("0x") + QString::number(qulonglong(offset), 16).toUpper(); }
}  // namespace

// ---------------------------------------------------------------- table

ResultsTableModel::ResultsTableModel(Workspace* ws, ResultsListModel* rows, QObject* parent)
    : QAbstractTableModel(parent), ws_(ws), rows_(rows) {
    connect(rows, &QAbstractItemModel::modelAboutToBeReset, this, [this] { beginResetModel(); });
    connect(rows, &QAbstractItemModel::modelReset, this, [this] { endResetModel(); });
    connect(rows, &QAbstractItemModel::rowsAboutToBeInserted, this,
            [this](const QModelIndex&, int first, int last) { beginInsertRows({}, first, last); });
    connect(rows, &QAbstractItemModel::rowsInserted, this, [this] { endInsertRows(); });
    connect(rows, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex&, int first, int last) { beginRemoveRows({}, first, last); });
    connect(rows, &QAbstractItemModel::rowsRemoved, this, [this] { endRemoveRows(); });
    connect(rows, &QAbstractItemModel::dataChanged, this, [this](const QModelIndex& a, const QModelIndex& b) {
        emit dataChanged(index(a.row(), 0), index(b.row(), columnCount_ - 1));
    });
}

int ResultsTableModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_->rowCount(); }
int ResultsTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : columnCount_; }

QVariant ResultsTableModel::data(const QModelIndex& index, int role) const {
    const QModelIndex row = rows_->index(index.row(), 0);
    const CarvedFile* f = rows_->fileAt(index.row());
    if (!f) return {};
    switch (index.column()) {
        case checkColumn:
            if (role == Qt::CheckStateRole) return rows_->data(row, Qt::CheckStateRole);
            if (role == Qt::AccessibleTextRole) return QStringLiteral("選択");
            break;
        case nameColumn:
            if (role == Qt::DisplayRole) return qs(f->fileName);
            if (role == ResultsListModel::ThumbnailRole || role == ResultsListModel::ThumbnailStateRole ||
                role == ResultsListModel::PlaceholderRole)
                return rows_->data(row, role);
            break;
        case sizeColumn:
            if (role == Qt::DisplayRole) return rows_->data(row, ResultsListModel::SizeTextRole);
            if (role == Qt::TextAlignmentRole) return int(Qt::AlignRight | Qt::AlignVCenter);
            if (role == Qt::FontRole) return monoDigits(fontFor(TextStyle::detail));
            break;
        case offsetColumn:
            if (role == Qt::DisplayRole) return offsetText(f->offset);
            if (role == Qt::TextAlignmentRole) return int(Qt::AlignRight | Qt::AlignVCenter);
            if (role == Qt::FontRole) {
                QFont m(QStringLiteral("monospace"));
                m.setStyleHint(QFont::Monospace);
                m.setPointSizeF(fontFor(TextStyle::detail).pointSizeF());
                return m;
            }
            break;
        case stateColumn:
            if (role == Qt::DisplayRole) return f->damaged ? QStringLiteral("一部破損") : QStringLiteral("良好");
            if (role == Qt::DecorationRole) {
                QPixmap dot(10, 10);
                dot.fill(Qt::transparent);
                QPainter p(&dot);
                p.setRenderHint(QPainter::Antialiasing);
                p.setPen(Qt::NoPen);
                p.setBrush(f->damaged ? Theme::warn() : Theme::good());
                p.drawEllipse(QRectF(1, 1, 8, 8));
                return dot;
            }
            if (role == Qt::FontRole) return fontFor(TextStyle::caption);
            break;
        default: break;
    }
    return {};
}

bool ResultsTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (index.column() != checkColumn || role != Qt::CheckStateRole) return false;
    return rows_->setData(rows_->index(index.row(), 0), value, Qt::CheckStateRole);
}

QVariant ResultsTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case nameColumn: return QStringLiteral("ファイル");
        case sizeColumn: return QStringLiteral("サイズ");
        case offsetColumn: return QStringLiteral("オフセット");
        case stateColumn: return QStringLiteral("状態");
        default: return QString();
    }
}

Qt::ItemFlags ResultsTableModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == checkColumn) f |= Qt::ItemIsUserCheckable;
    return f;
}

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
    CheckAllHeader(Workspace* ws, QWidget* parent) : QHeaderView(Qt::Horizontal, parent), ws_(ws) {
        setObjectName(QStringLiteral("checkAllHeader"));
        setSectionsClickable(true);
        setAccessibleName(QStringLiteral("すべて選択"));
        connect(ws, &Workspace::selectionChanged, viewport(), [this] { viewport()->update(); });
        connect(ws, &Workspace::filteredChanged, viewport(), [this] { viewport()->update(); });
    }

    Qt::CheckState state() const {
        Workspace* const ws = ws_;
        if (!ws) return Qt::Unchecked;
        const auto& listed = ws->filtered();
        std::size_t chosen = 0;
        for (const auto& f : listed) chosen += ws->isSelected(f.id);
        if (chosen == 0) return Qt::Unchecked;
        return chosen == listed.size() ? Qt::Checked : Qt::PartiallyChecked;
    }

    void activate() {
        Workspace* const ws = ws_;
        if (!ws || ws->filtered().empty()) return;
        if (state() != Qt::Checked) {
            ws->selectAllFiltered();
        } else if (ws->filtered().size() == ws->results().size()) {
            ws->deselectAll();
        } else {
            // Only the listed ones: files hidden by a filter keep their choice.
            const auto focus = ws->focusID();
            std::vector<std::string> ids;
            for (const auto& f : ws->filtered()) ids.push_back(f.id);
            for (const auto& id : ids) ws->toggle(id);
            ws->setFocusID(focus);
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
};

// ---------------------------------------------------------------- sidebar

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
    if (const auto& sel = ws_->selectedSource()) {
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
        auto* row = new FilterRow(qs(iconName(f)), nullptr, qs(label(f)), [this, f] { ws_->setTypeFilter(f); }, this);
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
                                  [this, f] { ws_->setStatusFilter(choosing(ws_->statusFilter(), f)); }, this);
        statusRows_ << row;
        col->addWidget(row);
    }
    col->addStretch();
    connect(ws_, &Workspace::countsChanged, this, &FiltersSidebar::refresh);
    connect(ws_, &Workspace::typeFilterChanged, this, &FiltersSidebar::refresh);
    connect(ws_, &Workspace::statusFilterChanged, this, &FiltersSidebar::refresh);
    refresh();
}

void FiltersSidebar::refresh() {
    const auto c = ws_->counts();
    const qint64 typeCounts[] = {c.all, c.photo, c.raw, c.video, c.audio};
    for (int i = 0; i < typeRows_.size(); ++i) typeRows_[i]->set(typeCounts[i], ws_->typeFilter() == kTypeFilters[std::size_t(i)]);
    statusRows_[0]->set(c.ok, ws_->statusFilter() == StatusFilter::ok);
    statusRows_[1]->set(c.partial, ws_->statusFilter() == StatusFilter::partial);
}

// ---------------------------------------------------------------- inspector

InspectorPane::InspectorPane(Workspace* ws, ResultsListModel* thumbnails, QWidget* parent)
    : QWidget(parent), ws_(ws), thumbnails_(thumbnails) {
    setObjectName(QStringLiteral("inspector"));
    setMinimumWidth(260);
    setMaximumWidth(360);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    stack_ = new QStackedWidget(this);
    outer->addWidget(stack_);
    auto* empty = makeEmptyState(QStringLiteral("layout-sidebar-right"), QStringLiteral("ファイルを選択"),
                                 QStringLiteral("ファイルを選ぶとプレビューが表示されます。"), stack_);
    empty->setObjectName(QStringLiteral("inspectorEmpty"));
    stack_->addWidget(empty);

    auto* scroll = new QScrollArea(stack_);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* page = new QWidget(scroll);
    page->setObjectName(QStringLiteral("inspectorDetails"));
    scroll->setWidget(page);
    stack_->addWidget(scroll);
    auto* col = new QVBoxLayout(page);
    col->setContentsMargins(16, 16, 16, 16);
    col->setSpacing(8);
    preview_ = new QLabel(page);
    preview_->setObjectName(QStringLiteral("preview"));
    preview_->setFixedHeight(kPreviewHeight);
    preview_->setAlignment(Qt::AlignCenter);
    col->addWidget(preview_);
    name_ = makeLabel(QString(), TextStyle::body, QFont::Medium, page);
    name_->setObjectName(QStringLiteral("inspectorName"));
    name_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    col->addWidget(name_);
    auto row = [&](const QString& title, QLabel** value, const char* name) {
        col->addWidget(divider(page));
        auto* r = new QHBoxLayout;
        auto* t = makeLabel(title, TextStyle::detail, QFont::Normal, page);
        setSecondary(t);
        r->addWidget(t);
        r->addStretch();
        *value = makeLabel(QString(), TextStyle::detail, QFont::Normal, page);
        (*value)->setWordWrap(false);
        (*value)->setObjectName(QString::fromLatin1(name));
        r->addWidget(*value);
        col->addLayout(r);
    };
    row(QStringLiteral("種類"), &kind_, "inspectorKind");
    row(QStringLiteral("サイズ"), &size_, "inspectorSize");
    row(QStringLiteral("オフセット"), &offset_, "inspectorOffset");
    row(QStringLiteral("状態"), &state_, "inspectorState");
    // What was found wrong, in the words of the report.
    stateNote_ = makeLabel(QString(), TextStyle::caption, QFont::Normal, page);
    stateNote_->setObjectName(QStringLiteral("inspectorNote"));
    stateNote_->setWordWrap(true);
    stateNote_->setAlignment(Qt::AlignRight);
    setSecondary(stateNote_);
    col->addWidget(stateNote_);
    col->addWidget(divider(page));
    auto* meterRow = new QHBoxLayout;
    auto* mt = makeLabel(QStringLiteral("復元できる可能性"), TextStyle::caption, QFont::Normal, page);
    setSecondary(mt);
    meterRow->addWidget(mt);
    meterRow->addStretch();
    meterText_ = makeLabel(QString(), TextStyle::caption, QFont::DemiBold, page);
    meterText_->setObjectName(QStringLiteral("meterValue"));
    meterText_->setWordWrap(false);
    meterRow->addWidget(meterText_);
    col->addLayout(meterRow);
    meterBar_ = new QProgressBar(page);
    meterBar_->setObjectName(QStringLiteral("meterBar"));
    meterBar_->setRange(0, 100);
    meterBar_->setTextVisible(false);
    meterBar_->setFixedHeight(6);
    col->addWidget(meterBar_);
    col->addSpacing(8);
    recover_ = new QPushButton(QStringLiteral("この1件を復元…"), page);
    recover_->setObjectName(QStringLiteral("recoverOne"));
    connect(recover_, &QPushButton::clicked, this, [this] {
        if (auto f = ws_->focusedFile()) ws_->recoverOne(*f);
    });
    col->addWidget(recover_);
    col->addStretch();

    connect(ws_, &Workspace::focusedFileChanged, this, &InspectorPane::refresh);
    connect(ws_, &Workspace::recoveringChanged, this, &InspectorPane::refresh);
    connect(thumbnails_, &ResultsListModel::thumbnailChanged, this, [this](qint64 index) {
        if (index == shownIndex_) refresh();
    });
    connect(&Theme::shared(), &Theme::changed, this, &InspectorPane::refresh);
    refresh();
}

void InspectorPane::refresh() {
    const auto file = ws_->focusedFile();
    stack_->setCurrentIndex(file ? 1 : 0);
    shownIndex_ = file ? file->index : -1;
    if (!file) return;
    const models::Thumbnail thumbnail = thumbnails_->thumbnail(file->index);
    const int w = qMax(200, preview_->width()), h = kPreviewHeight;
    QPixmap pm(int(w * devicePixelRatioF()), int(h * devicePixelRatioF()));
    pm.setDevicePixelRatio(devicePixelRatioF());
    pm.fill(Qt::transparent);
    {
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        QPainterPath clip;
        clip.addRoundedRect(QRectF(0, 0, w, h), 10, 10);
        p.fillPath(clip, Theme::cellBackground());
        p.setClipPath(clip);
        if (thumbnail.state == models::ThumbnailState::picture) {
            const QSizeF s = QSizeF(thumbnail.image.size()).scaled(QSizeF(w, h), Qt::KeepAspectRatio);
            p.drawImage(QRectF((w - s.width()) / 2, (h - s.height()) / 2, s.width(), s.height()), thumbnail.image);
        } else if (thumbnail.state == models::ThumbnailState::none) {
            p.drawPixmap(QPointF(w / 2.0 - 20, h / 2.0 - 20),
                         Icons::pixmap(qs(MediaKind::placeholderIcon(file->ext)), 40, Theme::secondaryText(), devicePixelRatioF()));
        }
    }
    preview_->setPixmap(pm);
    name_->setText(qs(std::filesystem::path(file->fileName).filename().string()));
    kind_->setText(qs(MediaClass::of(file->ext).label()) + QStringLiteral(" (") + qs(file->ext).toUpper() + QStringLiteral(")"));
    size_->setText(models::formatBytes(file->length));
    offset_->setText(offsetText(file->offset));
    state_->setText(file->damaged ? QStringLiteral("一部破損") : QStringLiteral("良好"));
    QPalette sp = state_->palette();
    sp.setColor(QPalette::WindowText, file->damaged ? Theme::warn() : Theme::good());
    state_->setPalette(sp);
    stateNote_->setText(file->damaged ? qs(file->note.value_or("")) : QString());
    stateNote_->setVisible(file->damaged && file->note);
    // The meter follows what the note says.
    const auto chance = damage::chanceOf(file->damaged, file->note.value_or(""));
    meter_ = chance == damage::Chance::high ? 0.96 : chance == damage::Chance::medium ? 0.58 : 0.2;
    meterText_->setText(chance == damage::Chance::high     ? QStringLiteral("高い")
                        : chance == damage::Chance::medium ? QStringLiteral("中")
                                                           : QStringLiteral("低い"));
    const QColor meterColour = chance == damage::Chance::high ? Theme::good() : chance == damage::Chance::medium ? Theme::warn() : Theme::bad();
    meterBar_->setValue(qRound(meter_ * 100));  // 0.58 * 100 is 57.99...
    meterBar_->setStyleSheet(QStringLiteral("QProgressBar{background:%1;border:none;border-radius:3px;}"
                                            "QProgressBar::chunk{background:%2;border-radius:3px;}")
                                 .arg(Theme::cellBackground().name(QColor::HexArgb), meterColour.name()));
    recover_->setEnabled(!ws_->recovering());
}

// ---------------------------------------------------------------- bottom bar

BottomBar::BottomBar(Workspace* ws, QWidget* parent) : QWidget(parent), ws_(ws) {
    setObjectName(QStringLiteral("bottomBar"));
    setAutoFillBackground(true);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(16, 8, 16, 8);
    auto* all = new QPushButton(QStringLiteral("すべて選択"), this);
    all->setObjectName(QStringLiteral("selectAll"));
    connect(all, &QPushButton::clicked, ws_, &Workspace::selectAllFiltered);
    row->addWidget(all);
    deselect_ = new QPushButton(QStringLiteral("選択解除"), this);
    deselect_->setObjectName(QStringLiteral("deselectAll"));
    connect(deselect_, &QPushButton::clicked, ws_, &Workspace::deselectAll);
    row->addWidget(deselect_);
    row->addWidget(divider(this, true));
    count_ = makeLabel(QString(), TextStyle::body, QFont::DemiBold, this);
    count_->setObjectName(QStringLiteral("selectedCount"));
    count_->setWordWrap(false);
    row->addWidget(count_);
    bytes_ = new FittingLabel(this);
    bytes_->setObjectName(QStringLiteral("selectedBytes"));
    bytes_->setFont(monoDigits(fontFor(TextStyle::body)));
    // In a narrow window the summary gives way (the size first), never the main button.
    setSecondary(bytes_);
    row->addWidget(bytes_);
    row->addSpacing(12);
    toast_ = new IconLabel(QStringLiteral("circle-check-filled"), QString(), TextStyle::caption, this);
    toast_->setObjectName(QStringLiteral("toast"));
    toast_->setTint(&Theme::good);
    row->addWidget(toast_);
    row->addStretch();
    progress_ = new QWidget(this);
    progress_->setObjectName(QStringLiteral("recoverProgress"));
    auto* prow = new QHBoxLayout(progress_);
    prow->setContentsMargins(0, 0, 0, 0);
    auto* spin = new QProgressBar(progress_);
    spin->setRange(0, 0);
    spin->setFixedSize(60, 6);
    spin->setTextVisible(false);
    prow->addWidget(spin);
    progressText_ = makeLabel(QString(), TextStyle::caption, QFont::Normal, progress_);
    progressText_->setWordWrap(false);
    prow->addWidget(progressText_);
    row->addWidget(progress_);
    main_ = new QPushButton(this);
    main_->setObjectName(QStringLiteral("recoverSelected"));
    main_->setMinimumHeight(34);
    stylePrimary(main_);
    connect(main_, &QPushButton::clicked, ws_, &Workspace::recoverSelected);
    row->addWidget(main_);

    for (auto sig : {&Workspace::selectionChanged, &Workspace::selectedTotalBytesChanged, &Workspace::recoveringChanged,
                     &Workspace::recoverDoneChanged, &Workspace::recoverTotalChanged, &Workspace::toastChanged})
        connect(ws_, sig, this, &BottomBar::refresh);
    connect(ws_, &Workspace::toastChanged, this, [this] {
        // The toast goes away by itself after a while.
        const auto shown = ws_->toast();
        if (shown)
            QTimer::singleShot(4000, this, [this, shown] {
                if (ws_->toast() == shown) ws_->setToast(std::nullopt);
            });
    });
    refresh();
}

void BottomBar::refresh() {
    const qsizetype n = qsizetype(ws_->selection().size());
    deselect_->setEnabled(n > 0);
    count_->setText(QString::number(n));
    bytes_->setTexts({QStringLiteral(" 件選択 · ") + models::formatBytes(ws_->selectedTotalBytes()), QStringLiteral(" 件選択")});
    toast_->setVisible(ws_->toast().has_value());
    toast_->setText(ws_->toast().value_or(QString()));
    progress_->setVisible(ws_->recovering());
    progressText_->setText(QStringLiteral("復元中 ") + QString::number(ws_->recoverDone()) + QStringLiteral(" / ") +
                           QString::number(ws_->recoverTotal()));
    main_->setText(n == 0 ? QStringLiteral("復元するファイルを選択")
                          : QStringLiteral("選択した") + QString::number(n) + QStringLiteral("件を復元…"));
    main_->setEnabled(n > 0 && !ws_->recovering());
    main_->setMinimumWidth(main_->sizeHint().width());
}

// ---------------------------------------------------------------- browser

ResultsBrowser::ResultsBrowser(Workspace* ws, QWidget* parent)
    : QWidget(parent),
      ws_(ws),
      model_(new ResultsListModel(ws, this)),
      updater_(new models::ThumbnailRolesUpdater(ws, model_, this)),
      tableModel_(new ResultsTableModel(ws, model_, this)) {
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
    slider_->setValue(int(ws_->thumbSize()));
    connect(slider_, &QSlider::valueChanged, ws_, [this](int v) { ws_->setThumbSize(v); });
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
    table_ = new QTableView(stack_);
    table_->setObjectName(QStringLiteral("resultTable"));
    table_->setModel(tableModel_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->verticalHeader()->hide();
    table_->verticalHeader()->setDefaultSectionSize(26);
    table_->setShowGrid(false);
    table_->setAlternatingRowColors(true);
    table_->setFrameShape(QFrame::NoFrame);
    table_->setAccessibleName(QStringLiteral("見つかったファイル"));
    // A narrow column keeps the file's own name, not just its folder: one
    // line, cut in the middle (wrapping would break the name at its "/").
    table_->setWordWrap(false);
    table_->setTextElideMode(Qt::ElideMiddle);
    table_->setHorizontalHeader(new CheckAllHeader(ws_, table_));
    auto* hh = table_->horizontalHeader();
    hh->setSectionResizeMode(QHeaderView::Fixed);
    hh->setSectionResizeMode(ResultsTableModel::nameColumn, QHeaderView::Stretch);
    table_->setColumnWidth(ResultsTableModel::checkColumn, 28);
    table_->setColumnWidth(ResultsTableModel::sizeColumn, 90);
    table_->setColumnWidth(ResultsTableModel::offsetColumn, 120);
    table_->setColumnWidth(ResultsTableModel::stateColumn, 100);
    table_->setItemDelegateForColumn(ResultsTableModel::nameColumn, new NameCellDelegate(table_));
    new VisibleRows(table_, updater_, [this] { return rowsInViewport(table_); });
    connect(table_->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this](const QModelIndex& i) {
        if (const CarvedFile* f = model_->fileAt(i.row())) ws_->setFocusID(f->id);
    });
    stack_->addWidget(table_);
    col->addWidget(stack_, 1);
    col->addWidget(divider(content));
    col->addWidget(new BottomBar(ws_, content));
    row->addWidget(content, 1);

    row->addWidget(divider(this, true));
    auto* inspector = new InspectorPane(ws_, model_, this);
    inspector->resize(288, inspector->height());
    row->addWidget(inspector);

    for (auto sig : {&Workspace::countsChanged, &Workspace::filteredChanged, &Workspace::viewModeChanged})
        connect(ws_, sig, this, &ResultsBrowser::refreshHeader);
    connect(ws_, &Workspace::filteredChanged, this, &ResultsBrowser::refreshContent);
    connect(ws_, &Workspace::viewModeChanged, this, &ResultsBrowser::refreshContent);
    connect(model_, &QAbstractItemModel::rowsInserted, this, [this] {
        refreshHeader();
        refreshContent();
    });
    connect(model_, &QAbstractItemModel::modelReset, this, [this] {
        refreshHeader();
        refreshContent();
    });
    connect(ws_, &Workspace::thumbSizeChanged, this, [this] {
        Workspace* const live = ws_;
        if (!live) return;
        grid_->setThumbSize(live->thumbSize());
        if (slider_->value() != int(live->thumbSize())) slider_->setValue(int(live->thumbSize()));
    });
    refreshHeader();
    refreshContent();
}

void ResultsBrowser::refreshHeader() {
    Workspace* const ws = ws_;
    if (!ws) return;
    const auto c = ws->counts();
    countLabel_->setText(QString::number(model_->rowCount()));
    countDetail_->setText(QStringLiteral(" 件 · 写真 ") + QString::number(c.photo) + QStringLiteral(" · RAW ") +
                          QString::number(c.raw) + QStringLiteral(" · 動画 ") + QString::number(c.video));
    sizeControls_->setVisible(ws->viewMode() == ResultViewMode::grid);
}

void ResultsBrowser::refreshContent() {
    Workspace* const ws = ws_;
    if (!ws) return;
    if (model_->rowCount() == 0) stack_->setCurrentWidget(empty_);
    else if (ws->viewMode() == ResultViewMode::grid) stack_->setCurrentWidget(grid_);
    else stack_->setCurrentWidget(table_);
}

}  // namespace tamsel::views
