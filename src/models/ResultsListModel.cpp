#include "models/ResultsListModel.h"

#include <algorithm>

#include "engine/common/Formatting.h"
#include "models/Shared.h"

namespace tamsel::models {

ResultsListModel::ResultsListModel(Workspace* workspace, QObject* parent)
    : QAbstractListModel(parent), workspace_(workspace), files_(&workspace->results()), selection_(&workspace->selection()) {
    connect(files_, &FoundFiles::appended, this, &ResultsListModel::appended);
    connect(files_, &FoundFiles::reset, this, &ResultsListModel::rebuild);
    connect(files_, &FoundFiles::filtersChanged, this, &ResultsListModel::rebuild);
    connect(files_, &FoundFiles::sortChanged, this, &ResultsListModel::rebuild);
    connect(selection_, &FileSelection::currentChanged, this, &ResultsListModel::currentChanged);
    connect(selection_, &FileSelection::changedFor, this, &ResultsListModel::selectionChangedFor);
    connect(selection_, &FileSelection::changedForAll, this, [this] {
        if (!rows_.empty()) emit dataChanged(index(0), index(rowCount() - 1), {SelectedRole, Qt::CheckStateRole});
    });
    connect(files_, &FoundFiles::fileChanged, this, [this](qsizetype position) {
        if (!workspace_) return;
        const int row = rowOf(position);
        const bool passes = files_->passesFilters((*files_)[position]);
        // A verdict may move a file out of (or into) a status filter, or within the order by state.
        if ((row >= 0) != passes || (row >= 0 && files_->sortKey() == ResultSort::state)) return rebuild();
        if (row >= 0) emit dataChanged(index(row), index(row));
    });
    // Thumbnails belong to one session.
    connect(&workspace->job(), &CarveJob::stagingDirChanged, this, &ResultsListModel::clearThumbnails);
    connect(workspace, &QObject::destroyed, this, [this] {
        beginResetModel();
        rows_.clear();
        rowAt_.clear();
        endResetModel();
    });
    current_ = selection_->current();
    rebuild();
}

void ResultsListModel::rebuild() {
    beginResetModel();
    std::vector<int>().swap(rows_);
    std::vector<int>().swap(rowAt_);
    if (workspace_) {
        for (qsizetype i = 0; i < files_->size(); ++i)
            if (files_->passesFilters((*files_)[i])) rows_.push_back(int(i));
        if (files_->sortKey() != ResultSort::found || files_->sortDescending())
            std::sort(rows_.begin(), rows_.end(), [this](int a, int b) { return files_->listedBefore((*files_)[a], (*files_)[b]); });
        rowAt_.assign(std::size_t(files_->size()), -1);
        for (std::size_t row = 0; row < rows_.size(); ++row) rowAt_[std::size_t(rows_[row])] = int(row);
    }
    endResetModel();
}

void ResultsListModel::appended(qsizetype first, qsizetype count) {
    if (!workspace_) return;
    // Files in another order than found are placed among the others.
    if (files_->sortKey() != ResultSort::found || files_->sortDescending()) return rebuild();
    rowAt_.resize(std::size_t(files_->size()), -1);
    std::vector<int> added;
    for (qsizetype i = first; i < first + count; ++i)
        if (files_->passesFilters((*files_)[i])) added.push_back(int(i));
    if (added.empty()) return;
    const int at = rowCount();
    beginInsertRows({}, at, at + static_cast<int>(added.size()) - 1);
    rows_.insert(rows_.end(), added.begin(), added.end());
    for (int row = at; row < rowCount(); ++row) rowAt_[std::size_t(rows_[std::size_t(row)])] = row;
    endInsertRows();
}

int ResultsListModel::rowOf(qsizetype position) const {
    return position >= 0 && position < qsizetype(rowAt_.size()) ? rowAt_[std::size_t(position)] : -1;
}

void ResultsListModel::setSort(ResultSort key, bool descending) {
    if (workspace_) files_->setSort(key, descending);
}

int ResultsListModel::rowOfFile(qint64 fileIndex) const {
    return workspace_ ? rowOf(files_->positionOf(fileIndex)) : -1;
}

void ResultsListModel::currentChanged() {
    const std::optional<qint64> was = std::exchange(current_, selection_->current());
    for (const auto& file : {was, current_})
        if (const int row = file ? rowOfFile(*file) : -1; row >= 0) emit dataChanged(index(row), index(row), {CurrentRole});
}

void ResultsListModel::selectionChangedFor(qint64 fileIndex) {
    if (!workspace_ || rows_.empty()) return;
    const int row = rowOf(files_->positionOf(fileIndex));
    if (row >= 0) emit dataChanged(index(row), index(row), {SelectedRole, Qt::CheckStateRole});
}

int ResultsListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

const FoundFile* ResultsListModel::fileAt(int row) const {
    if (!workspace_ || row < 0 || row >= rowCount()) return nullptr;
    return &(*files_)[rows_[static_cast<std::size_t>(row)]];
}

QVariant ResultsListModel::data(const QModelIndex& index, int role) const {
    const FoundFile* f = index.isValid() ? fileAt(index.row()) : nullptr;
    if (!f) return {};
    switch (role) {
        case Qt::DisplayRole:
        case FileNameRole: return qs(files_->shownName(*f));
        case IndexRole: return QVariant::fromValue<qint64>(f->index);
        case ExtRole: return qs(files_->ext(*f));
        case MediaClassRole: return qs(files_->kind(*f).label());
        case SizeRole: return QVariant::fromValue<qint64>(f->length);
        case SizeTextRole: return formatBytes(f->length);
        case OffsetRole: return QVariant::fromValue<qint64>(f->offset);
        case OffsetTextRole: return QStringLiteral("0x") + QString::number(f->offset, 16).toUpper();
        case DamagedRole: return f->damaged;
        case StatusTextRole: return f->damaged ? QStringLiteral("一部破損") : QStringLiteral("良好");
        case NoteRole: return qs(files_->note(*f).value_or(std::string()));
        case SelectedRole: return selection_->contains(f->index);
        case Qt::CheckStateRole: return selection_->contains(f->index) ? Qt::Checked : Qt::Unchecked;
        case PlaceholderRole: return qs(MediaKind::placeholderIcon(files_->ext(*f)));
        case ThumbnailRole: {
            const auto it = thumbnails_.constFind(f->index);
            return it == thumbnails_.cend() ? QImage() : it->image;
        }
        case ThumbnailStateRole: {
            const auto it = thumbnails_.constFind(f->index);
            return int(it == thumbnails_.cend() ? ThumbnailState::waiting : it->state);
        }
        case CurrentRole: return current_ == f->index;
        case DateRole: return f->modified == FoundFile::kNoDate ? QVariant() : QVariant::fromValue<qint64>(f->modified);
        case DateTextRole: return f->modified == FoundFile::kNoDate ? QString() : qs(formatLocalTime(f->modified, "%Y-%m-%d %H:%M"));
        default: return {};
    }
}

void ResultsListModel::setThumbnail(qint64 fileIndex, Thumbnail thumbnail, int row) {
    if (thumbnail.state == ThumbnailState::waiting) {
        if (!thumbnails_.remove(fileIndex)) return;
    } else {
        thumbnails_.insert(fileIndex, std::move(thumbnail));
    }
    const FoundFile* f = fileAt(row);
    if (f && f->index == fileIndex) emit dataChanged(index(row), index(row), {ThumbnailRole, ThumbnailStateRole});
    emit thumbnailChanged(fileIndex);
}

void ResultsListModel::clearThumbnails() {
    if (thumbnails_.isEmpty()) return;
    thumbnails_.clear();
    if (!rows_.empty()) emit dataChanged(index(0), index(rowCount() - 1), {ThumbnailRole, ThumbnailStateRole});
}

bool ResultsListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    const FoundFile* f = index.isValid() ? fileAt(index.row()) : nullptr;
    if (!f || (role != Qt::CheckStateRole && role != SelectedRole)) return false;
    const bool want = role == SelectedRole ? value.toBool() : value.value<Qt::CheckState>() == Qt::Checked;
    if (want != selection_->contains(f->index)) selection_->toggle(f->index);
    return true;
}

Qt::ItemFlags ResultsListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemNeverHasChildren;
}

QHash<int, QByteArray> ResultsListModel::roleNames() const {
    auto names = QAbstractListModel::roleNames();
    names.insert({{IndexRole, "index"}, {FileNameRole, "fileName"}, {ExtRole, "ext"}, {MediaClassRole, "mediaClass"},
                  {SizeRole, "size"}, {SizeTextRole, "sizeText"}, {OffsetRole, "offset"}, {OffsetTextRole, "offsetText"},
                  {DamagedRole, "damaged"}, {StatusTextRole, "statusText"}, {NoteRole, "note"}, {SelectedRole, "selected"},
                  {PlaceholderRole, "placeholder"}, {ThumbnailRole, "thumbnail"},
                  {ThumbnailStateRole, "thumbnailState"}, {CurrentRole, "current"}, {DateRole, "date"},
                  {DateTextRole, "dateText"}});
    return names;
}

}  // namespace tamsel::models
