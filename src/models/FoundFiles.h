#pragma once
// The carve screen's found files, keyed by their stable index (the found
// list's record index), with the filters and view settings of the results
// screen. A file is a compact row: its texts (extension, name, note) are
// made when shown, and only the few that its index cannot give are kept.
// Rows are appended in index order as the scan finds them and never move.
// UI thread only.

#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/carve/CarvedFile.h"
#include "engine/carve/MediaClass.h"
#include "models/ResultFilters.h"

namespace tamsel::models {

struct FoundFile {
    static constexpr std::int64_t kNoDate = INT64_MIN;
    std::int64_t index = 0;  // stable: the found list's record index
    std::int64_t offset = 0;
    std::int64_t length = 0;
    std::int64_t modified = kNoDate;  // seconds since the epoch: the card's or the content's date
    std::uint16_t ext = 0;  // into its list's extensions
    bool damaged = false;
    bool hasNote = false;  // its note is kept by index
    bool ownName = false;  // named otherwise than its index and extension say
    bool hasOriginal = false;  // the card's own path is kept by index
    DateSource dateSource = DateSource::none;
};
static_assert(sizeof(FoundFile) == 40, "a million of them in 40 MB");

// Found files made compact where they arrive (the scan's thread): the rows,
// and the texts a row does not hold, with extensions numbered for this batch.
struct FoundBatch {
    std::vector<FoundFile> files;
    std::vector<std::string> exts;
    std::vector<std::pair<std::int64_t, std::string>> notes;
    std::vector<std::pair<std::int64_t, std::string>> names;
    std::vector<std::pair<std::int64_t, std::string>> originals;
    std::vector<std::pair<std::int64_t, std::vector<ByteRun>>> runs;  // of the few files in pieces

    void add(const CarvedFile& file);
    static FoundBatch of(const std::vector<CarvedFile>& files) {
        FoundBatch batch;
        for (const auto& f : files) batch.add(f);
        return batch;
    }
    bool empty() const { return files.empty(); }
    std::size_t size() const { return files.size(); }
};

class FoundFiles : public QObject {
    Q_OBJECT
public:
    struct Counts {
        qint64 all = 0, photo = 0, raw = 0, video = 0, audio = 0, ok = 0, partial = 0;
        friend bool operator==(const Counts&, const Counts&) = default;
    };

    Q_PROPERTY(tamsel::TypeFilter typeFilter READ typeFilter WRITE setTypeFilter NOTIFY typeFilterChanged)
    Q_PROPERTY(tamsel::StatusFilter statusFilter READ statusFilter WRITE setStatusFilter NOTIFY statusFilterChanged)
    Q_PROPERTY(QString searchText READ searchText WRITE setSearchText NOTIFY searchTextChanged)
    Q_PROPERTY(tamsel::ResultSort sortKey READ sortKey NOTIFY sortChanged)
    Q_PROPERTY(bool sortDescending READ sortDescending NOTIFY sortChanged)
    Q_PROPERTY(tamsel::ResultViewMode viewMode READ viewMode WRITE setViewMode NOTIFY viewModeChanged)
    Q_PROPERTY(double thumbSize READ thumbSize WRITE setThumbSize NOTIFY thumbSizeChanged)
    Q_PROPERTY(tamsel::models::FoundFiles::Counts counts READ counts NOTIFY countsChanged)

    explicit FoundFiles(QObject* parent = nullptr);

    qsizetype size() const { return qsizetype(files_.size()); }
    bool empty() const { return files_.empty(); }
    const FoundFile& operator[](qsizetype position) const { return files_[std::size_t(position)]; }
    const FoundFile& front() const { return files_.front(); }
    auto begin() const { return files_.begin(); }
    auto end() const { return files_.end(); }
    // Where found file `index` is listed, or -1.
    qsizetype positionOf(std::int64_t index) const;
    const FoundFile* find(std::int64_t index) const;

    const std::string& ext(const FoundFile& f) const { return exts_[f.ext].text; }
    MediaClass kind(const FoundFile& f) const { return exts_[f.ext].kind; }
    std::string fileName(const FoundFile& f) const;  // "JPG/rescued_000001.jpg"
    std::optional<std::string> note(const FoundFile& f) const;
    // Where the card's file system kept it ("DCIM/100CANON/IMG_0001.JPG"), when it did.
    std::optional<std::string> originalPath(const FoundFile& f) const;
    // The name the window shows: the card's own path when known, else fileName.
    std::string shownName(const FoundFile& f) const;
    // The whole record, for the flows that take one.
    CarvedFile carvedFile(const FoundFile& f) const;

    TypeFilter typeFilter() const { return typeFilter_; }
    void setTypeFilter(TypeFilter v);
    StatusFilter statusFilter() const { return statusFilter_; }
    void setStatusFilter(StatusFilter v);
    const QString& searchText() const { return searchText_; }
    void setSearchText(const QString& v);
    ResultSort sortKey() const { return sortKey_; }
    bool sortDescending() const { return sortDescending_; }
    void setSort(ResultSort key, bool descending);
    // A new scan lists afresh: every filter off, the search empty, found order.
    void resetFilters();
    ResultViewMode viewMode() const { return viewMode_; }
    void setViewMode(ResultViewMode v);
    double thumbSize() const { return thumbSize_; }
    void setThumbSize(double v);
    // Kept up to date as files arrive, so that no read walks the list.
    Counts counts() const { return counts_; }

    // Whether `f` passes the type, status and search filters; the search
    // matches the shown and the scan's names, the extension and the kind's word.
    bool passesFilters(const FoundFile& f) const;
    // Whether `a` is listed before `b` in the chosen order (never both ways).
    bool listedBefore(const FoundFile& a, const FoundFile& b) const;

    // Files found after those listed (in index order).
    void append(FoundBatch batch);
    void clear();
    // A verdict on found file `index`'s content; kept for it when it is not listed yet.
    void markDamaged(std::int64_t index, const std::string& note);

signals:
    void appended(qsizetype first, qsizetype count);  // rows [first, first + count) were added
    void reset();                                     // the list was emptied
    void fileChanged(qsizetype position);             // a verdict came for that file
    void filtersChanged();                            // type, status or search changed
    void typeFilterChanged();
    void statusFilterChanged();
    void searchTextChanged();
    void sortChanged();
    void viewModeChanged();
    void thumbSizeChanged();
    void countsChanged();

private:
    struct Ext {
        std::string text;
        std::string lower;  // for the order by type
        MediaClass kind;
        QString word;  // the kind's word, as the filters show it
    };
    std::uint16_t codeOf(const std::string& ext);
    void countIn(const FoundFile& f);
    // Its name, made in `scratch` (whose room is reused) unless kept.
    std::string_view nameOf(const FoundFile& f, std::string& scratch) const;

    std::deque<FoundFile> files_;  // grows without moving what is listed
    bool ordered_ = true;          // indexes ascending, as found
    std::vector<Ext> exts_;
    std::unordered_map<std::int64_t, std::string> notes_;
    std::unordered_map<std::int64_t, std::string> names_;
    std::unordered_map<std::int64_t, std::string> originals_;
    std::unordered_map<std::int64_t, std::vector<ByteRun>> runs_;
    std::map<std::int64_t, std::string> earlyVerdicts_;  // for files not listed yet
    Counts counts_;
    TypeFilter typeFilter_ = TypeFilter::all;
    StatusFilter statusFilter_ = StatusFilter::anyStatus;
    QString searchText_;
    ResultSort sortKey_ = ResultSort::found;
    bool sortDescending_ = false;
    ResultViewMode viewMode_ = ResultViewMode::grid;
    double thumbSize_ = 150.0;
};

}  // namespace tamsel::models
