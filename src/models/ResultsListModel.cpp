#include "models/ResultsListModel.h"

#include <algorithm>

#include "models/Shared.h"

namespace tamsel::models {

ResultsListModel::ResultsListModel(Workspace* workspace, QObject* parent)
    : QAbstractListModel(parent), workspace_(workspace) {
    connect(workspace, &Workspace::resultsAppended, this, &ResultsListModel::appended);
    connect(workspace, &Workspace::resultsReset, this, &ResultsListModel::rebuild);
    connect(workspace, &Workspace::filtersChanged, this, &ResultsListModel::rebuild);
    connect(workspace, &Workspace::selectionChangedFor, this, &ResultsListModel::selectionChangedFor);
    connect(workspace, &Workspace::resultChanged, this, [this](qsizetype resultIndex) {
        const Workspace* ws = workspace_.data();
        if (!ws) return;
        const int row = rowOfResult(resultIndex);
        const bool passes = ws->passesFilters(ws->results()[static_cast<std::size_t>(resultIndex)]);
        // A verdict may move a file out of (or into) a status filter.
        if ((row >= 0) != passes) return rebuild();
        if (row >= 0) emit dataChanged(index(row), index(row));
    });
    // Thumbnails belong to one session.
    connect(workspace, &Workspace::stagingDirChanged, this, &ResultsListModel::clearThumbnails);
    connect(workspace, &QObject::destroyed, this, [this] {
        beginResetModel();
        rows_.clear();
        endResetModel();
    });
    rebuild();
}

void ResultsListModel::rebuild() {
    beginResetModel();
    rows_.clear();
    if (const Workspace* ws = workspace_.data()) {
        const auto& results = ws->results();
        for (qsizetype i = 0; i < static_cast<qsizetype>(results.size()); ++i)
            if (ws->passesFilters(results[static_cast<std::size_t>(i)])) rows_.push_back(i);
    }
    endResetModel();
}

void ResultsListModel::appended(qsizetype first, qsizetype count) {
    const Workspace* ws = workspace_.data();
    if (!ws) return;
    std::vector<qsizetype> added;
    const auto& results = ws->results();
    for (qsizetype i = first; i < first + count; ++i)
        if (ws->passesFilters(results[static_cast<std::size_t>(i)])) added.push_back(i);
    if (added.empty()) return;
    const int at = rowCount();
    beginInsertRows({}, at, at + static_cast<int>(added.size()) - 1);
    rows_.insert(rows_.end(), added.begin(), added.end());
    endInsertRows();
}

int ResultsListModel::rowOfResult(qsizetype resultIndex) const {
    auto it = std::lower_bound(rows_.begin(), rows_.end(), resultIndex);
    return it != rows_.end() && *it == resultIndex ? static_cast<int>(it - rows_.begin()) : -1;
}

void ResultsListModel::selectionChangedFor(const QStringList& ids) {
    const Workspace* ws = workspace_.data();
    if (!ws || rows_.empty()) return;
    if (ids.isEmpty()) {
        emit dataChanged(index(0), index(rowCount() - 1), {SelectedRole, Qt::CheckStateRole});
        return;
    }
    for (const QString& id : ids) {
        const int row = rowOfResult(ws->resultIndexOf(id.toStdString()));
        if (row >= 0) emit dataChanged(index(row), index(row), {SelectedRole, Qt::CheckStateRole});
    }
}

int ResultsListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

const CarvedFile* ResultsListModel::fileAt(int row) const {
    const Workspace* ws = workspace_.data();
    if (!ws || row < 0 || row >= rowCount()) return nullptr;
    return &ws->results()[static_cast<std::size_t>(rows_[static_cast<std::size_t>(row)])];
}

QVariant ResultsListModel::data(const QModelIndex& index, int role) const {
    const CarvedFile* f = index.isValid() ? fileAt(index.row()) : nullptr;
    const Workspace* ws = workspace_.data();
    if (!f || !ws) return {};
    switch (role) {
        case Qt::DisplayRole:
        case FileNameRole: return qs(f->fileName);
        case IdRole: return qs(f->id);
        case ExtRole: return qs(f->ext);
        case MediaClassRole: return qs(MediaClass::of(f->ext).label());
        case SizeRole: return QVariant::fromValue<qint64>(f->length);
        case SizeTextRole: return formatBytes(f->length);
        case OffsetRole: return QVariant::fromValue<qint64>(f->offset);
        case OffsetTextRole: return QStringLiteral("0x") + QString::number(f->offset, 16).toUpper();
        case DamagedRole: return f->damaged;
        case StatusTextRole: return f->damaged ? QStringLiteral("一部破損") : QStringLiteral("良好");
        case NoteRole: return f->note ? qs(*f->note) : QString();
        case SelectedRole: return ws->isSelected(f->id);
        case Qt::CheckStateRole: return ws->isSelected(f->id) ? Qt::Checked : Qt::Unchecked;
        case PlaceholderRole: return qs(MediaKind::placeholderIcon(f->ext));
        case ThumbnailRole: {
            const auto it = thumbnails_.constFind(f->index);
            return it == thumbnails_.cend() ? QImage() : it->image;
        }
        case ThumbnailStateRole: {
            const auto it = thumbnails_.constFind(f->index);
            return int(it == thumbnails_.cend() ? ThumbnailState::waiting : it->state);
        }
        default: return {};
    }
}

void ResultsListModel::setThumbnail(qint64 fileIndex, Thumbnail thumbnail, int row) {
    if (thumbnail.state == ThumbnailState::waiting) {
        if (!thumbnails_.remove(fileIndex)) return;
    } else {
        thumbnails_.insert(fileIndex, std::move(thumbnail));
    }
    const CarvedFile* f = fileAt(row);
    if (f && f->index == fileIndex) emit dataChanged(index(row), index(row), {ThumbnailRole, ThumbnailStateRole});
    emit thumbnailChanged(fileIndex);
}

void ResultsListModel::clearThumbnails() {
    if (thumbnails_.isEmpty()) return;
    thumbnails_.clear();
    if (!rows_.empty()) emit dataChanged(index(0), index(rowCount() - 1), {ThumbnailRole, ThumbnailStateRole});
}

bool ResultsListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    const CarvedFile* f = index.isValid() ? fileAt(index.row()) : nullptr;
    if (!f || (role != Qt::CheckStateRole && role != SelectedRole)) return false;
    const bool want = role == SelectedRole ? value.toBool() : value.value<Qt::CheckState>() == Qt::Checked;
    if (want != workspace_->isSelected(f->id)) workspace_->toggle(f->id);
    return true;
}

Qt::ItemFlags ResultsListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemNeverHasChildren;
}

QHash<int, QByteArray> ResultsListModel::roleNames() const {
    auto names = QAbstractListModel::roleNames();
    names.insert({{IdRole, "fileId"}, {FileNameRole, "fileName"}, {ExtRole, "ext"}, {MediaClassRole, "mediaClass"},
                  {SizeRole, "size"}, {SizeTextRole, "sizeText"}, {OffsetRole, "offset"}, {OffsetTextRole, "offsetText"},
                  {DamagedRole, "damaged"}, {StatusTextRole, "statusText"}, {NoteRole, "note"}, {SelectedRole, "selected"},
                  {PlaceholderRole, "placeholder"}, {ThumbnailRole, "thumbnail"},
                  {ThumbnailStateRole, "thumbnailState"}});
    return names;
}

}  // namespace tamsel::models
