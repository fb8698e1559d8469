#include "engine/carve/Carver.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "engine/carve/Formats.h"
#include "engine/carve/FoundList.h"
#include "engine/common/Throttle.h"
#include "engine/reading/CachingSource.h"

namespace tamsel {

namespace {
const char* const kBadSectors = "不良セクタ含む";
const char* const kCutShort = "末尾欠け";
const char* const kNoteSeparator = "・";

std::string reportLine(const CarvedFile& f) {
    return f.fileName + "," + f.ext + "," + std::to_string(f.offset) + "," + std::to_string(f.length) + "," +
           (f.damaged ? "要確認" : "OK") + "," + f.note.value_or("") + "\n";
}

// The index in a report line's first field ("JPG/rescued_000012.jpg").
std::optional<std::int64_t> reportLineIndex(std::string_view line) {
    const auto comma = line.find(',');
    const std::string_view name = line.substr(0, comma);
    const auto at = name.rfind("rescued_");
    if (at == std::string_view::npos) return std::nullopt;
    std::int64_t value = 0;
    std::size_t i = at + 8;
    if (i >= name.size() || name[i] < '0' || name[i] > '9') return std::nullopt;
    for (; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i) {
        if (value > (INT64_MAX - 9) / 10) return std::nullopt;
        value = value * 10 + (name[i] - '0');
    }
    return value;
}

template <class Keep>
void rewriteLines(const fs::path& file, Keep keep) {
    auto text = readWholeFile(file);
    if (!text) return;
    std::string kept;
    kept.reserve(text->size());
    std::string_view rest(*text);
    bool changed = false;
    std::size_t lineNumber = 0;
    while (!rest.empty()) {
        const auto nl = rest.find('\n');
        if (nl == std::string_view::npos) {  // torn by a crash during an append
            changed = true;
            break;
        }
        const std::string_view line = rest.substr(0, nl + 1);
        rest.remove_prefix(nl + 1);
        if (keep(line.substr(0, nl), lineNumber++))
            kept.append(line);
        else
            changed = true;
    }
    if (changed) (void)tryWriteAtomically(file, kept);
}
}  // namespace

void trimSessionLists(const fs::path& sessionDir, std::int64_t lastIndex) {
    rewriteLines(CarvedFileExtractor::foundListURL(sessionDir), [&](std::string_view line, std::size_t) {
        if (line.empty()) return true;
        auto f = CarvedFileExtractor::decode(line);
        return f && f->index <= lastIndex;
    });
    rewriteLines(Carver::reportURL(sessionDir), [&](std::string_view line, std::size_t number) {
        if (number == 0) return true;  // the header
        auto index = reportLineIndex(line);
        return !index || *index <= lastIndex;
    });
}

Carver::Carver(std::shared_ptr<RandomAccessSource> source, fs::path outDir, CarveOutputMode mode,
               ProgressCallback onProgress)
    // Window, carver and probe read the same bytes; the medium is read once.
    : source_(std::make_shared<CachingSource>(std::move(source))), outDir_(std::move(outDir)), mode_(mode), onProgress_(std::move(onProgress)) {}

std::optional<CarveCheckpoint> Carver::loadCheckpoint() const { return CarveCheckpoint::load(checkpointURL(outDir_)); }

void Carver::saveCheckpoint(std::int64_t scanPos, const CarveSummary& summary) const {
    try {
        CarveCheckpoint c{source_->displayName(), source_->size(), scanPos, fileIndex_, summary.filesFound,
                          summary.damagedFiles};
        (void)tryWriteAtomically(checkpointURL(outDir_), c.encode());
    } catch (...) {
    }
}

CarveProgress Carver::currentProgress(std::int64_t pos, std::int64_t total, std::int64_t found) const {
    return CarveProgress{std::min(pos, total), total, found, source_->badBytes(), resumedFrom_, std::nullopt};
}

std::optional<CarvedFile> Carver::carveOne(SigKind kind, std::int64_t at, const CancellationToken& token) {
    std::optional<carve::CarveResult> r;
    RandomAccessSource& s = *source_;
    switch (kind) {
        case SigKind::jpeg: r = carve::carveJPEG(s, at); break;
        case SigKind::png: r = carve::carvePNG(s, at); break;
        case SigKind::bmff: r = carve::carveBMFF(s, at); break;
        case SigKind::riff: r = carve::carveRIFF(s, at); break;
        case SigKind::tiffLE: r = carve::carveTIFF(s, at, true); break;
        case SigKind::tiffBE: r = carve::carveTIFF(s, at, false); break;
    }
    if (!r || r->length < 1) return std::nullopt;
    return recordCarvedFile(at, r->length, r->ext, r->note, token);
}

CarvedFile Carver::recordCarvedFile(std::int64_t offset, std::int64_t length, const std::string& ext,
                                    const std::optional<std::string>& note, const CancellationToken& token) {
    ++fileIndex_;
    const std::string folderName = upperCased(ext);
    const std::string name = rescuedFileName(fileIndex_, ext);
    const std::int64_t badBefore = source_->badBytes();
    const fs::path folder = outDir_ / folderName;
    UniqueFd out;
    if (mode_ == CarveOutputMode::writeFiles) {
        makeDirectories(folder);
        const fs::path path = folder / name;
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) throwFileError(path, "削除できませんでした");
        out = openForWriting(path, O_CREAT | O_TRUNC | O_NOFOLLOW);
    }
    std::int64_t read = 0;
    while (read < length && !token.isCancelled()) {
        Bytes piece = source_->pread(offset + read, std::min(length - read, kPiece));
        if (piece.empty()) break;
        if (out) writeAll(out.get(), piece.span(), folder / name);
        read += static_cast<std::int64_t>(piece.size());
    }
    std::vector<std::string> notes;
    if (note) notes.push_back(*note);
    // Each unreadable byte is counted once, when first met (often by the
    // window read), so the count alone does not tell whether this file holds any.
    if (source_->badBytes() > badBefore || source_->knownBadBytesIn(offset, read) > 0) notes.emplace_back(kBadSectors);
    if (read < length) notes.emplace_back(kCutShort);

    CarvedFile f;
    f.id = makeUUID();
    f.index = fileIndex_;
    f.offset = offset;
    f.length = read;
    f.ext = ext;
    f.fileName = folderName + "/" + name;
    f.damaged = !notes.empty();
    if (!notes.empty()) {
        std::string joined = notes.front();
        for (std::size_t i = 1; i < notes.size(); ++i) joined += std::string(kNoteSeparator) + notes[i];
        f.note = joined;
    }
    if (reportHandle_) {
        try {
            writeAll(reportHandle_.get(), reportLine(f), reportURL(outDir_));
        } catch (...) {
        }
    }
    CarvedFileExtractor::append(f, outDir_);
    out.reset();
    return f;
}

CarveSummary Carver::run(const CancellationToken& token) {
    makeDirectories(outDir_);
    const std::int64_t size = source_->size();
    std::int64_t start = 0;
    CarveSummary summary;
    auto checkpoint = loadCheckpoint();
    const bool usable = checkpoint && checkpoint->sourceSize == size && [&] { std::error_code ec; return fs::exists(reportURL(outDir_), ec); }();
    if (usable) {
        start = std::min(checkpoint->scanPos, size);
        fileIndex_ = checkpoint->fileIndex;
        summary.filesFound = checkpoint->filesFound;
        summary.damagedFiles = checkpoint->damagedFiles;
        // The checkpoint lags the lists; what was found after it will be found again.
        trimSessionLists(outDir_, fileIndex_);
    } else {
        writeAtomically(reportURL(outDir_), std::string(kReportHeader) + "\n");
        (void)tryWriteAtomically(CarvedFileExtractor::foundListURL(outDir_), "");
    }
    resumedFrom_ = start;
    summary.resumedFrom = start;
    reportHandle_ = openForWriting(reportURL(outDir_), O_APPEND);

    Throttle throttle;
    std::int64_t pos = start;
    std::int64_t skipUntil = start;
    bool cancelled = false;
    std::int64_t recordedIndex = fileIndex_;  // the last file fully recorded
    try {
        while (pos < size) {
            if (token.isCancelled()) {
                cancelled = true;
                break;
            }
            Bytes window = source_->pread(pos, kWindow);
            if (window.empty()) break;
            if (!isAllZero(window.span())) {
                for (const auto& [rel, kind] : findSignatures(window.span())) {
                    if (token.isCancelled()) {
                        cancelled = true;
                        pos = std::max(skipUntil, pos);
                        break;
                    }
                    const std::int64_t at = pos + rel;
                    if (at < skipUntil) continue;
                    auto file = carveOne(kind, at, token);
                    if (!file) continue;
                    ++summary.filesFound;
                    if (file->damaged) ++summary.damagedFiles;
                    recordedIndex = fileIndex_;
                    skipUntil = file->offset + file->length;
                    CarveProgress p{pos, size, summary.filesFound, source_->badBytes(), resumedFrom_, std::move(file)};
                    send(p);
                    // A stop during the copy must resume right behind the shortened
                    // file, not at the next window, or the rest of this one is lost.
                    if (token.isCancelled()) {
                        cancelled = true;
                        pos = std::max(skipUntil, pos);
                        break;
                    }
                }
                if (cancelled) break;
            }
            const auto n = static_cast<std::int64_t>(window.size());
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
                saveCheckpoint(pos, summary);
            }
        }
    } catch (...) {
        // The medium went away (or the destination failed): keep what was
        // done so far, so that the scan resumes from there.
        fileIndex_ = recordedIndex;
        saveCheckpoint(std::max(skipUntil, pos), summary);
        reportHandle_.reset();
        throw;
    }
    summary.bytesScanned = std::min(pos, size);
    summary.badBytes = source_->badBytes();
    summary.cancelled = cancelled;
    if (cancelled) {
        saveCheckpoint(pos, summary);
    } else {
        std::error_code ec;
        fs::remove(checkpointURL(outDir_), ec);
    }
    send(CarveProgress{summary.bytesScanned, size, summary.filesFound, summary.badBytes, resumedFrom_, std::nullopt});
    reportHandle_.reset();
    return summary;
}

std::vector<CarveResumeInfo> Carver::findResumable(const fs::path& parent) noexcept {
    std::vector<CarveResumeInfo> found;
    try {
        std::error_code ec;
        for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code typeError;
            if (!it->is_directory(typeError)) continue;
            auto c = CarveCheckpoint::load(checkpointURL(it->path()));
            if (!c || c->scanPos >= c->sourceSize) continue;
            found.push_back(CarveResumeInfo{it->path(), c->sourceName, c->sourceSize, c->scanPos, c->filesFound});
        }
        std::stable_sort(found.begin(), found.end(), [](const CarveResumeInfo& a, const CarveResumeInfo& b) {
            return a.dir.filename().string() > b.dir.filename().string();
        });
    } catch (...) {
    }
    return found;
}

}  // namespace tamsel
