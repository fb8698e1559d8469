#pragma once
// Thumbnails for the tiles a view draws: a thumbnail wait per visible file
// on a background job, decoded at the tile's size times the screen's pixel
// ratio; waits of tiles no longer drawn are cancelled.

#include <QCache>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QPersistentModelIndex>

#include <filesystem>
#include <functional>
#include <QPointer>
#include <QSet>

#include "models/Job.h"
#include "models/Workspace.h"

namespace tamsel::views {

class ThumbnailLoader : public QObject {
    Q_OBJECT
public:
    enum class State { waiting, image, none };

    ThumbnailLoader(models::Workspace* ws, int pixelSize, QObject* parent = nullptr);
    ~ThumbnailLoader() override;

    void setScale(double scale);
    // The thumbnail of `file` (shown at `where`) when it has one; starts its
    // wait when none runs.
    State state(const CarvedFile& file, const QModelIndex& where, QImage* image);

    // Cancels the waits of tiles that have left the view.
    void cancelHidden(const std::function<bool(const QModelIndex&)>& isVisible);

    int pendingCount() const { return int(pending_.size()); }
    static int cachedCount();

signals:
    void loaded(qint64 index);

private:
    void finished(qint64 index, const QImage& image, bool none);
    void reset();
    std::filesystem::path sessionDir() const;

    QPointer<models::Workspace> ws_;
    int pixelSize_;
    double scale_ = 1.0;
    struct Pending {
        models::Task task;
        QPersistentModelIndex where;
    };
    QHash<qint64, Pending> pending_;
    QSet<qint64> none_;
};

}  // namespace tamsel::views
