#pragma once
// The found files that pass the workspace's filters, as rows for the
// results grid and table. Rows are inserted as files arrive and rebuilt only
// when the filters or the whole list change.

#include <QAbstractListModel>
#include <QPointer>

#include <vector>

#include "models/Workspace.h"

namespace tamsel::models {

class ResultsListModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role {
        IdRole = Qt::UserRole + 1,
        FileNameRole,     // "JPG/rescued_000001.jpg" (also the display text)
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
        PlaceholderRole,  // "film", "waveform" or "photo"
        ThumbnailRole,    // path of the thumbnail in the session folder
    };
    Q_ENUM(Role)

    explicit ResultsListModel(Workspace* workspace, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QHash<int, QByteArray> roleNames() const override;

    // The found file of a row (a row of this model, not of `results`).
    const CarvedFile* fileAt(int row) const;

private:
    void rebuild();
    void appended(qsizetype first, qsizetype count);
    void selectionChangedFor(const QStringList& ids);
    int rowOfResult(qsizetype resultIndex) const;

    QPointer<Workspace> workspace_;
    std::vector<qsizetype> rows_;  // indexes into results, ascending
};

}  // namespace tamsel::models
