#include "views/Theme.h"

#include <algorithm>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOption>

namespace tamsel::views {

namespace {
QColor rgb(double r, double g, double b) { return QColor::fromRgbF(float(r), float(g), float(b)); }

QPalette paletteFor(bool dark) {
    QPalette p;
    if (!dark) {
        p.setColor(QPalette::Window, QColor(0xF5, 0xF5, 0xF7));
        p.setColor(QPalette::WindowText, QColor(0x1D, 0x1D, 0x1F));
        p.setColor(QPalette::Base, Qt::white);
        p.setColor(QPalette::AlternateBase, QColor(0xF0, 0xF0, 0xF2));
        p.setColor(QPalette::Text, QColor(0x1D, 0x1D, 0x1F));
        p.setColor(QPalette::Button, QColor(0xFB, 0xFB, 0xFD));
        p.setColor(QPalette::ButtonText, QColor(0x1D, 0x1D, 0x1F));
        p.setColor(QPalette::PlaceholderText, QColor(0x86, 0x86, 0x8B));
        p.setColor(QPalette::Mid, QColor(0xD2, 0xD2, 0xD7));
    } else {
        p.setColor(QPalette::Window, QColor(0x1E, 0x1E, 0x20));
        p.setColor(QPalette::WindowText, QColor(0xEC, 0xEC, 0xEE));
        p.setColor(QPalette::Base, QColor(0x16, 0x16, 0x18));
        p.setColor(QPalette::AlternateBase, QColor(0x24, 0x24, 0x27));
        p.setColor(QPalette::Text, QColor(0xEC, 0xEC, 0xEE));
        p.setColor(QPalette::Button, QColor(0x2C, 0x2C, 0x2F));
        p.setColor(QPalette::ButtonText, QColor(0xEC, 0xEC, 0xEE));
        p.setColor(QPalette::PlaceholderText, QColor(0x8E, 0x8E, 0x93));
        p.setColor(QPalette::Mid, QColor(0x3A, 0x3A, 0x3C));
        p.setColor(QPalette::Light, QColor(0x3A, 0x3A, 0x3C));
        p.setColor(QPalette::Dark, QColor(0x10, 0x10, 0x12));
        p.setColor(QPalette::ToolTipBase, QColor(0x2C, 0x2C, 0x2F));
        p.setColor(QPalette::ToolTipText, QColor(0xEC, 0xEC, 0xEE));
        p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x6E, 0x6E, 0x73));
        p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x6E, 0x6E, 0x73));
        p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x6E, 0x6E, 0x73));
    }
    p.setColor(QPalette::Highlight, Theme::accent());
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, Theme::accent());
    return p;
}

// Fusion, with check boxes of our own: Fusion's outline is derived from the
// window colour and disappears on dark rows.
class AppStyle : public QProxyStyle {
public:
    AppStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* p,
                       const QWidget* widget) const override {
        if (element != PE_IndicatorCheckBox && element != PE_IndicatorItemViewItemCheck) {
            QProxyStyle::drawPrimitive(element, option, p, widget);
            return;
        }
        Qt::CheckState state = Qt::Unchecked;
        if (option->state & State_On) state = Qt::Checked;
        if (option->state & State_NoChange) state = Qt::PartiallyChecked;
        // Square and a pixel in from the indicator's rectangle, centred.
        const qreal side = std::min(option->rect.width(), option->rect.height()) - 2;
        QRectF box(0, 0, side, side);
        box.moveCenter(QRectF(option->rect).center());
        p->save();
        p->setRenderHint(QPainter::Antialiasing);
        Theme::paintCheckBox(p, box, state, option->state & State_Enabled);
        p->restore();
    }
};

const char* const kPortal = "org.freedesktop.portal.Desktop";
const char* const kPortalPath = "/org/freedesktop/portal/desktop";
const char* const kSettings = "org.freedesktop.portal.Settings";

// The portal's "color-scheme": 1 asks for dark, 0 and 2 for light.
bool prefersDark(const QVariant& value) {
    QVariant v = value;
    while (v.canConvert<QDBusVariant>() && v.userType() == qMetaTypeId<QDBusVariant>())
        v = v.value<QDBusVariant>().variant();
    return v.toUInt() == 1;
}
}  // namespace

Theme& Theme::shared() {
    static Theme* theme = new Theme;
    return *theme;
}

QColor Theme::accent() { return shared().dark_ ? rgb(0.298, 0.553, 1.0) : rgb(0.176, 0.424, 1.0); }
QColor Theme::good() { return shared().dark_ ? rgb(0.216, 0.776, 0.361) : rgb(0.169, 0.639, 0.298); }
QColor Theme::warn() { return shared().dark_ ? rgb(0.941, 0.631, 0.22) : rgb(0.878, 0.541, 0.145); }
QColor Theme::accentWeak() {
    QColor c = accent();
    c.setAlphaF(0.14f);
    return c;
}
QColor Theme::bad() { return shared().dark_ ? QColor(0xFF, 0x45, 0x3A) : QColor(0xFF, 0x3B, 0x30); }
QColor Theme::cellBackground() {
    // The quaternary label colour (label at 0.1 / 0.18) at 0.35.
    return shared().dark_ ? QColor(255, 255, 255, int(255 * 0.18 * 0.35)) : QColor(0, 0, 0, int(255 * 0.1 * 0.35));
}
QColor Theme::secondaryText() { return shared().dark_ ? QColor(0x98, 0x98, 0x9F) : QColor(0x6E, 0x6E, 0x73); }

void Theme::paintCheckBox(QPainter* p, const QRectF& r, Qt::CheckState state, bool enabled, bool overPicture) {
    const qreal radius = std::max<qreal>(2.5, r.width() * 0.22);
    QPainterPath box;
    box.addRoundedRect(r, radius, radius);
    p->save();
    if (!enabled) p->setOpacity(0.45);
    if (state != Qt::Unchecked) {
        p->fillPath(box, accent());
        QPen pen(Qt::white, std::max<qreal>(1.5, r.width() / 8));
        pen.setCapStyle(Qt::RoundCap);
        pen.setJoinStyle(Qt::RoundJoin);
        p->setPen(pen);
        if (state == Qt::PartiallyChecked) {
            p->drawLine(QPointF(r.left() + r.width() * 0.27, r.center().y()), QPointF(r.right() - r.width() * 0.27, r.center().y()));
        } else {
            const QPointF a(r.left() + r.width() * 0.25, r.center().y()), b(r.left() + r.width() * 0.43, r.bottom() - r.height() * 0.27),
                c(r.right() - r.width() * 0.22, r.top() + r.height() * 0.28);
            p->drawPolyline(QPolygonF({a, b, c}));
        }
    } else if (overPicture) {
        p->fillPath(box, QColor(255, 255, 255, 220));
        p->setPen(QPen(QColor(0, 0, 0, 90), 1.2));
        p->drawPath(box);
    } else {
        const bool dark = shared().dark_;
        p->fillPath(box, dark ? QColor(255, 255, 255, 20) : QColor(Qt::white));
        p->setPen(QPen(dark ? QColor(255, 255, 255, 120) : QColor(0, 0, 0, 110), 1.2));
        p->drawPath(box);
    }
    p->restore();
}

void Theme::setDark(bool dark) {
    dark_ = dark;
    if (qApp) {
        QApplication::setStyle(new AppStyle);
        QApplication::setPalette(paletteFor(dark));
    }
    emit changed();
}

void Theme::followDesktop() {
    auto bus = QDBusConnection::sessionBus();
    bool dark = false;
    if (bus.isConnected()) {
        auto call = QDBusMessage::createMethodCall(kPortal, kPortalPath, kSettings, QStringLiteral("Read"));
        call << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme");
        const QDBusMessage reply = bus.call(call, QDBus::Block, 2000);
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            dark = prefersDark(reply.arguments().first());
        bus.connect(kPortal, kPortalPath, kSettings, QStringLiteral("SettingChanged"), this,
                    SLOT(settingChanged(QString, QString, QDBusVariant)));
    }
    setDark(dark);
}

void Theme::settingChanged(const QString& group, const QString& key, const QDBusVariant& value) {
    if (group == QLatin1String("org.freedesktop.appearance") && key == QLatin1String("color-scheme"))
        setDark(prefersDark(value.variant()));
}

}  // namespace tamsel::views
