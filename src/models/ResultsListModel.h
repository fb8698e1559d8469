#pragma once
// The found files that pass the filters, in the chosen order, as rows for
// the results grid and the table's columns: both views list the same rows.
// Rows are inserted as files arrive (rebuilt then when the order is not the
// found one) and rebuilt when the filters, the order or the whole list change. Every role is cheap but the
// thumbnail, which ThumbnailRolesUpdater sets for the rows in view.

#include <QAbstractListModel>
#include <QHash>
#include <QImage>
#include <QPointer>

#include <vector>

#include "models/Workspace.h"

namespace tamsel::models {

// What a row's thumbnail role holds: nothing known yet (not loaded, or not
// made yet), a picture, or no picture (the file holds none).
enum class ThumbnailState { waiting, picture, none };

struct Thumbnail {
    ThumbnailState state = ThumbnailState::waiting;
    QImage image;  // set for a picture only
};

class ResultsListModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role {
        IndexRole = Qt::UserRole + 1,  // the stable index
        FileNameRole,     // the shown name: the card's "DCIM/100CANON/IMG_0001.JPG" or "JPG/rescued_000001.jpg" (also the display text)
        ExtRole,          // "jpg"
        MediaClassRole,   // "写真", "RAW", ...
        SizeRole,         // length in bytes
        SizeTextRole,     // length as a byte count
        OffsetRole,       // offset in the source
        OffsetTextRole,   // "0x1A2B"
        DamagedRole,      // bool
        StatusTextRole,   // "一部破損" or "良好"
        NoteRole,         // the carver's note, or empty
        SelectedRole,     // in the selection (Qt::CheckStateRole too)
        PlaceholderRole,  // "movie", "waveform" or "photo"
        ThumbnailRole,       // QImage: the decoded thumbnail, null unless there is a picture
        ThumbnailStateRole,  // int: a ThumbnailState
        CurrentRole,         // bool: the file the inspector shows
        DateRole,            // seconds since the epoch, or nothing
        DateTextRole,        // "2024-05-03 14:22", or empty
    };
    Q_ENUM(Role)

    explicit ResultsListModel(Workspace* workspace, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QHash<int, QByteArray> roleNames() const override;

    // The found file of a row (a row of this model, not a position in the list).
    const FoundFile* fileAt(int row) const;
    const FoundFiles* files() const { return files_; }
    // The order is the found files' own, shared by every view of them.
    void setSort(ResultSort key, bool descending);
    // The row listing found file `fileIndex`, or -1.
    int rowOfFile(qint64 fileIndex) const;

    // The thumbnail known for found file number `fileIndex` (CarvedFile::index),
    // listed or not.
    Thumbnail thumbnail(qint64 fileIndex) const { return thumbnails_.value(fileIndex); }
    // Set by the updater; `row` is where that file is listed, or -1 when it
    // is not in view (no row repaints then). A waiting thumbnail is dropped.
    void setThumbnail(qint64 fileIndex, Thumbnail thumbnail, int row);

signals:
    void thumbnailChanged(qint64 fileIndex);

private:
    void rebuild();
    void appended(qsizetype first, qsizetype count);
    void selectionChangedFor(qint64 index);
    int rowOf(qsizetype position) const;

    void clearThumbnails();

    QPointer<Workspace> workspace_;
    FoundFiles* files_;
    FileSelection* selection_;
    void currentChanged();

    std::vector<int> rows_;   // positions in the list, in the order listed
    std::vector<int> rowAt_;  // by position: its row, or -1
    std::optional<qint64> current_;
    // By found file number: rows change with the filters, files keep theirs.
    QHash<qint64, Thumbnail> thumbnails_;
};

}  // namespace tamsel::models
