#pragma once
// The preview of one found file at a time, stepping through the listed rows
// in their order: its picture decoded large by the same sandboxed worker as
// the thumbnails (RAW files give their embedded preview, videos a frame),
// the small thumbnail standing in meanwhile. The source is opened on first
// use and kept while the preview lives. UI thread only.

#include <QImage>
#include <QObject>
#include <QPointer>

#include <memory>
#include <optional>

#include "models/Job.h"
#include "models/ResultsListModel.h"
#include "models/Workspace.h"

namespace tamsel::models {

class PreviewModel : public QObject {
    Q_OBJECT
public:
    enum class State { loading, picture, none, failed };
    Q_ENUM(State)

    PreviewModel(Workspace* ws, ResultsListModel* rows, QObject* parent = nullptr);
    ~PreviewModel() override;

    // Shows found file `fileIndex` (and makes it the current one).
    void show(qint64 fileIndex);
    // The next (+1) or previous (-1) listed file; false at either end.
    bool step(int delta);
    bool canStep(int delta) const;
    // Pixels on the longer side asked of the worker (the screen's size).
    void setSide(int pixels) { side_ = pixels; }

    const FoundFile* file() const;
    // "3 / 24": where it is among the listed files.
    QString position() const;
    State state() const { return state_; }
    // The picture; the thumbnail while loading, when there is one.
    const QImage& image() const { return image_; }
    // Why there is no picture (State::none or failed).
    const QString& message() const { return message_; }

signals:
    void changed();

private:
    struct Shared;
    void load();
    void finished(qint64 fileIndex, State state, QImage image, QString message);

    QPointer<Workspace> ws_;
    ResultsListModel* rows_;
    std::shared_ptr<Shared> shared_;
    std::optional<qint64> file_;
    State state_ = State::loading;
    QImage image_;
    QString message_;
    int side_ = 2048;
    Task task_;
};

}  // namespace tamsel::models
