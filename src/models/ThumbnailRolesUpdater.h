#pragma once
// Fills the thumbnail role of the results model for the rows a view shows
// (and a few around them) and for the focused file. The view tells the
// visible range; one background job at a time reads those rows' thumbnails
// from the session folder and decodes them with Qt's JPEG reader at the
// size the view draws. A row whose thumbnail is not written yet waits for
// the workspace to say it has been (nothing polls the disk); once no scan
// runs, such a row has no picture. Decoded pictures are kept, least
// recently used going first, within a bound in bytes. UI thread only.

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>

#include <list>
#include <optional>
#include <vector>

#include "models/Job.h"
#include "models/ResultsListModel.h"
#include "models/Workspace.h"

namespace tamsel::models {

class ThumbnailRolesUpdater : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kDefaultBound = 128 * 1048576LL;
    // The shorter side of a decoded picture until a view says what it draws.
    static constexpr int kDefaultPixelSize = 320;

    ThumbnailRolesUpdater(Workspace* workspace, ResultsListModel* model, QObject* parent = nullptr,
                          qint64 maxBytes = kDefaultBound);
    ~ThumbnailRolesUpdater() override;

    // The rows the view shows: [first, first + count).
    void setVisibleRange(int first, int count);
    int firstVisible() const { return first_; }
    int visibleCount() const { return count_; }
    // The shorter side in device pixels a picture is decoded to (never
    // beyond the thumbnail's own size); smaller pictures in view load again.
    void setPixelSize(int side);
    int pixelSize() const { return pixelSize_; }

    qint64 cachedBytes() const { return bytes_; }
    int cachedCount() const { return int(cache_.size()); }
    // A range has been set and nothing is left to load for it now.
    bool idle() const { return ranged_ && !job_; }

    // What one load found for one file (public for the job's posts).
    struct Loaded {
        enum class Kind { missing, picture, none };
        qint64 index = 0;
        Kind kind = Kind::missing;
        QImage image;
        bool whole = false;  // decoded at the thumbnail's own size
    };

private:
    struct Entry {
        qint64 bytes = 0;
        int side = 0;  // shorter side of the picture
        bool whole = true;
        std::list<qint64>::iterator age;
    };

    void reset();
    void phaseChanged();
    void rowsChanged();
    void refreshRows();
    bool isFresh(qint64 index) const;
    std::vector<qint64> toLoad() const;
    void restart();
    void startNext();
    void applyLoaded(quint64 generation, Loaded loaded);
    void jobEnded(quint64 generation);
    void written(qint64 index, bool made);
    void store(qint64 index, Thumbnail thumbnail, qint64 bytes, int side, bool whole);
    void touch(qint64 index);
    int rowOf(qint64 index) const { return rows_.value(index, -1); }
    bool scanning() const;

    QPointer<Workspace> workspace_;
    QPointer<ResultsListModel> model_;
    qint64 maxBytes_;
    int pixelSize_ = kDefaultPixelSize;
    bool ranged_ = false;
    int first_ = 0;
    int count_ = 0;
    int lo_ = 0, hi_ = 0;       // rows loaded: the visible ones and a few around
    QHash<qint64, int> rows_;   // file number -> row, for rows lo_..hi_
    std::optional<qint64> focus_;
    bool wasScanning_ = false;

    // Decoded pictures and no-picture answers, most recently used first.
    QHash<qint64, Entry> cache_;
    std::list<qint64> ages_;
    qint64 bytes_ = 0;
    // Neither a thumbnail nor a marker yet while a scan runs: these wait for its word.
    QSet<qint64> absent_;
    // Loaded once for the present range: not tried again until something changes.
    QSet<qint64> tried_;
    QSet<qint64> inFlight_;
    QSet<qint64> writtenInFlight_;  // told written while the job was reading them

    Task job_;
    quint64 generation_ = 0;  // a new session or scan: answers for the old one are dropped
};

}  // namespace tamsel::models
