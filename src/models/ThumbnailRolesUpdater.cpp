#include "models/ThumbnailRolesUpdater.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>

#include <algorithm>
#include <cmath>

#include "engine/common/Error.h"
#include "engine/common/Files.h"
#include "media/ThumbnailFiles.h"
#include "media/ThumbnailLimits.h"

namespace tamsel::models {

namespace {

using media::ThumbnailFiles;
using Loaded = ThumbnailRolesUpdater::Loaded;

// Our thumbnails are a few dozen KiB; nothing larger is read.
constexpr std::int64_t kMaxFileBytes = 4 * 1048576LL;
// What a no-picture answer counts against the bound, so that their number is bounded too.
constexpr qint64 kNoPictureBytes = 64;

// The thumbs folder of a session, opened without following a link; -1 when there is none.
UniqueFd openThumbs(const fs::path& session) {
    try {
        return Session::open(session, Session::Lock::none).thumbsFolder(false);
    } catch (const FileError&) {
        return {};
    }
}

// One thumbnail read as a file we wrote (never through a link, never more
// than a thumbnail's size) and decoded by Qt's JPEG reader alone, its
// shorter side brought down to `side`.
Loaded loadOne(int thumbs, qint64 index, int side) {
    Loaded out;
    out.index = index;
    if (thumbs < 0) return out;
    const std::string jpeg = ThumbnailFiles::jpegName(index);
    auto bytes = readSessionFileAt(thumbs, jpeg, kMaxFileBytes);
    if (!bytes) {
        // A link or an oversized file in its place is no picture of ours.
        if (existsAt(thumbs, jpeg) || openSessionFileAt(thumbs, ThumbnailFiles::markerName(index)))
            out.kind = Loaded::Kind::none;
        return out;
    }
    out.kind = Loaded::Kind::none;  // unless it decodes
    QByteArray data = QByteArray::fromRawData(bytes->data(), qsizetype(bytes->size()));
    QBuffer buffer(&data);
    if (!buffer.open(QIODevice::ReadOnly)) return out;
    QImageReader reader(&buffer, "jpeg");
    reader.setAutoDetectImageFormat(false);
    const QSize size = reader.size();
    constexpr int kMaxSide = media::ThumbnailLimits::kMaxSide;
    if (!size.isValid() || size.isEmpty() || size.width() > kMaxSide || size.height() > kMaxSide) return out;
    const int shorter = std::min(size.width(), size.height());
    out.whole = shorter <= side;
    if (!out.whole) {
        const double scale = double(side) / shorter;
        reader.setScaledSize(QSize(std::max(1, int(std::lround(size.width() * scale))),
                                   std::max(1, int(std::lround(size.height() * scale)))));
    }
    QImage image = reader.read();
    if (image.isNull()) return out;
    out.kind = Loaded::Kind::picture;
    out.image = std::move(image);
    return out;
}

}  // namespace

ThumbnailRolesUpdater::ThumbnailRolesUpdater(Workspace* workspace, ResultsListModel* model, QObject* parent,
                                             qint64 maxBytes)
    : QObject(parent), workspace_(workspace), model_(model), maxBytes_(maxBytes) {
    wasScanning_ = scanning();
    connect(&workspace->job(), &CarveJob::stagingDirChanged, this, &ThumbnailRolesUpdater::reset);
    connect(&workspace->job(), &CarveJob::phaseChanged, this, &ThumbnailRolesUpdater::phaseChanged);
    connect(&workspace->job(), &CarveJob::thumbnailWritten, this, &ThumbnailRolesUpdater::written);
    connect(&workspace->selection(), &FileSelection::currentChanged, this, [this] {
        const Workspace* ws = workspace_.data();
        const FoundFile* file = ws ? ws->selection().currentFile() : nullptr;
        focus_ = file ? std::optional<qint64>(file->index) : std::nullopt;
        if (focus_ && !isFresh(*focus_) && !job_) startNext();
    });
    connect(model, &QAbstractItemModel::modelReset, this, &ThumbnailRolesUpdater::rowsChanged);
    connect(model, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex&, int first, int) {
        // Found files arrive at the end: only a short list gains rows near the view.
        if (first >= hi_) return;
        refreshRows();
        if (ranged_ && !job_) startNext();
    });
    if (const FoundFile* file = workspace->selection().currentFile()) focus_ = file->index;
}

ThumbnailRolesUpdater::~ThumbnailRolesUpdater() {
    if (job_) job_->cancel();
}

bool ThumbnailRolesUpdater::scanning() const {
    const Workspace* ws = workspace_.data();
    return ws && ws->job().phase() == CarveJob::Phase::scanning;
}

void ThumbnailRolesUpdater::reset() {
    ++generation_;
    if (job_) job_->cancel();
    job_.reset();
    cache_.clear();
    ages_.clear();
    bytes_ = 0;
    absent_.clear();
    tried_.clear();
    inFlight_.clear();
    writtenInFlight_.clear();
    // The model drops its thumbnails itself when the session changes.
    if (ranged_) startNext();
}

void ThumbnailRolesUpdater::phaseChanged() {
    const bool now = scanning();
    if (now == wasScanning_) return;
    wasScanning_ = now;
    if (now) {
        // A new scan, perhaps over the same folder: what it makes is new.
        if (ResultsListModel* model = model_.data())
            for (auto it = cache_.cbegin(); it != cache_.cend(); ++it) model->setThumbnail(it.key(), {}, rowOf(it.key()));
        reset();
        return;
    }
    // The scan is over: what is still missing will not come; read once more to say so.
    for (qint64 index : std::as_const(absent_)) tried_.remove(index);
    absent_.clear();
    if (!job_) startNext();
}

void ThumbnailRolesUpdater::setVisibleRange(int first, int count) {
    first = std::max(0, first);
    count = std::max(0, count);
    if (ranged_ && first == first_ && count == count_) return;
    ranged_ = true;
    first_ = first;
    count_ = count;
    refreshRows();
    restart();
}

void ThumbnailRolesUpdater::setPixelSize(int side) {
    side = std::max(1, side);
    if (side == pixelSize_) return;
    pixelSize_ = side;
    if (ranged_) restart();
}

void ThumbnailRolesUpdater::rowsChanged() {
    refreshRows();
    if (ranged_) restart();
}

void ThumbnailRolesUpdater::refreshRows() {
    rows_.clear();
    const ResultsListModel* model = model_.data();
    const int rows = model ? model->rowCount() : 0;
    const int around = std::max(8, count_ / 2);
    lo_ = std::clamp(first_ - around, 0, rows);
    hi_ = std::clamp(first_ + count_ + around, lo_, rows);
    for (int r = lo_; r < hi_; ++r)
        if (const FoundFile* f = model->fileAt(r)) rows_.insert(f->index, r);
    // Those in view most recently used: the bound lets the far ones go first.
    for (int r = lo_; r < hi_; ++r)
        if (r < first_ || r >= first_ + count_) touch(model->fileAt(r)->index);
    for (int r = std::max(lo_, first_); r < std::min(hi_, first_ + count_); ++r) touch(model->fileAt(r)->index);
}

void ThumbnailRolesUpdater::touch(qint64 index) {
    auto it = cache_.find(index);
    if (it != cache_.end()) ages_.splice(ages_.begin(), ages_, it->age);
}

bool ThumbnailRolesUpdater::isFresh(qint64 index) const {
    const auto it = cache_.constFind(index);
    if (it != cache_.cend()) return it->whole || it->side >= pixelSize_;
    return absent_.contains(index);
}

std::vector<qint64> ThumbnailRolesUpdater::toLoad() const {
    std::vector<qint64> out;
    QSet<qint64> seen;
    auto consider = [&](qint64 index) {
        if (isFresh(index) || tried_.contains(index) || seen.contains(index)) return;
        seen.insert(index);
        out.push_back(index);
    };
    if (focus_) consider(*focus_);
    const ResultsListModel* model = model_.data();
    if (!model) return out;
    // The rows in view first, then those after them, then those before.
    const int end = std::min(hi_, first_ + count_);
    for (int r = std::max(lo_, first_); r < end; ++r) consider(model->fileAt(r)->index);
    for (int r = std::max(lo_, end); r < hi_; ++r) consider(model->fileAt(r)->index);
    for (int r = std::min(hi_, first_) - 1; r >= lo_; --r) consider(model->fileAt(r)->index);
    return out;
}

void ThumbnailRolesUpdater::restart() {
    // The job at work reads for the old range: it stops, and its end starts the next.
    tried_.clear();
    if (job_) job_->cancel();
    else startNext();
}

void ThumbnailRolesUpdater::startNext() {
    if (job_) return;
    const Workspace* ws = workspace_.data();
    if (!ws || !ws->job().stagingDir()) return;
    std::vector<qint64> batch = toLoad();
    if (batch.empty()) return;
    for (qint64 index : batch) inFlight_.insert(index);
    QPointer<ThumbnailRolesUpdater> self(this);
    job_ = startJob(JobPriority::background, [self, generation = generation_, session = *ws->job().stagingDir(),
                                           batch = std::move(batch), side = pixelSize_](const CancellationToken& token) {
        const UniqueFd thumbs = openThumbs(session);
        for (qint64 index : batch) {
            if (token.isCancelled()) break;
            postTo(self, [generation, loaded = loadOne(thumbs.get(), index, side)](ThumbnailRolesUpdater& u) mutable {
                u.applyLoaded(generation, std::move(loaded));
            });
        }
        postTo(self, [generation](ThumbnailRolesUpdater& u) { u.jobEnded(generation); });
    });
}

void ThumbnailRolesUpdater::applyLoaded(quint64 generation, Loaded loaded) {
    if (generation != generation_) return;
    const qint64 index = loaded.index;
    inFlight_.remove(index);
    tried_.insert(index);
    switch (loaded.kind) {
        case Loaded::Kind::picture: {
            const int side = std::min(loaded.image.width(), loaded.image.height());
            const qint64 bytes = loaded.image.sizeInBytes();
            store(index, {ThumbnailState::picture, std::move(loaded.image)}, bytes, side, loaded.whole);
            break;
        }
        case Loaded::Kind::none: store(index, {ThumbnailState::none, {}}, kNoPictureBytes, 0, true); break;
        case Loaded::Kind::missing:
            if (writtenInFlight_.contains(index)) {
                tried_.remove(index);  // written after it was looked for: the next job reads it
            } else if (scanning()) {
                absent_.insert(index);
            } else {
                store(index, {ThumbnailState::none, {}}, kNoPictureBytes, 0, true);
            }
            break;
    }
    writtenInFlight_.remove(index);
}

void ThumbnailRolesUpdater::jobEnded(quint64 generation) {
    if (generation != generation_) return;
    job_.reset();
    // What the job left unread goes with the next one.
    for (qint64 index : std::as_const(inFlight_)) tried_.remove(index);
    inFlight_.clear();
    writtenInFlight_.clear();
    startNext();
}

void ThumbnailRolesUpdater::written(qint64 index, bool made) {
    absent_.remove(index);
    if (!made) {
        store(index, {ThumbnailState::none, {}}, kNoPictureBytes, 0, true);
        return;
    }
    auto it = cache_.find(index);
    if (it != cache_.end()) {
        if (it->side > 0) return;  // its picture is shown already
        // A no-picture answer from before it was made: shown until the picture replaces it.
        bytes_ -= it->bytes;
        ages_.erase(it->age);
        cache_.erase(it);
    }
    tried_.remove(index);
    if (!rows_.contains(index) && focus_ != index) return;  // read when it comes into view
    if (inFlight_.contains(index)) writtenInFlight_.insert(index);
    else if (!job_) startNext();
}

void ThumbnailRolesUpdater::store(qint64 index, Thumbnail thumbnail, qint64 bytes, int side, bool whole) {
    auto it = cache_.find(index);
    if (it != cache_.end()) {
        bytes_ -= it->bytes;
        ages_.erase(it->age);
        cache_.erase(it);
    }
    ages_.push_front(index);
    cache_.insert(index, Entry{bytes, side, whole, ages_.begin()});
    bytes_ += bytes;
    ResultsListModel* model = model_.data();
    if (model) model->setThumbnail(index, std::move(thumbnail), rowOf(index));
    // The least recently used go first, those in view last: the rows read
    // around the view must not push out the ones read for it just before.
    auto inView = [this](qint64 i) {
        const int row = rowOf(i);
        return (row >= first_ && row < first_ + count_) || focus_ == i;
    };
    while (bytes_ > maxBytes_ && ages_.size() > 1) {
        auto victim = std::prev(ages_.end());
        for (auto at = victim;; --at) {
            if (!inView(*at)) {
                victim = at;
                break;
            }
            if (at == ages_.begin()) break;
        }
        if (victim == ages_.begin()) victim = std::prev(ages_.end());  // never the one just stored
        const qint64 gone = *victim;
        ages_.erase(victim);
        bytes_ -= cache_.value(gone).bytes;
        cache_.remove(gone);
        if (model) model->setThumbnail(gone, {}, rowOf(gone));
    }
}

}  // namespace tamsel::models
