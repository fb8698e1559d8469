#pragma once
// The results browser: the filters pane, the content (header, grid or
// table, the last recovery's report, bottom bar), the inspector of the
// current file and the preview of any listed one.

#include <QPointer>
#include <QWidget>

#include "models/ResultsListModel.h"
#include "models/ThumbnailRolesUpdater.h"
#include "models/Workspace.h"

class QLabel;
class QSlider;
class QStackedWidget;
class QTableView;

namespace tamsel::views {

class PreviewDialog;
class ResultGridView;
class ResultsTable;

class ResultsBrowser : public QWidget {
    Q_OBJECT
public:
    explicit ResultsBrowser(models::Workspace* ws, QWidget* parent = nullptr);
    ResultGridView* grid() const { return grid_; }
    QTableView* table() const;
    models::ResultsListModel* listModel() const { return model_; }
    models::ThumbnailRolesUpdater* thumbnails() const { return updater_; }
    // Opens the preview on found file `fileIndex`.
    void openPreview(qint64 fileIndex);
    // The preview, once opened.
    PreviewDialog* preview() const;

private:
    void refreshHeader();
    void refreshContent();
    void followCurrent();
    // The workspace may go first (the window closing): nothing is read from it then.
    QPointer<models::Workspace> ws_;
    models::ResultsListModel* model_;
    models::ThumbnailRolesUpdater* updater_;
    QLabel* countLabel_;
    QLabel* countDetail_;
    QWidget* sizeControls_;
    QSlider* slider_;
    QStackedWidget* stack_;
    QWidget* empty_;
    ResultGridView* grid_;
    ResultsTable* table_;
    QPointer<PreviewDialog> preview_;
};

}  // namespace tamsel::views
