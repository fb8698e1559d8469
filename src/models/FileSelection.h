#pragma once
// Which found files are chosen, and which one is current (the inspector's),
// by their stable index: kept apart from the found files and their rows,
// so that a filter, a row model or a view coming and going changes nothing.
// The chosen indexes are held as runs, so a million chosen files are a
// handful of entries. UI thread only.

#include <QObject>

#include <cstdint>
#include <optional>
#include <vector>

namespace tamsel::models {

class FoundFiles;
struct FoundFile;

// A set of indexes as sorted, disjoint runs of consecutive ones.
class IndexSet {
public:
    IndexSet() = default;
    IndexSet(std::initializer_list<std::int64_t> indexes) {
        for (auto i : indexes) insert(i);
    }
    bool contains(std::int64_t index) const;
    std::int64_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::size_t runs() const { return runs_.size(); }
    // False when it was there already (or not there, for erase).
    bool insert(std::int64_t index);
    bool erase(std::int64_t index);
    void clear() {
        std::vector<Run>().swap(runs_);
        size_ = 0;
    }
    template <class F>
    void forEach(F&& f) const {
        for (const Run& r : runs_)
            for (std::int64_t i = r.first; i <= r.last; ++i) f(i);
    }
    friend bool operator==(const IndexSet& a, const IndexSet& b) { return a.runs_ == b.runs_; }

private:
    struct Run {
        std::int64_t first, last;
        friend bool operator==(const Run&, const Run&) = default;
    };
    std::vector<Run>::iterator runAfter(std::int64_t index);  // the first run starting after `index`
    std::vector<Run> runs_;
    std::int64_t size_ = 0;
};

class FileSelection : public QObject {
    Q_OBJECT
    Q_PROPERTY(qsizetype count READ count NOTIFY changed)
    Q_PROPERTY(qint64 totalBytes READ totalBytes NOTIFY totalBytesChanged)
    Q_PROPERTY(std::optional<qint64> current READ current WRITE setCurrent NOTIFY currentChanged)
public:
    // Follows `files`: emptied when they are, told when the current one changes.
    explicit FileSelection(const FoundFiles* files, QObject* parent = nullptr);

    bool contains(std::int64_t index) const { return chosen_.contains(index); }
    qsizetype count() const { return qsizetype(chosen_.size()); }
    bool empty() const { return chosen_.empty(); }
    const IndexSet& indexes() const { return chosen_; }
    qint64 totalBytes() const { return totalBytes_; }

    // The current file, the one the inspector shows; it may be listed later.
    const std::optional<qint64>& current() const { return current_; }
    void setCurrent(const std::optional<qint64>& index);
    const FoundFile* currentFile() const;

    // Chosen or not, and made current.
    void toggle(std::int64_t index);
    // Found files [first, first + count) of the list, as they are listed.
    void choosePositions(qsizetype first, qsizetype count);
    Q_INVOKABLE void selectAllFiltered();
    Q_INVOKABLE void deselectAll();

signals:
    void changed();
    void changedFor(qint64 index);  // only that file's choice changed
    void changedForAll();           // any file's may have
    void totalBytesChanged();
    // Another current file, or the current one arrived or changed.
    void currentChanged();

private:
    void addBytes(qint64 bytes);
    void clear();

    const FoundFiles* files_;
    IndexSet chosen_;
    qint64 totalBytes_ = 0;
    std::optional<qint64> current_;
};

}  // namespace tamsel::models
