#include "views/ScreenStyle.h"

#include <QApplication>
#include <QHash>
#include <QLabel>
#include <QPalette>
#include <QStyle>

namespace tamsel::views {

bool isDark(const QWidget* w) {
    const QPalette p = w ? w->palette() : QApplication::palette();
    return p.color(QPalette::Window).lightnessF() < 0.5f;
}

namespace {
QColor rgb(double r, double g, double b) { return QColor::fromRgbF(float(r), float(g), float(b)); }
}  // namespace

QColor goodColor(const QWidget* w) { return isDark(w) ? rgb(0.216, 0.776, 0.361) : rgb(0.169, 0.639, 0.298); }
QColor warnColor(const QWidget* w) { return isDark(w) ? rgb(0.941, 0.631, 0.22) : rgb(0.878, 0.541, 0.145); }
QColor badColor(const QWidget* w) { return isDark(w) ? rgb(1.0, 0.271, 0.227) : rgb(1.0, 0.231, 0.188); }

QIcon symbolIcon(const QString& symbol, const QWidget* w) {
    struct Mapping {
        const char* themeName;
        QStyle::StandardPixmap fallback;
    };
    static const QHash<QString, Mapping> map{
        {"arrow.clockwise", {"view-refresh", QStyle::SP_BrowserReload}},
        {"doc", {"document-open", QStyle::SP_FileIcon}},
        {"folder", {"folder", QStyle::SP_DirIcon}},
        {"checkmark", {"object-select", QStyle::SP_DialogApplyButton}},
        {"checkmark.circle.fill", {"emblem-ok", QStyle::SP_DialogApplyButton}},
        {"checkmark.seal.fill", {"emblem-ok", QStyle::SP_DialogApplyButton}},
        {"exclamationmark.triangle.fill", {"dialog-warning", QStyle::SP_MessageBoxWarning}},
        {"xmark.octagon.fill", {"dialog-error", QStyle::SP_MessageBoxCritical}},
        {"xmark.octagon", {"dialog-error", QStyle::SP_MessageBoxCritical}},
        {"stop.fill", {"process-stop", QStyle::SP_MediaStop}},
        {"externaldrive", {"drive-harddisk", QStyle::SP_DriveHDIcon}},
        {"externaldrive.fill", {"drive-harddisk", QStyle::SP_DriveHDIcon}},
        {"internaldrive", {"drive-harddisk", QStyle::SP_DriveHDIcon}},
        {"internaldrive.fill", {"drive-harddisk", QStyle::SP_DriveHDIcon}},
        {"sdcard", {"media-flash", QStyle::SP_DriveFDIcon}},
        {"sdcard.fill", {"media-flash", QStyle::SP_DriveFDIcon}},
        {"externaldrive.fill.badge.plus", {"drive-removable-media", QStyle::SP_DriveFDIcon}},
        {"square.split.bottomrightquarter", {"drive-harddisk", QStyle::SP_DriveHDIcon}},
        {"opticaldisc", {"media-optical", QStyle::SP_DriveCDIcon}},
        {"externaldrive.badge.timemachine", {"drive-harddisk", QStyle::SP_DriveHDIcon}},
        {"list.bullet.rectangle", {"view-list-details", QStyle::SP_FileDialogDetailedView}},
        {"arrow.down.doc", {"document-save", QStyle::SP_DialogSaveButton}},
        {"stethoscope", {"system-search", QStyle::SP_FileDialogContentsView}},
        {"magnifyingglass", {"edit-find", QStyle::SP_FileDialogContentsView}},
        {"speedometer", {"power-profile-performance", QStyle::SP_MediaSeekForward}},
        {"heart.text.square", {"dialog-information", QStyle::SP_MessageBoxInformation}},
        {"person.wave.2", {"dialog-information", QStyle::SP_MessageBoxInformation}},
        {"waveform.path", {"audio-volume-high", QStyle::SP_MediaVolume}},
        {"bolt.horizontal.circle", {"network-error", QStyle::SP_MessageBoxWarning}},
        {"shield.lefthalf.filled", {"security-high", QStyle::SP_VistaShield}},
        {"sparkle.magnifyingglass", {"edit-find", QStyle::SP_FileDialogContentsView}},
        {"chevron.right", {"go-next", QStyle::SP_ArrowRight}},
    };
    const auto it = map.constFind(symbol);
    if (it == map.constEnd()) return QIcon::fromTheme(symbol);
    const QStyle* style = w ? w->style() : QApplication::style();
    return QIcon::fromTheme(QString::fromLatin1(it->themeName), style->standardIcon(it->fallback));
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
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

}  // namespace tamsel::views
