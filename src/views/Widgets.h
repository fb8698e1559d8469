#pragma once
// Small building blocks the screens share: labels in the named text styles,
// an icon beside a text, a rounded card.

#include <QFrame>
#include <QLabel>
#include <QString>

class QAbstractButton;
class QCheckBox;
class QHBoxLayout;
class QPushButton;

namespace tamsel::views {

enum class TextStyle { title, heading, body, detail, caption, tiny };

// Names and texts from outside (files, folders, devices, release versions)
// are shown as they are, never read as markup: a label that may show one
// comes from here (makeLabel, paragraph and FittingLabel are such labels
// too), and a tooltip of one goes through plainToolTip.
QLabel* plainLabel(const QString& text, QWidget* parent);
QString plainToolTip(const QString& text);

QFont fontFor(TextStyle style, QFont::Weight weight = QFont::Normal);
QLabel* makeLabel(const QString& text, TextStyle style = TextStyle::body, QFont::Weight weight = QFont::Normal,
                  QWidget* parent = nullptr);
// Secondary text colour on a label.
void setSecondary(QWidget* w);
// A thin line between the panes of a screen.
QFrame* divider(QWidget* parent, bool vertical = false);
// `f` with digits of one width, for columns of numbers.
QFont monoDigits(QFont f);
// An offset in the source as the results show it: "0x1A2B".
QString offsetText(qint64 offset);

// A one-line label given its text in several lengths, longest first: it
// shows the longest that fits its width (the last cut with "…" when none
// does), with the whole text as its tooltip when it shortens.
class FittingLabel : public QLabel {
    Q_OBJECT
public:
    explicit FittingLabel(QWidget* parent = nullptr);
    void setTexts(const QStringList& longestFirst);
    const QStringList& texts() const { return texts_; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* e) override;
    void changeEvent(QEvent* e) override;

private:
    void fit();
    QStringList texts_;
};

// A symbol followed by a text; re-tints when the theme changes.
class IconLabel : public QWidget {
    Q_OBJECT
public:
    IconLabel(const QString& symbol, const QString& text, TextStyle style = TextStyle::body, QWidget* parent = nullptr);
    void setSymbol(const QString& symbol);
    void setText(const QString& text);
    void setTint(const QColor& tint);  // invalid: the text colour
    // A palette colour, asked again whenever the appearance changes.
    void setTint(QColor (*tint)());
    QPixmap iconPixmap() const;
    QString text() const;
    QString symbol() const { return symbol_; }
    QLabel* textLabel() const { return text_; }

protected:
    void changeEvent(QEvent* e) override;

private:
    void refresh();
    QString symbol_;
    QColor tint_;
    QColor (*tintOf_)() = nullptr;
    QLabel* icon_;
    QLabel* text_;
    int size_;
};

// A rounded, lightly filled panel.
class Card : public QFrame {
    Q_OBJECT
public:
    explicit Card(QWidget* parent = nullptr);
    void setHighlighted(bool on);

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    bool highlighted_ = false;
};

// Gives a button the icon of `symbol` in the palette's text colour (or in
// `tint`), drawn again whenever the appearance changes.
void setButtonSymbol(QAbstractButton* button, const QString& symbol, const QColor& tint = QColor());

// The disk lists' toggle for loop devices (images attached with losetup),
// as `tamsel-cli disks --loop` lists them.
QCheckBox* makeLoopCheck(QWidget* parent);

// The prominent look of a screen's main button, in the accent colour.
void stylePrimary(QPushButton* button);

// A screen-wide empty state: a big symbol, a title and a description.
QWidget* makeEmptyState(const QString& symbol, const QString& title, const QString& description,
                        QWidget* parent = nullptr);

}  // namespace tamsel::views
