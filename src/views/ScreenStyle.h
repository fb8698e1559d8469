#pragma once
// The few colours, icons and text styles the drive check, imaging and
// salvage screens use, in one place so they can follow the shared theme.

#include <QColor>
#include <QIcon>
#include <QString>

#include <initializer_list>

class QLabel;
class QPushButton;
class QWidget;

namespace tamsel::models {
struct JobState;
}

namespace tamsel::views {

// Whether the shared theme is in its dark variant.
bool isDark(const QWidget* w = nullptr);

QColor goodColor(const QWidget* w);  // done, no signs found
QColor warnColor(const QWidget* w);  // damage (bad bytes, partly unreadable files)
QColor badColor(const QWidget* w);   // failures, refusals

// An icon for a symbol name of the screens ("circle-check-filled", ...)
// from the bundled set, drawn in the theme's colours of the moment.
QIcon symbolIcon(const QString& symbol, const QWidget* w);

// Text colour of a label, kept when the palette changes.
void setTextColor(QLabel* label, const QColor& color);
// A secondary (fainter) caption.
void makeSecondary(QLabel* label, qreal pointScale = 0.92);
// A headline (bold).
void makeHeadline(QLabel* label, qreal pointScale = 1.0);

// A label that wraps, for paragraphs and messages.
QLabel* paragraph(const QString& text, QWidget* parent = nullptr);

// An icon and a wrapping text side by side (warnings, outcomes).
QWidget* iconRow(QLabel*& icon, QLabel*& text, QWidget* parent);
// A job's outcome in such a row: shown once the job has ended, with a check
// mark in the good colour when done, a warning sign in the warning colour
// when it ended with losses, and in the bad one when it failed.
void showOutcome(QWidget* row, QLabel* icon, QLabel* text, const models::JobState& state);

// Lays out a screen: its column scrolling above a line and a bar of action
// buttons, left-aligned, that stays in view; `reason`, beside them, says
// why a greyed one cannot be pressed.
void layOutWithActionBar(QWidget* screen, QWidget* column, std::initializer_list<QPushButton*> actions,
                         QLabel* reason = nullptr);
// A screen's reason beside its greyed button: `text`, in the bad colour when
// `refusal` (the choice made cannot be used), else in the secondary one.
void showReason(QLabel* reason, const QString& text, bool refusal);

}  // namespace tamsel::views
