#include "views/ScreenStyle.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QIconEngine>
#include <QPainter>
#include <QSet>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QStyle>

#include "models/JobState.h"
#include "views/Icons.h"
#include "views/Theme.h"
#include "views/Widgets.h"

namespace tamsel::views {

bool isDark(const QWidget*) { return Theme::shared().isDark(); }

QColor goodColor(const QWidget*) { return Theme::good(); }
QColor warnColor(const QWidget*) { return Theme::warn(); }
QColor badColor(const QWidget*) { return Theme::bad(); }

namespace {

// Status symbols carry their meaning in their colour; disks are drawn in
// the accent; everything else in the text colour of the moment.
QColor tintOf(const QString& symbol, QIcon::Mode mode) {
    const QPalette p = QApplication::palette();
    if (mode == QIcon::Disabled) return p.color(QPalette::Disabled, QPalette::ButtonText);
    static const QSet<QString> good{QStringLiteral("circle-check-filled"), QStringLiteral("rosette-discount-check-filled")};
    static const QSet<QString> bad{QStringLiteral("alert-triangle-filled"), QStringLiteral("circle-x-filled"),
                                   QStringLiteral("alert-octagon")};
    static const QSet<QString> disks{QStringLiteral("device-sd-card"), QStringLiteral("device-floppy"),
                                     QStringLiteral("device-usb"), QStringLiteral("server"),
                                     QStringLiteral("layout-board-split")};
    if (good.contains(symbol)) return Theme::good();
    if (bad.contains(symbol)) return Theme::bad();
    if (disks.contains(symbol)) return Theme::accent();
    return p.color(QPalette::ButtonText);
}

// Draws the bundled icon in the colours of the moment it is painted, so a
// button's icon follows a switch between light and dark.
class SymbolEngine : public QIconEngine {
public:
    explicit SymbolEngine(QString symbol) : symbol_(std::move(symbol)) {}
    QIconEngine* clone() const override { return new SymbolEngine(symbol_); }
    QString key() const override { return QStringLiteral("TamselSymbols"); }
    QString iconName() override { return symbol_; }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State, qreal scale) override {
        return Icons::pixmap(symbol_, std::min(size.width(), size.height()), tintOf(symbol_, mode), scale);
    }
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        const QPixmap pm = scaledPixmap(rect.size(), mode, state, dpr);
        const QSize logical = (QSizeF(pm.size()) / dpr).toSize();
        painter->drawPixmap(QRect(rect.topLeft() + QPoint((rect.width() - logical.width()) / 2, (rect.height() - logical.height()) / 2),
                                  logical),
                            pm);
    }

private:
    QString symbol_;
};

}  // namespace

QIcon symbolIcon(const QString& symbol, const QWidget* w) {
    if (Icons::has(symbol)) return QIcon(new SymbolEngine(symbol));
    // A name the bundled set lacks: the desktop's icon, else the style's.
    const QStyle* style = w ? w->style() : QApplication::style();
    return QIcon::fromTheme(symbol, style->standardIcon(QStyle::SP_FileIcon));
}

void setTextColor(QLabel* label, const QColor& color) {
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, color);
    p.setColor(QPalette::Text, color);
    label->setPalette(p);
}

void makeSecondary(QLabel* label, qreal pointScale) {
    QFont f = label->font();
    if (f.pointSizeF() > 0) f.setPointSizeF(f.pointSizeF() * pointScale);
    label->setFont(f);
    label->setForegroundRole(QPalette::PlaceholderText);
}

void makeHeadline(QLabel* label, qreal pointScale) {
    QFont f = label->font();
    f.setBold(true);
    if (f.pointSizeF() > 0) f.setPointSizeF(f.pointSizeF() * pointScale);
    label->setFont(f);
}

QLabel* paragraph(const QString& text, QWidget* parent) {
    auto* label = plainLabel(text, parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QWidget* iconRow(QLabel*& icon, QLabel*& text, QWidget* parent) {
    auto* row = new QWidget(parent);
    icon = new QLabel(row);
    text = paragraph({}, row);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(icon, 0, Qt::AlignTop);
    layout->addWidget(text, 1);
    return row;
}

void showOutcome(QWidget* row, QLabel* icon, QLabel* text, const models::JobState& state) {
    using Kind = models::JobState::Kind;
    row->setVisible(state.hasEnded());
    if (!state.hasEnded()) return;
    text->setText(state.message);
    // Losses are a warning, never a check mark.
    const QColor colour = state.kind == Kind::done ? goodColor(row) : state.kind == Kind::lossy ? warnColor(row) : badColor(row);
    const QString symbol = state.kind == Kind::done ? QStringLiteral("circle-check-filled") : QStringLiteral("alert-triangle-filled");
    icon->setPixmap(Icons::pixmap(symbol, 16, colour, row->devicePixelRatioF()));
    icon->setProperty("symbol", symbol);
    setTextColor(text, colour);
}

void showReason(QLabel* reason, const QString& text, bool refusal) {
    reason->setText(text);
    reason->setVisible(!text.isEmpty());
    setTextColor(reason, refusal ? badColor(reason) : Theme::secondaryText());
}

void layOutWithActionBar(QWidget* screen, QWidget* column, std::initializer_list<QPushButton*> actions, QLabel* reason) {
    auto* scroll = new QScrollArea(screen);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(column);

    auto* divider = new QFrame(screen);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);

    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(12, 8, 12, 10);
    for (QPushButton* b : actions) bar->addWidget(b);
    if (reason) {
        reason->setWordWrap(true);
        bar->addSpacing(8);
        bar->addWidget(reason, 1);
    }
    // The buttons keep their size whether or not a reason shows.
    bar->addStretch(reason ? 0 : 1);

    auto* layout = new QVBoxLayout(screen);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(scroll, 1);
    layout->addWidget(divider);
    layout->addLayout(bar);
}

}  // namespace tamsel::views
