#include "models/PreviewModel.h"

#include <mutex>

#include "media/WorkerJob.h"

namespace tamsel::models {

// What the jobs share: the source, opened once, and its worker.
struct PreviewModel::Shared {
    std::mutex lock;
    std::string source;
    std::shared_ptr<RandomAccessSource> opened;
    std::unique_ptr<media::PreviewMaker> maker;
    ~Shared() {
        maker.reset();
        if (opened) opened->close();
    }
};

PreviewModel::PreviewModel(Workspace* ws, ResultsListModel* rows, QObject* parent)
    : QObject(parent), ws_(ws), rows_(rows), shared_(std::make_shared<Shared>()) {
    if (const auto& source = ws->job().selectedSource()) shared_->source = source->path();
    // The thumbnail may arrive while the larger picture is made.
    connect(rows_, &ResultsListModel::thumbnailChanged, this, [this](qint64 index) {
        if (state_ == State::loading && file_ == index) {
            image_ = rows_->thumbnail(index).image;
            emit changed();
        }
    });
}

PreviewModel::~PreviewModel() {
    if (task_) task_->cancel();
}

const FoundFile* PreviewModel::file() const {
    Workspace* ws = ws_.data();
    return ws && file_ ? ws->results().find(*file_) : nullptr;
}

QString PreviewModel::position() const {
    const int row = file_ ? rows_->rowOfFile(*file_) : -1;
    if (row < 0) return {};
    return QString::number(row + 1) + QStringLiteral(" / ") + QString::number(rows_->rowCount());
}

bool PreviewModel::canStep(int delta) const {
    const int row = file_ ? rows_->rowOfFile(*file_) : -1;
    return row >= 0 && row + delta >= 0 && row + delta < rows_->rowCount();
}

bool PreviewModel::step(int delta) {
    if (!canStep(delta)) return false;
    show(rows_->fileAt(rows_->rowOfFile(*file_) + delta)->index);
    return true;
}

void PreviewModel::show(qint64 fileIndex) {
    Workspace* ws = ws_.data();
    if (!ws || !ws->results().find(fileIndex)) return;
    file_ = fileIndex;
    ws->selection().setCurrent(fileIndex);
    load();
}

void PreviewModel::load() {
    if (task_) task_->cancel();
    const FoundFile* f = file();
    if (!f) return;
    const Thumbnail thumbnail = rows_->thumbnail(f->index);
    state_ = State::loading;
    image_ = thumbnail.image;
    message_.clear();
    emit changed();

    QPointer<PreviewModel> self(this);
    task_ = startJob(JobPriority::interactive, [self, shared = shared_, file = ws_->results().carvedFile(*f), side = side_](const CancellationToken& token) {
        auto tell = [&](State state, QImage image, QString message) {
            postTo(self, [index = file.index, state, image = std::move(image), message = std::move(message)](PreviewModel& m) {
                m.finished(index, state, image, message);
            });
        };
        std::optional<media::protocol::Result> made;
        try {
            std::lock_guard guard(shared->lock);
            if (token.isCancelled()) return;
            if (!shared->maker) {
                shared->opened = openRandomAccessSource(shared->source);
                shared->maker = std::make_unique<media::PreviewMaker>(shared->opened);
            }
            made = shared->maker->make(file, side, token);
        } catch (const std::exception& e) {
            return tell(State::failed, {}, QStringLiteral("読み取り元を開けませんでした: ") + describeError(e, false));
        }
        if (token.isCancelled()) return;
        if (!made) return tell(State::failed, {}, QStringLiteral("このファイルの画像を作れませんでした。"));
        if (!made->jpeg) return tell(State::none, {}, QStringLiteral("このファイルには表示できる画像がありません。"));
        QImage image = QImage::fromData(made->jpeg->data(), static_cast<int>(made->jpeg->size()), "JPEG");
        if (image.isNull()) return tell(State::failed, {}, QStringLiteral("このファイルの画像を作れませんでした。"));
        tell(State::picture, std::move(image), {});
    });
}

void PreviewModel::finished(qint64 fileIndex, State state, QImage image, QString message) {
    if (file_ != fileIndex) return;  // another file is shown by now
    state_ = state;
    // A file without its own picture keeps the thumbnail's marker state.
    image_ = state == State::picture ? std::move(image) : QImage();
    message_ = std::move(message);
    emit changed();
}

}  // namespace tamsel::models
