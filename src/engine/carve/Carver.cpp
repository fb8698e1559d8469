#include "engine/carve/Carver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <string_view>

#include "engine/carve/Damage.h"
#include "engine/carve/Formats.h"
#include "engine/carve/FoundList.h"
#include "engine/common/Error.h"
#include "engine/common/Throttle.h"
#include "engine/common/Formatting.h"
#include "engine/reading/ForwardingSource.h"
#include "engine/reading/SequentialReader.h"

namespace tamsel {

namespace {
// Lines of found files are written in batches of about this much; they
// always reach the lists before the checkpoint that counts them.
constexpr std::size_t kBatchBytes = 16 << 10;
// Steps of the signature search within a window.
constexpr std::int64_t kFirstStep = 4 << 10;
constexpr std::int64_t kLastStep = 1 << 20;

// The medium's first and last blocks, each read once for both the
// file-system reader (partition tables, boot sectors and a GPT's backup
// lie there) and the scan's pass.
class SharedEnds final : public ForwardingSource {
public:
    explicit SharedEnds(std::shared_ptr<RandomAccessSource> inner) : ForwardingSource(std::move(inner)) {
        const std::int64_t size = this->inner()->size();
        const std::int64_t last = size > 0 ? (size - 1) / kBlock * kBlock : 0;
        ends_[0].at = 0;
        ends_[0].length = std::min(kBlock, size);
        ends_[1].at = last;
        ends_[1].length = last > 0 ? size - last : 0;  // one block is both
    }

    Bytes pread(std::int64_t offset, std::int64_t count) override {
        if (offset >= size()) return {};
        count = std::min(count, size() - offset);
        if (const auto [block, bytes] = kept(offset, count); bytes)
            return Bytes::copyOf(bytes->span().subspan(static_cast<std::size_t>(offset - block->at),
                                                       static_cast<std::size_t>(std::min(count, block->at + block->length - offset))));
        return inner()->pread(offset, count);
    }
    Bytes preadGently(std::int64_t offset, std::int64_t count) override {
        if (offset < size() && kept(offset, std::min(count, size() - offset)).second) return pread(offset, count);
        return inner()->preadGently(offset, count);
    }
    std::int64_t preadGentlyInto(std::int64_t offset, std::int64_t count, std::uint8_t* buffer) override {
        if (const auto [block, bytes] = kept(offset, count); bytes) {
            const auto n = std::min(count, block->at + block->length - offset);
            std::memcpy(buffer, bytes->data() + (offset - block->at), static_cast<std::size_t>(n));
            // The scan has passed it: nothing asks for it again.
            std::lock_guard g(lock_);
            block->bytes.reset();
            block->done = true;
            return n;
        }
        return inner()->preadGentlyInto(offset, count, buffer);
    }

private:
    static constexpr std::int64_t kBlock = SequentialReader::kBlock;
    struct Block {
        std::int64_t at = 0, length = 0;
        std::optional<Bytes> bytes;
        bool done = false;
    };

    std::pair<Block*, const Bytes*> kept(std::int64_t offset, std::int64_t count) {
        std::lock_guard g(lock_);
        for (Block& b : ends_) {
            if (b.done || b.length < 1 || offset < b.at || count < 1 || offset + count > b.at + b.length) continue;
            if (!b.bytes) {
                b.bytes = inner()->preadGently(b.at, b.length);
                if (static_cast<std::int64_t>(b.bytes->size()) < b.length) {
                    b.bytes.reset();
                    b.done = true;
                    continue;
                }
            }
            return {&b, &*b.bytes};
        }
        return {nullptr, nullptr};
    }

    std::mutex lock_;
    Block ends_[2];
};

}  // namespace

std::string carveReportLine(const CarvedFile& f) {
    const std::string date = f.modified ? formatLocalTime(*f.modified, "%Y-%m-%d %H:%M:%S") : std::string();
    return csvField(f.fileName) + "," + csvField(f.ext) + "," + std::to_string(f.offset) + "," +
           std::to_string(f.length) + "," + (f.damaged ? damage::kDamaged : damage::kGood) + "," +
           csvField(f.note.value_or("")) + "," + csvField(f.originalPath.value_or("")) + "," + date + "\n";
}

Carver::Carver(std::shared_ptr<RandomAccessSource> source, fs::path outDir, CarveOutputMode mode,
               ProgressCallback onProgress)
    : source_(std::move(source)), outDir_(std::move(outDir)), mode_(mode), onProgress_(std::move(onProgress)) {}

Carver::Carver(std::shared_ptr<RandomAccessSource> source, Session& session, CarveOutputMode mode, ProgressCallback onProgress)
    : source_(std::move(source)), outDir_(session.path()), session_(&session), mode_(mode), onProgress_(std::move(onProgress)) {}

void Carver::saveCheckpoint(std::int64_t scanPos, const CarveSummary& summary) noexcept {
    try {
        session_->saveCheckpoint(CarveCheckpoint{source_->displayName(), source_->size(), scanPos, fileIndex_,
                                                 summary.filesFound, summary.damagedFiles});
    } catch (...) {
    }
}

CarveProgress Carver::currentProgress(std::int64_t pos, std::int64_t total, std::int64_t found) const {
    return CarveProgress{std::min(pos, total), total, found, source_->badBytes(), resumedFrom_, std::nullopt, nullptr};
}

std::optional<carve::CarveResult> Carver::carveAt(const carve::Format& format, std::int64_t at) {
    auto r = format.carve(*reader_, at);
    if (!r || r->length < 1) return std::nullopt;
    return r;
}

std::optional<std::pair<const filesystem::FileEntry*, std::int64_t>> Carver::entryFor(std::int64_t at,
                                                                                    std::int64_t length) const {
    std::optional<std::pair<const filesystem::FileEntry*, std::int64_t>> best;
    const auto [first, last] = entries_.equal_range(at);
    for (auto it = first; it != last; ++it) {
        const auto& [entry, clusterBytes] = it->second;
        if (entry->size < 1) continue;
        std::int64_t agreed = -1;
        // Pieces a chain gives, in order from here: the file, whatever its
        // structure seemed to say from bytes that are another file's.
        if (entry->extents.size() > 1 && entry->extents.front().offset == at) {
            agreed = entry->size;
        } else if (entry->size <= length) {
            // The carved tail is another file's.
            agreed = entry->size;
        } else {
            // Longer than its structure says: the rest lies in the file's own
            // last cluster (bytes a camera wrote after the end marker), or
            // the whole extent is known.
            const std::int64_t ownEnd = (length + clusterBytes - 1) / clusterBytes * clusterBytes;
            const bool oneRun = entry->extents.size() == 1 && entry->extents.front().offset == at &&
                                entry->extents.front().length >= entry->size;
            if (entry->size <= ownEnd || oneRun) agreed = entry->size;
        }
        if (agreed < 0) continue;
        // A live file owns its clusters; among deleted ones, the size nearest the structure's.
        const auto rank = [&](const filesystem::FileEntry* e, std::int64_t len) {
            return std::pair{e->deleted, std::abs(len - length)};
        };
        if (!best || rank(entry, agreed) < rank(best->first, best->second)) best = std::pair{entry, agreed};
    }
    return best;
}

std::optional<CarvedFile> Carver::recordCarvedFile(std::int64_t offset, std::int64_t length, const std::string& ext,
                                                   const std::optional<std::string>& note, const CancellationToken& token,
                                                   const filesystem::FileEntry* entry) {
    ++fileIndex_;
    const std::string folderName = upperCased(ext);
    const std::string name = rescuedFileName(fileIndex_, ext);
    const fs::path folderShown = outDir_ / folderName;
    UniqueFd folder;
    UniqueFd out;
    if (mode_ == CarveOutputMode::writeFiles) {
        folder = openDirectoryAt(session_->fd(), folderName, true, outDir_);
        if (::unlinkat(folder.get(), name.c_str(), 0) != 0 && errno != ENOENT)
            throwFileError((folderShown / name).string(), "削除できませんでした");
        out = openForWritingAt(folder.get(), name, O_CREAT | O_EXCL, folderShown);
    }
    CarvedFile f;
    f.offset = offset;
    f.length = length;
    if (entry && entry->extents.size() > 1 && entry->extents.front().offset == offset)
        for (const auto& e : entry->extents) f.runs.push_back(ByteRun{e.offset, e.length});
    std::int64_t read = 0;
    bool stopped = false;
    try {
        // Probing needs no bytes, only that the sequential read has passed
        // over the file, so that its unreadable sectors are known. A file in
        // pieces lies partly behind the read and partly ahead: its pieces
        // are read when it is looked at.
        handedOver_.reset();
        if (!out && !f.runs.empty()) read = length;
        if (!out && f.runs.empty() && !token.isCancelled() && wantsBytes_ && wantsBytes_(length)) {
            if (auto copy = reader_->copyFromRing(offset, length)) {
                read = static_cast<std::int64_t>(copy->size());
                handedOver_ = std::make_shared<const Bytes>(std::move(*copy));
            }
        }
        if (!out && !handedOver_ && !token.isCancelled() && reader_->readThrough(offset + length, token))
            read = std::max<std::int64_t>(0, std::min(length, reader_->size() - offset));
        while (read < length && !token.isCancelled()) {
            Bytes piece = preadFound(*reader_, f, read, std::min(length - read, kPiece));
            if (piece.empty()) break;
            if (out) writeAll(out.get(), piece.span(), folderShown / name);
            read += static_cast<std::int64_t>(piece.size());
        }
    } catch (const ReadCancelled&) {
        stopped = true;
    }
    // A stop is not the end of the file: record nothing, so that the resumed
    // scan reads it whole. Nothing read at all (the source ended under
    // us) is no file either.
    if (stopped || (read < length && token.isCancelled()) || read < 1) {
        if (out) {
            out.reset();
            ::unlinkat(folder.get(), name.c_str(), 0);
        }
        --fileIndex_;
        return std::nullopt;
    }
    std::vector<std::string> notes;
    if (note) notes.push_back(*note);
    // The record of unreadable ranges tells, not the running count: the
    // read-ahead meets damage beyond this file too, and each unreadable
    // byte is counted only once, often before the file is found.
    std::int64_t bad = 0;
    if (f.runs.empty()) bad = source_->knownBadBytesIn(offset, read);
    for (const auto& r : f.runs) bad += source_->knownBadBytesIn(r.offset, r.length);
    if (bad > 0) notes.emplace_back(damage::kBadSectors);
    if (read < length) notes.emplace_back(damage::kCutShort);
    // The pieces as far as they were read.
    for (std::int64_t left = read; auto& r : f.runs) {
        r.length = std::min(r.length, left);
        left -= r.length;
    }
    std::erase_if(f.runs, [](const ByteRun& r) { return r.length < 1; });
    if (f.runs.size() < 2) f.runs.clear();

    f.index = fileIndex_;
    f.length = read;
    f.ext = ext;
    f.fileName = folderName + "/" + name;
    f.damaged = !notes.empty();
    if (!f.runs.empty()) notes.emplace_back(damage::kAssembled);
    if (!notes.empty()) f.note = damage::joined(notes);
    if (entry) {
        f.originalPath = entry->path;
        if (entry->modified) {
            f.modified = entry->modified;
            f.dateSource = DateSource::fileSystem;
        }
    }
    if (out && !out.reset()) throwFileError((folderShown / name).string(), "書き込めませんでした");
    pendingFound_ += CarvedFileExtractor::encode(f);
    pendingFound_ += '\n';
    pendingReport_ += carveReportLine(f);
    return f;
}

void Carver::flushLists() {
    if (pendingFound_.empty() && pendingReport_.empty()) {
        committed_ = pending_;
        return;
    }
    // Both lists take the batch whole or not at all: each append is cut
    // back off when it fails, and the found list's too when the report's
    // does. After a failure nothing more is written, and the checkpoint
    // stays behind what both lists hold.
    listsFailed_ = true;
    struct stat before {};
    const fs::path foundName = session_->pathOf(Session::kFoundName);
    if (::fstat(foundHandle_.get(), &before) != 0) throwFileError(foundName.string(), "書き込めませんでした");
    appendWhole(foundHandle_.get(), pendingFound_, foundName);
    try {
        appendWhole(reportHandle_.get(), pendingReport_, session_->pathOf(Session::kReportName));
    } catch (...) {
        const int saved = errno;
        (void)::ftruncate(foundHandle_.get(), before.st_size);
        errno = saved;
        throw;
    }
    listsFailed_ = false;
    pendingFound_.clear();
    pendingReport_.clear();
    committed_ = pending_;
}

CarveSummary Carver::run(const CancellationToken& token) {
    if (!session_) {
        ownSession_ = Session::open(outDir_, Session::Lock::exclusive, true);
        session_ = &*ownSession_;
    }
    const std::int64_t size = source_->size();
    std::int64_t start = 0;
    CarveSummary summary;
    const Session::ResumeCheck check = session_->canContinue(size, identity_);
    if (check.checkpoint) {
        const auto& checkpoint = *check.checkpoint;
        start = checkpoint.scanPos;
        fileIndex_ = checkpoint.fileIndex;
        summary.filesFound = checkpoint.filesFound;
        summary.damagedFiles = checkpoint.damagedFiles;
        // The checkpoint lags the lists; what was found after it will be found again.
        session_->trimLists(fileIndex_);
    } else {
        session_->start(identity_, check.whyNot);
    }
    resumedFrom_ = start;
    summary.resumedFrom = start;
    const CancellationScope scope(*source_, token);
    // Names, folders and dates the card's file system still holds: a few
    // directory reads before the one pass.
    auto ends = std::make_shared<SharedEnds>(source_);
    volumes_ = filesystem::readVolumes(*ends, token);
    entries_.clear();
    for (const auto& v : volumes_)
        for (const auto& e : v.files)
            if (e.offset >= 0) entries_.emplace(e.offset, std::pair{&e, std::max<std::int64_t>(v.clusterBytes, 512)});
    reportHandle_ = session_->appendingReport();
    foundHandle_ = session_->appendingFound();
    session_->prepareCheckpoint();
    // One pass over the medium, read ahead beside the search; it stops
    // with the run, whichever way the run ends.
    reader_ = std::make_shared<SequentialReader>(ends, start);
    struct StopReading {
        std::shared_ptr<SequentialReader>& reader;
        ~StopReading() { reader.reset(); }
    } stopReading{reader_};

    Throttle throttle;
    std::int64_t pos = start;
    std::int64_t skipUntil = start;
    bool cancelled = false;
    open_.reset();
    pending_ = committed_ = Recorded{start, fileIndex_, summary};
    std::vector<SignatureHit> hits;
    // Where a later run goes on from: never past a file not recorded yet.
    auto resumeAt = [&](std::int64_t p) { return open_ ? std::min(p, open_->at) : p; };
    // Records a found file and tells; false when a stop came while it was read.
    auto record = [&](std::int64_t at, std::int64_t length, const carve::CarveResult& r, bool cutByNext) {
        std::optional<std::string> note = r.note;
        if (cutByNext) note = damage::added(note.value_or(""), damage::kCutShort);
        const auto entry = entryFor(at, length);
        if (entry) length = entry->second;
        auto file = recordCarvedFile(at, length, r.ext, note, token, entry ? entry->first : nullptr);
        if (!file) return false;
        ++summary.filesFound;
        if (file->damaged) ++summary.damagedFiles;
        skipUntil = std::max(skipUntil, file->offset + file->firstRunLength());
        pending_ = Recorded{resumeAt(std::max(skipUntil, pos)), fileIndex_, summary};
        // A file written out is listed at once; probed ones go in batches.
        if (mode_ == CarveOutputMode::writeFiles || pendingFound_.size() >= kBatchBytes) flushLists();
        send(CarveProgress{pos, size, summary.filesFound, source_->badBytes(), resumedFrom_, std::move(file),
                           std::move(handedOver_)});
        return true;
    };
    // Records the open file as ending at `endsAt` at the latest (where the
    // next file begins, cutting it short); false, and still open, when a stop
    // came while it was read.
    auto closeOpen = [&](std::int64_t endsAt) {
        const Open o = *open_;
        const std::int64_t end = o.at + o.result.length;
        open_.reset();
        if (record(o.at, std::min(end, endsAt) - o.at, o.result, endsAt < end)) return true;
        open_ = o;
        return false;
    };
    // The open file, once the search has passed its end with nothing found inside.
    auto closeOpenBefore = [&](std::int64_t searched) {
        return !open_ || searched < open_->at + open_->result.length || closeOpen(open_->at + open_->result.length);
    };
    try {
        try {
            while (pos < size) {
                if (!closeOpenBefore(pos)) {
                    cancelled = true;
                    break;
                }
                pending_.pos = resumeAt(std::max(pending_.pos, pos));
                if (token.isCancelled()) {
                    cancelled = true;
                    break;
                }
                reader_->release(pos);
                std::int64_t n = 0;
                bool allZero = false;
                {
                    // Let go of the window before the carvers walk on, so
                    // that the read-ahead can reuse its blocks.
                    Bytes window = reader_->pread(pos, kWindow);
                    if (window.empty()) break;
                    n = static_cast<std::int64_t>(window.size());
                    allZero = isAllZero(window.span());
                }
                // The bytes of a file just found are not searched: the search
                // goes on behind it, in steps that start small after a file
                // (the next one is often right behind) and grow while none is.
                std::int64_t from = std::max(skipUntil, pos);
                std::int64_t step = kFirstStep;
                const std::int64_t end = allZero ? pos : pos + n;
                while (from < end) {
                    if (!closeOpenBefore(from)) {
                        cancelled = true;
                        break;
                    }
                    // Behind the search the read-ahead may reuse the blocks,
                    // all but the overlap the next window starts with.
                    reader_->release(std::min(from, pos + n - kOverlap));
                    const std::int64_t to = std::min(from + step, end);
                    hits.clear();
                    {
                        // Past `to` by a signature's length, so that a start
                        // before `to` is found whatever its pattern.
                        Bytes part = reader_->pread(from, std::min(to + kOverlap, end) - from);
                        if (part.empty()) break;
                        for (const auto& hit : findSignatures(part.span()))
                            if (hit.first < to - from) hits.push_back(hit);
                    }
                    bool carved = false;
                    for (const auto& [rel, format] : hits) {
                        if (token.isCancelled()) {
                            cancelled = true;
                            pos = std::max(skipUntil, pos);
                            break;
                        }
                        const std::int64_t at = from + rel;
                        if (at < skipUntil) continue;
                        const auto r = carveAt(*format, at);
                        if (!r) continue;
                        // A file found inside one whose length was not vouched
                        // for: that one ends here, cut short by this one.
                        if (open_ && !closeOpen(at)) {
                            cancelled = true;
                            pos = open_->at;
                            break;
                        }
                        if (!r->confirmed) {
                            open_ = Open{at, *r};
                            skipUntil = std::max(skipUntil, at + std::max<std::int64_t>(1, r->searchFrom));
                            continue;
                        }
                        if (!record(at, r->length, *r, false)) {  // stopped while the file was read
                            cancelled = true;
                            pos = at;
                            break;
                        }
                        carved = true;
                    }
                    if (cancelled) break;
                    from = std::max(to, skipUntil);
                    step = carved ? kFirstStep : std::min(step * 2, kLastStep);
                }
                if (cancelled) break;
                const std::int64_t windowEnd = pos + n;
                pos = std::max(skipUntil, pos + n - std::min(n, kOverlap));
                // The whole source has been searched; no need to reread the overlap.
                if (windowEnd >= size) {
                    pos = std::max(pos, size);
                    break;
                }
                if (n <= kOverlap) break;
                if (throttle.due()) {
                    send(currentProgress(pos, size, summary.filesFound));
                    // The lines first: a checkpoint never counts a file the lists lack.
                    flushLists();
                    saveCheckpoint(resumeAt(pos), summary);
                }
            }
            // The source's end is the end of a file still open.
            if (!cancelled && !closeOpenBefore(std::numeric_limits<std::int64_t>::max())) {
                cancelled = true;
                pos = open_->at;
            }
        } catch (const ReadCancelled&) {
            // A stop inside a read: go on later behind the last file fully recorded.
            cancelled = true;
            fileIndex_ = pending_.fileIndex;
            pos = std::min(pending_.pos, size);
            summary = pending_.summary;
        }
        flushLists();
    } catch (...) {
        // Behind the last file in the lists, so that nothing is lost or listed twice.
        if (!listsFailed_) {
            try {
                flushLists();
            } catch (...) {
            }
        }
        fileIndex_ = committed_.fileIndex;
        saveCheckpoint(std::min(committed_.pos, size), committed_.summary);
        reportHandle_.reset();
        foundHandle_.reset();
        session_->dropCheckpointSpare();
        throw;
    }
    summary.bytesScanned = std::min(resumeAt(pos), size);
    summary.badBytes = source_->badBytes();
    summary.cancelled = cancelled;
    if (cancelled || keepFinalCheckpoint_) {
        saveCheckpoint(std::min(resumeAt(pos), size), summary);
    } else {
        session_->removeCheckpoint();
    }
    session_->dropCheckpointSpare();
    send(CarveProgress{summary.bytesScanned, size, summary.filesFound, summary.badBytes, resumedFrom_, std::nullopt, nullptr});
    reportHandle_.reset();
    foundHandle_.reset();
    return summary;
}

}  // namespace tamsel
