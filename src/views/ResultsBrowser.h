#pragma once
// The results browser: filters sidebar, content (header, grid or table,
// bottom bar) and the inspector of the focused file.

#include <QAbstractTableModel>
#include <QPointer>
#include <QWidget>

#include "models/ResultsListModel.h"
#include "models/ThumbnailRolesUpdater.h"
#include "models/Workspace.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QSlider;
class QStackedWidget;
class QTableView;
class QVBoxLayout;

namespace tamsel::views {

class FittingLabel;
class IconLabel;
class ResultGridView;

// The results list as table columns: check, name, size, offset, state.
class ResultsTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { checkColumn, nameColumn, sizeColumn, offsetColumn, stateColumn, columnCount_ };
    ResultsTableModel(models::Workspace* ws, models::ResultsListModel* rows, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    models::ResultsListModel* rows() const { return rows_; }

private:
    QPointer<models::Workspace> ws_;
    models::ResultsListModel* rows_;
};

class FiltersSidebar : public QWidget {
    Q_OBJECT
public:
    explicit FiltersSidebar(models::Workspace* ws, QWidget* parent = nullptr);

private:
    void refresh();
    models::Workspace* ws_;
    QList<class FilterRow*> typeRows_;
    QList<class FilterRow*> statusRows_;
};

class InspectorPane : public QWidget {
    Q_OBJECT
public:
    static constexpr int kPreviewHeight = 200;
    // The preview is the focused file's thumbnail role in `thumbnails`.
    InspectorPane(models::Workspace* ws, models::ResultsListModel* thumbnails, QWidget* parent = nullptr);
    double meterValue() const { return meter_; }

private:
    void refresh();
    models::Workspace* ws_;
    models::ResultsListModel* thumbnails_;
    qint64 shownIndex_ = -1;
    QStackedWidget* stack_;
    QLabel* preview_;
    QLabel* name_;
    QLabel* kind_;
    QLabel* size_;
    QLabel* offset_;
    QLabel* state_;
    QLabel* stateNote_;
    QLabel* meterText_;
    QProgressBar* meterBar_;
    QPushButton* recover_;
    double meter_ = 0;
};

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

class ResultsBrowser : public QWidget {
    Q_OBJECT
public:
    explicit ResultsBrowser(models::Workspace* ws, QWidget* parent = nullptr);
    ResultGridView* grid() const { return grid_; }
    QTableView* table() const { return table_; }
    models::ResultsListModel* listModel() const { return model_; }
    models::ThumbnailRolesUpdater* thumbnails() const { return updater_; }

private:
    void refreshHeader();
    void refreshContent();
    // The workspace may go first (the window closing): nothing is read from it then.
    QPointer<models::Workspace> ws_;
    models::ResultsListModel* model_;
    models::ThumbnailRolesUpdater* updater_;
    ResultsTableModel* tableModel_;
    QLabel* countLabel_;
    QLabel* countDetail_;
    QWidget* sizeControls_;
    QSlider* slider_;
    QStackedWidget* stack_;
    QWidget* empty_;
    ResultGridView* grid_;
    QTableView* table_;
};

}  // namespace tamsel::views
