#include "views/Icons.h"

#include <QApplication>
#include <QFile>
#include <QHash>
#include <QPainter>
#include <QPalette>
#include <QSvgRenderer>

namespace tamsel::views::Icons {

namespace {
// symbol -> resource path, from the table bundled with the icons.
const QHash<QString, QString>& table() {
    static const QHash<QString, QString> map = [] {
        QHash<QString, QString> m;
        QFile f(QStringLiteral(":/icons/icons.txt"));
        if (!f.open(QIODevice::ReadOnly)) return m;
        for (const QByteArray& raw : f.readAll().split('\n')) {
            const QString line = QString::fromUtf8(raw).trimmed();
            if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
            const QStringList parts = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            if (parts.size() == 2) m.insert(parts[0], QStringLiteral(":/icons/") + parts[1]);
        }
        return m;
    }();
    return map;
}

QByteArray svgOf(const QString& symbol) {
    static QHash<QString, QByteArray> cache;
    auto it = cache.find(symbol);
    if (it != cache.end()) return *it;
    QByteArray bytes;
    const QString path = table().value(symbol);
    QFile f(path);
    if (!path.isEmpty() && f.open(QIODevice::ReadOnly)) bytes = f.readAll();
    cache.insert(symbol, bytes);
    return bytes;
}
}  // namespace

QStringList names() { return table().keys(); }

bool has(const QString& symbol) { return !svgOf(symbol).isEmpty(); }

QPixmap pixmap(const QString& symbol, int size, const QColor& tint, qreal dpr) {
    QByteArray svg = svgOf(symbol);
    if (svg.isEmpty() || size <= 0) return {};
    svg.replace("currentColor", tint.name(QColor::HexRgb).toLatin1());
    QSvgRenderer renderer(svg);
    const int px = qMax(1, qRound(size * dpr));
    QPixmap out(px, px);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setOpacity(tint.alphaF());
    renderer.render(&p, QRectF(0, 0, px, px));
    p.end();
    out.setDevicePixelRatio(dpr);
    return out;
}

QIcon icon(const QString& symbol, const QColor& tint) {
    const QColor normal = tint.isValid() ? tint : QApplication::palette().color(QPalette::ButtonText);
    const QColor disabled = QApplication::palette().color(QPalette::Disabled, QPalette::ButtonText);
    QIcon out;
    for (int size : {16, 20, 24, 32, 48}) {
        out.addPixmap(pixmap(symbol, size, normal, 2.0), QIcon::Normal);
        out.addPixmap(pixmap(symbol, size, disabled, 2.0), QIcon::Disabled);
    }
    return out;
}

}  // namespace tamsel::views::Icons
