#pragma once
// The symbol names the screens use ("stethoscope", "device-sd-card", ...) drawn
// with the bundled Tabler Icons, tinted to a colour of the palette.

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QStringList>

namespace tamsel::views::Icons {

// Every symbol name that has an icon.
QStringList names();
bool has(const QString& symbol);
// The icon at `size` logical pixels for the given device pixel ratio; a
// null pixmap for a name without icon.
QPixmap pixmap(const QString& symbol, int size, const QColor& tint, qreal dpr = 1.0);
// An icon for buttons, tinted with the palette's text colour unless given.
QIcon icon(const QString& symbol, const QColor& tint = QColor());

}  // namespace tamsel::views::Icons
