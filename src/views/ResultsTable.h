#pragma once
// The results as a table: a check box, the name after a small thumbnail,
// size, offset and state, with a header box that chooses every listed file.

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
};

}  // namespace tamsel::views
