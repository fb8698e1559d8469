#include "models/FileSelection.h"

#include <algorithm>

#include "models/FoundFiles.h"

namespace tamsel::models {

std::vector<IndexSet::Run>::iterator IndexSet::runAfter(std::int64_t index) {
    return std::upper_bound(runs_.begin(), runs_.end(), index, [](std::int64_t i, const Run& r) { return i < r.first; });
}

bool IndexSet::contains(std::int64_t index) const {
    auto it = std::upper_bound(runs_.begin(), runs_.end(), index, [](std::int64_t i, const Run& r) { return i < r.first; });
    return it != runs_.begin() && std::prev(it)->last >= index;
}

bool IndexSet::insert(std::int64_t index) {
    // Files are listed in index order: most insertions extend the last run.
    if (!runs_.empty() && runs_.back().last == index - 1) {
        ++runs_.back().last;
        ++size_;
        return true;
    }
    auto after = runAfter(index);
    const bool joinsBefore = after != runs_.begin() && std::prev(after)->last >= index - 1;
    if (joinsBefore && std::prev(after)->last >= index) return false;
    const bool joinsAfter = after != runs_.end() && after->first == index + 1;
    if (joinsBefore && joinsAfter) {
        std::prev(after)->last = after->last;
        runs_.erase(after);
    } else if (joinsBefore) {
        std::prev(after)->last = index;
    } else if (joinsAfter) {
        after->first = index;
    } else {
        runs_.insert(after, Run{index, index});
    }
    ++size_;
    return true;
}

bool IndexSet::erase(std::int64_t index) {
    auto after = runAfter(index);
    if (after == runs_.begin() || std::prev(after)->last < index) return false;
    const auto run = std::prev(after);
    if (run->first == index && run->last == index) runs_.erase(run);
    else if (run->first == index) ++run->first;
    else if (run->last == index) --run->last;
    else {
        const Run tail{index + 1, run->last};
        run->last = index - 1;
        runs_.insert(after, tail);
    }
    --size_;
    return true;
}

FileSelection::FileSelection(const FoundFiles* files, QObject* parent) : QObject(parent), files_(files) {
    connect(files, &FoundFiles::reset, this, &FileSelection::clear);
    connect(files, &FoundFiles::appended, this, [this](qsizetype first, qsizetype count) {
        if (!current_) return;
        const qsizetype at = files_->positionOf(*current_);
        if (at >= first && at < first + count) emit currentChanged();
    });
    connect(files, &FoundFiles::fileChanged, this, [this](qsizetype position) {
        if (current_ && (*files_)[position].index == *current_) emit currentChanged();
    });
}

void FileSelection::setCurrent(const std::optional<qint64>& index) {
    if (current_ == index) return;
    current_ = index;
    emit currentChanged();
}

const FoundFile* FileSelection::currentFile() const { return current_ ? files_->find(*current_) : nullptr; }

void FileSelection::addBytes(qint64 bytes) {
    if (bytes == 0) return;
    totalBytes_ += bytes;
    emit totalBytesChanged();
}

void FileSelection::toggle(std::int64_t index) {
    const bool chosen = chosen_.erase(index) ? false : chosen_.insert(index);
    if (const FoundFile* f = files_->find(index)) addBytes(chosen ? f->length : -f->length);
    emit changed();
    emit changedFor(index);
    setCurrent(index);
}

void FileSelection::choosePositions(qsizetype first, qsizetype count) {
    qint64 added = 0;
    bool any = false;
    for (qsizetype i = first; i < first + count; ++i) {
        const FoundFile& f = (*files_)[i];
        if (chosen_.insert(f.index)) {
            added += f.length;
            any = true;
        }
    }
    // Rows listed just now: no other row's choice changed.
    if (!any) return;
    emit changed();
    addBytes(added);
}

void FileSelection::selectAllFiltered() {
    qint64 added = 0;
    bool any = false;
    for (qsizetype i = 0; i < files_->size(); ++i) {
        const FoundFile& f = (*files_)[i];
        if (files_->passesFilters(f) && chosen_.insert(f.index)) {
            added += f.length;
            any = true;
        }
    }
    if (!any) return;
    emit changed();
    emit changedForAll();
    addBytes(added);
}

void FileSelection::deselectAll() {
    if (chosen_.empty()) return;
    chosen_.clear();
    emit changed();
    emit changedForAll();
    addBytes(-totalBytes_);
}

void FileSelection::clear() {
    setCurrent(std::nullopt);
    deselectAll();
}

}  // namespace tamsel::models
