#include "views/Widgets.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTextDocument>
#include <QVBoxLayout>

#include "views/Icons.h"
#include "views/Theme.h"

namespace tamsel::views {

QFont fontFor(TextStyle style, QFont::Weight weight) {
    QFont f = QApplication::font();
    const qreal base = 10.0;  // body, in points
    switch (style) {
        case TextStyle::title: f.setPointSizeF(base * 1.6); break;
        case TextStyle::heading: f.setPointSizeF(base * 1.15); break;
        case TextStyle::body: f.setPointSizeF(base); break;
        case TextStyle::detail: f.setPointSizeF(base * 0.95); break;
        case TextStyle::caption: f.setPointSizeF(base * 0.85); break;
        case TextStyle::tiny: f.setPointSizeF(base * 0.78); break;
    }
    f.setWeight(weight);
    return f;
}

QLabel* plainLabel(const QString& text, QWidget* parent) {
    auto* l = new QLabel(parent);
    l->setTextFormat(Qt::PlainText);
    l->setText(text);
    return l;
}

QString plainToolTip(const QString& text) {
    return text.isEmpty() ? QString() : Qt::convertFromPlainText(text, Qt::WhiteSpaceNoWrap);
}

QLabel* makeLabel(const QString& text, TextStyle style, QFont::Weight weight, QWidget* parent) {
    auto* l = plainLabel(text, parent);
    l->setFont(fontFor(style, weight));
    l->setWordWrap(true);
    return l;
}

FittingLabel::FittingLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

void FittingLabel::setTexts(const QStringList& longestFirst) {
    if (texts_ == longestFirst) return;
    texts_ = longestFirst;
    // The whole text at once; fitted once the layout has had its say.
    setText(texts_.isEmpty() ? QString() : texts_.first());
    updateGeometry();
    QMetaObject::invokeMethod(this, &FittingLabel::fit, Qt::QueuedConnection);
}

QSize FittingLabel::sizeHint() const {
    const QString longest = texts_.isEmpty() ? QString() : texts_.first();
    return {fontMetrics().horizontalAdvance(longest) + 2 * margin() + 2, QLabel::sizeHint().height()};
}

QSize FittingLabel::minimumSizeHint() const { return {1, QLabel::minimumSizeHint().height()}; }

void FittingLabel::resizeEvent(QResizeEvent* e) {
    QLabel::resizeEvent(e);
    fit();
}

void FittingLabel::changeEvent(QEvent* e) {
    QLabel::changeEvent(e);
    if (e->type() == QEvent::FontChange) fit();
}

void FittingLabel::fit() {
    if (texts_.isEmpty()) {
        setText(QString());
        setToolTip(QString());
        return;
    }
    const int room = contentsRect().width() - 2 * margin();
    QString shown;
    if (!isVisible() || room <= 0) {
        shown = texts_.first();  // not laid out yet
    } else {
        for (const QString& t : texts_)
            if (fontMetrics().horizontalAdvance(t) <= room) {
                shown = t;
                break;
            }
        if (shown.isNull()) shown = fontMetrics().elidedText(texts_.last(), Qt::ElideRight, room);
    }
    if (text() != shown) setText(shown);
    setToolTip(shown != texts_.first() ? plainToolTip(texts_.first().trimmed()) : QString());
}

QFrame* divider(QWidget* parent, bool vertical) {
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

QString offsetText(qint64 offset) { return QStringLiteral("0x") + QString::number(qulonglong(offset), 16).toUpper(); }

void setSecondary(QWidget* w) {
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, Theme::secondaryText());
    p.setColor(QPalette::Text, Theme::secondaryText());
    w->setPalette(p);
    QObject::connect(&Theme::shared(), &Theme::changed, w, [w] {
        QPalette q = w->palette();
        q.setColor(QPalette::WindowText, Theme::secondaryText());
        q.setColor(QPalette::Text, Theme::secondaryText());
        w->setPalette(q);
    });
}

IconLabel::IconLabel(const QString& symbol, const QString& text, TextStyle style, QWidget* parent)
    : QWidget(parent), symbol_(symbol), icon_(new QLabel(this)), text_(makeLabel(text, style)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    size_ = QFontMetrics(text_->font()).height();
    icon_->setFixedSize(size_, size_);
    row->addWidget(icon_, 0, Qt::AlignTop);
    row->addWidget(text_, 1);
    connect(&Theme::shared(), &Theme::changed, this, &IconLabel::refresh);
    refresh();
}

void IconLabel::setSymbol(const QString& symbol) {
    symbol_ = symbol;
    refresh();
}
void IconLabel::setText(const QString& text) { text_->setText(text); }
QString IconLabel::text() const { return text_->text(); }
void IconLabel::setTint(const QColor& tint) {
    tint_ = tint;
    tintOf_ = nullptr;
    refresh();
}
void IconLabel::setTint(QColor (*tint)()) {
    tintOf_ = tint;
    refresh();
}
QPixmap IconLabel::iconPixmap() const { return icon_->pixmap(); }

void IconLabel::changeEvent(QEvent* e) {
    if (e->type() == QEvent::PaletteChange) refresh();
    QWidget::changeEvent(e);
}

void IconLabel::refresh() {
    const QColor c = tintOf_ ? tintOf_() : tint_.isValid() ? tint_ : text_->palette().color(QPalette::WindowText);
    icon_->setPixmap(Icons::pixmap(symbol_, size_, c, devicePixelRatioF()));
}

Card::Card(QWidget* parent) : QFrame(parent) { setAttribute(Qt::WA_Hover); }

void Card::setHighlighted(bool on) {
    highlighted_ = on;
    update();
}

void Card::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 10, 10);
    QColor fill = palette().color(QPalette::Base);
    if (highlighted_) fill = Theme::accentWeak();
    p.fillPath(path, palette().color(QPalette::Base));
    if (highlighted_) p.fillPath(path, fill);
    p.setPen(QPen(highlighted_ ? Theme::accent() : palette().color(QPalette::Mid), highlighted_ ? 1.5 : 1));
    p.drawPath(path);
}

void setButtonSymbol(QAbstractButton* button, const QString& symbol, const QColor& tint) {
    const bool first = !button->property("symbol").isValid();
    button->setProperty("symbol", symbol);
    button->setProperty("symbolTint", tint);
    auto paint = [button] {
        button->setIcon(Icons::icon(button->property("symbol").toString(), button->property("symbolTint").value<QColor>()));
    };
    paint();
    if (first) QObject::connect(&Theme::shared(), &Theme::changed, button, paint);
}

QCheckBox* makeLoopCheck(QWidget* parent) {
    auto* check = new QCheckBox(QStringLiteral("ループデバイスも表示"), parent);
    check->setObjectName(QStringLiteral("showLoop"));
    check->setToolTip(QStringLiteral("losetup などでつないだディスクイメージ(ループデバイス)も一覧に出します"));
    return check;
}

void stylePrimary(QPushButton* button) {
    auto paint = [button] {
        button->setStyleSheet(QStringLiteral("QPushButton{background:%1;color:white;border:none;border-radius:8px;padding:7px 22px;font-weight:600;}"
                                             "QPushButton:disabled{background:%2;color:%3;}")
                                  .arg(Theme::accent().name(), Theme::cellBackground().name(QColor::HexArgb), Theme::secondaryText().name()));
    };
    paint();
    QObject::connect(&Theme::shared(), &Theme::changed, button, paint);
}

QWidget* makeEmptyState(const QString& symbol, const QString& title, const QString& description, QWidget* parent) {
    auto* w = new QWidget(parent);
    auto* col = new QVBoxLayout(w);
    col->addStretch();
    auto* icon = new QLabel(w);
    icon->setAlignment(Qt::AlignCenter);
    auto paint = [icon, symbol] { icon->setPixmap(Icons::pixmap(symbol, 44, Theme::secondaryText(), icon->devicePixelRatioF())); };
    paint();
    QObject::connect(&Theme::shared(), &Theme::changed, icon, paint);
    col->addWidget(icon);
    auto* t = makeLabel(title, TextStyle::heading, QFont::DemiBold, w);
    t->setAlignment(Qt::AlignCenter);
    col->addWidget(t);
    auto* d = makeLabel(description, TextStyle::detail, QFont::Normal, w);
    d->setAlignment(Qt::AlignCenter);
    setSecondary(d);
    col->addWidget(d);
    col->addStretch();
    return w;
}

}  // namespace tamsel::views
