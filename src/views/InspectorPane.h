#pragma once
// The results' right pane: the current file's picture, kind, date, size,
// offset, state and chance of recovery, a button that opens its preview and
// one that recovers it alone.

#include <QWidget>

#include "models/ResultsListModel.h"
#include "models/Workspace.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;

namespace tamsel::views {

class InspectorPane : public QWidget {
    Q_OBJECT
public:
    static constexpr int kPreviewHeight = 200;
    // The preview is the current file's thumbnail role in `thumbnails`.
    InspectorPane(models::Workspace* ws, models::ResultsListModel* thumbnails, QWidget* parent = nullptr);
    double meterValue() const { return meter_; }

signals:
    void previewRequested(qint64 fileIndex);

private:
    void refresh();
    models::Workspace* ws_;
    models::ResultsListModel* thumbnails_;
    qint64 shownIndex_ = -1;
    QStackedWidget* stack_;
    QLabel* preview_;
    QLabel* name_;
    QLabel* kind_;
    QLabel* date_;
    QLabel* size_;
    QLabel* offset_;
    QLabel* state_;
    QLabel* stateNote_;
    QLabel* meterText_;
    QProgressBar* meterBar_;
    QPushButton* recover_;
    double meter_ = 0;
};

}  // namespace tamsel::views
