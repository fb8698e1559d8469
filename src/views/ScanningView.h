#pragma once
// The carving screen while a scan runs: count, progress, speed, unreadable
// bytes, the files found so far, "中止", and the failing-drive warning.

#include <QWidget>

#include "models/Workspace.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace tamsel::models {
class ResultsListModel;
}

namespace tamsel::views {

class IconLabel;
class ResultGridView;

class ScanningView : public QWidget {
    Q_OBJECT
public:
    explicit ScanningView(models::Workspace* ws, QWidget* parent = nullptr);
    ResultGridView* grid() const { return grid_; }

private:
    void updateProgress();
    void updateWarning();

    models::Workspace* ws_;
    models::ResultsListModel* model_;
    QLabel* count_;
    QProgressBar* bar_;
    QLabel* bytes_;
    QLabel* speed_;
    QLabel* remaining_;
    IconLabel* bad_;
    IconLabel* note_;
    QWidget* failing_;
    ResultGridView* grid_;
};

}  // namespace tamsel::views
