#pragma once
// The results' bottom bar: select all or none, how many files are chosen
// and their size, the recovery's toast and progress, and the main button.

#include <QWidget>

#include "models/Workspace.h"

class QLabel;
class QPushButton;

namespace tamsel::views {

class FittingLabel;
class IconLabel;

class BottomBar : public QWidget {
    Q_OBJECT
public:
    explicit BottomBar(models::Workspace* ws, QWidget* parent = nullptr);

private:
    void refresh();
    models::Workspace* ws_;
    QPushButton* deselect_;
    QLabel* count_;
    FittingLabel* bytes_;
    IconLabel* toast_;
    QWidget* progress_;
    QLabel* progressText_;
    QPushButton* main_;
};

}  // namespace tamsel::views
