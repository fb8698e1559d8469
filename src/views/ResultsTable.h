#pragma once
// The results as a table: a check box, the name after a small thumbnail,
// date, type, size, offset and state, with a header box that chooses every
// listed file. A column's header sorts the list (the grid follows); a row
// is looked at when chosen, its box (or Space) changes what is recovered,
// and a double click or Enter opens its preview.

#include <QPointer>
#include <QTableView>

#include "models/ResultsListModel.h"
#include "models/ResultsTableModel.h"
#include "models/ThumbnailRolesUpdater.h"
#include "models/Workspace.h"

namespace tamsel::views {

class ResultsTable : public QTableView {
    Q_OBJECT
public:
    ResultsTable(models::Workspace* ws, models::ResultsListModel* rows, models::ThumbnailRolesUpdater* updater,
                 QWidget* parent = nullptr);

signals:
    void previewRequested(qint64 fileIndex);

protected:
    void keyPressEvent(QKeyEvent* e) override;

private:
    void showSort();
    QPointer<models::Workspace> ws_;
    models::ResultsListModel* rows_;
};

}  // namespace tamsel::views
