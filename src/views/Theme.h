#pragma once
// The palette every screen draws with, in a light and a dark variant, and
// which of the two the desktop asks for (its colour-scheme setting, read
// from the desktop portal and followed while the program runs).

#include <QColor>
#include <QDBusVariant>
#include <QObject>
#include <QRectF>

class QPainter;

namespace tamsel::views {

class Theme : public QObject {
    Q_OBJECT
public:
    static Theme& shared();

    static QColor accent();
    static QColor good();
    static QColor warn();
    static QColor accentWeak();
    static QColor bad();
    static QColor cellBackground();
    static QColor secondaryText();

    // Every check box of the program: the accent colour when on, and when
    // off an outline that shows on either variant's rows. Over a picture
    // an empty box is filled light, so that it shows on any photo.
    static void paintCheckBox(QPainter* p, const QRectF& r, Qt::CheckState state, bool enabled = true,
                              bool overPicture = false);

    bool isDark() const { return dark_; }
    // Switches the variant and the application's palette with it.
    void setDark(bool dark);
    // Asks the desktop once and listens for its changes.
    void followDesktop();

signals:
    void changed();

private slots:
    void settingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    Theme() = default;
    bool dark_ = false;
};

}  // namespace tamsel::views
