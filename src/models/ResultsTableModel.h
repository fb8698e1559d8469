#pragma once
// The results list as table columns: check, name, date, type, size, offset,
// state. Sorting a column orders the list model's rows, so the grid follows.
// The rows are those of the list model; what the columns look like (fonts,
// the state's dot) is the table view's.

#include <QAbstractTableModel>

#include <optional>

#include "models/ResultsListModel.h"

namespace tamsel::models {

class ResultsTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { checkColumn, nameColumn, dateColumn, typeColumn, sizeColumn, offsetColumn, stateColumn, columnCount_ };
    // The order a column sorts by (found order for the offset), and back; -1 for none.
    static std::optional<ResultSort> sortOf(int column);
    static int columnOf(ResultSort sort);
    explicit ResultsTableModel(ResultsListModel* rows, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    // The name column also answers the list's thumbnail and placeholder
    // roles, the state column its damaged role.
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    void sort(int column, Qt::SortOrder order) override;
    ResultsListModel* rows() const { return rows_; }

private:
    ResultsListModel* rows_;
};

}  // namespace tamsel::models
