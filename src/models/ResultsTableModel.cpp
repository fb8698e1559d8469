#include "models/ResultsTableModel.h"

namespace tamsel::models {

ResultsTableModel::ResultsTableModel(ResultsListModel* rows, QObject* parent) : QAbstractTableModel(parent), rows_(rows) {
    connect(rows, &QAbstractItemModel::modelAboutToBeReset, this, [this] { beginResetModel(); });
    connect(rows, &QAbstractItemModel::modelReset, this, [this] { endResetModel(); });
    connect(rows, &QAbstractItemModel::rowsAboutToBeInserted, this,
            [this](const QModelIndex&, int first, int last) { beginInsertRows({}, first, last); });
    connect(rows, &QAbstractItemModel::rowsInserted, this, [this] { endInsertRows(); });
    connect(rows, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex&, int first, int last) { beginRemoveRows({}, first, last); });
    connect(rows, &QAbstractItemModel::rowsRemoved, this, [this] { endRemoveRows(); });
    connect(rows, &QAbstractItemModel::dataChanged, this, [this](const QModelIndex& a, const QModelIndex& b) {
        emit dataChanged(index(a.row(), 0), index(b.row(), columnCount_ - 1));
    });
}

int ResultsTableModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_->rowCount(); }
int ResultsTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : columnCount_; }

QVariant ResultsTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rows_->rowCount()) return {};
    const QModelIndex row = rows_->index(index.row(), 0);
    switch (index.column()) {
        case checkColumn:
            if (role == Qt::CheckStateRole) return rows_->data(row, Qt::CheckStateRole);
            if (role == Qt::AccessibleTextRole) return QStringLiteral("選択");
            break;
        case nameColumn:
            if (role == Qt::DisplayRole) return rows_->data(row, ResultsListModel::FileNameRole);
            if (role == Qt::ToolTipRole) return rows_->data(row, ResultsListModel::FileNameRole);
            if (role == ResultsListModel::ThumbnailRole || role == ResultsListModel::ThumbnailStateRole ||
                role == ResultsListModel::PlaceholderRole)
                return rows_->data(row, role);
            break;
        case dateColumn:
            if (role == Qt::DisplayRole) return rows_->data(row, ResultsListModel::DateTextRole);
            break;
        case typeColumn:
            if (role == Qt::DisplayRole) return rows_->data(row, ResultsListModel::MediaClassRole);
            break;
        case sizeColumn:
            if (role == Qt::DisplayRole) return rows_->data(row, ResultsListModel::SizeTextRole);
            if (role == Qt::TextAlignmentRole) return int(Qt::AlignRight | Qt::AlignVCenter);
            break;
        case offsetColumn:
            if (role == Qt::DisplayRole) return rows_->data(row, ResultsListModel::OffsetTextRole);
            if (role == Qt::TextAlignmentRole) return int(Qt::AlignRight | Qt::AlignVCenter);
            break;
        case stateColumn:
            if (role == Qt::DisplayRole) return rows_->data(row, ResultsListModel::StatusTextRole);
            if (role == ResultsListModel::DamagedRole) return rows_->data(row, role);
            break;
        default: break;
    }
    return {};
}

bool ResultsTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (index.column() != checkColumn || role != Qt::CheckStateRole) return false;
    return rows_->setData(rows_->index(index.row(), 0), value, Qt::CheckStateRole);
}

QVariant ResultsTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case nameColumn: return QStringLiteral("ファイル");
        case dateColumn: return QStringLiteral("日付");
        case typeColumn: return QStringLiteral("種類");
        case sizeColumn: return QStringLiteral("サイズ");
        case offsetColumn: return QStringLiteral("オフセット");
        case stateColumn: return QStringLiteral("状態");
        default: return QString();
    }
}

Qt::ItemFlags ResultsTableModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == checkColumn) f |= Qt::ItemIsUserCheckable;
    if (index.isValid()) f |= Qt::ItemNeverHasChildren;
    return f;
}

}  // namespace tamsel::models

namespace tamsel::models {

std::optional<ResultSort> ResultsTableModel::sortOf(int column) {
    switch (column) {
        case nameColumn: return ResultSort::name;
        case dateColumn: return ResultSort::date;
        case typeColumn: return ResultSort::type;
        case sizeColumn: return ResultSort::size;
        case offsetColumn: return ResultSort::found;
        case stateColumn: return ResultSort::state;
        default: return std::nullopt;
    }
}

int ResultsTableModel::columnOf(ResultSort sort) {
    for (int column = 0; column < columnCount_; ++column)
        if (sortOf(column) == sort) return column;
    return -1;
}

void ResultsTableModel::sort(int column, Qt::SortOrder order) {
    if (const auto key = sortOf(column)) rows_->setSort(*key, order == Qt::DescendingOrder);
}

}  // namespace tamsel::models
