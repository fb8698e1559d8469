#include "models/FoundFiles.h"

#include <algorithm>

#include "engine/carve/Damage.h"
#include "models/Shared.h"

namespace tamsel::models {

namespace {

// "JPG/rescued_000001.jpg": what a scan names file `index` (reusing `out`'s room).
void writeRescuedName(std::string& out, std::int64_t index, std::string_view ext) {
    out.clear();
    for (char c : ext) out += (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
    out += "/rescued_";
    char digits[24];
    int n = 0;
    for (auto v = static_cast<std::uint64_t>(index < 0 ? -index : index); v != 0 || n < 6; v /= 10) digits[n++] = char('0' + v % 10);
    if (index < 0) out += '-';
    while (n > 0) out += digits[--n];
    out += '.';
    out += ext;
}

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}
bool isAscii(const QString& text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

// Whether ASCII `text` holds ASCII `needle` in any letter case: what the
// Unicode case folding gives for such text, without a conversion per file.
bool containsAsciiCaseless(std::string_view text, const QString& needle) {
    auto lower = [](unsigned c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    const auto n = static_cast<std::size_t>(needle.size());
    for (std::size_t i = 0; i + n <= text.size(); ++i) {
        std::size_t j = 0;
        while (j < n && lower(static_cast<unsigned char>(text[i + j])) == lower(needle[static_cast<qsizetype>(j)].unicode())) ++j;
        if (j == n) return true;
    }
    return false;
}

// Byte order with ASCII letters folded, without a conversion per comparison.
int compareAsciiCaseless(std::string_view a, std::string_view b) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : int(c); };
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (const int d = lower(static_cast<unsigned char>(a[i])) - lower(static_cast<unsigned char>(b[i]))) return d;
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

}  // namespace

void FoundBatch::add(const CarvedFile& f) {
    FoundFile row;
    row.index = f.index;
    row.offset = f.offset;
    row.length = f.length;
    row.damaged = f.damaged;
    row.modified = f.modified.value_or(FoundFile::kNoDate);
    row.dateSource = f.dateSource;
    if (f.originalPath) {
        row.hasOriginal = true;
        originals.emplace_back(f.index, *f.originalPath);
    }
    if (!f.runs.empty()) runs.emplace_back(f.index, f.runs);
    const auto known = std::find(exts.begin(), exts.end(), f.ext);
    row.ext = static_cast<std::uint16_t>(known - exts.begin());
    if (known == exts.end()) exts.push_back(f.ext);
    if (f.note) {
        row.hasNote = true;
        notes.emplace_back(f.index, *f.note);
    }
    thread_local std::string expected;
    writeRescuedName(expected, f.index, f.ext);
    if (f.fileName != expected) {
        row.ownName = true;
        names.emplace_back(f.index, f.fileName);
    }
    files.push_back(row);
}

FoundFiles::FoundFiles(QObject* parent) : QObject(parent) {
    exts_.push_back({std::string(), std::string(), MediaClass::of(""), qs(MediaClass::of("").label())});
}

qsizetype FoundFiles::positionOf(std::int64_t index) const {
    if (ordered_) {
        auto it = std::lower_bound(files_.begin(), files_.end(), index, [](const FoundFile& f, std::int64_t i) { return f.index < i; });
        return it != files_.end() && it->index == index ? qsizetype(it - files_.begin()) : -1;
    }
    auto it = std::find_if(files_.begin(), files_.end(), [index](const FoundFile& f) { return f.index == index; });
    return it != files_.end() ? qsizetype(it - files_.begin()) : -1;
}

const FoundFile* FoundFiles::find(std::int64_t index) const {
    const qsizetype at = positionOf(index);
    return at < 0 ? nullptr : &files_[std::size_t(at)];
}

std::string FoundFiles::fileName(const FoundFile& f) const {
    if (f.ownName) return names_.at(f.index);
    std::string out;
    writeRescuedName(out, f.index, ext(f));
    return out;
}

std::optional<std::string> FoundFiles::note(const FoundFile& f) const {
    if (!f.hasNote) return std::nullopt;
    return notes_.at(f.index);
}

std::optional<std::string> FoundFiles::originalPath(const FoundFile& f) const {
    if (!f.hasOriginal) return std::nullopt;
    return originals_.at(f.index);
}

std::string FoundFiles::shownName(const FoundFile& f) const { return f.hasOriginal ? originals_.at(f.index) : fileName(f); }

CarvedFile FoundFiles::carvedFile(const FoundFile& f) const {
    CarvedFile c;
    c.index = f.index;
    c.offset = f.offset;
    c.length = f.length;
    c.ext = ext(f);
    c.fileName = fileName(f);
    c.damaged = f.damaged;
    c.note = note(f);
    c.originalPath = originalPath(f);
    if (f.modified != FoundFile::kNoDate) c.modified = f.modified;
    c.dateSource = f.dateSource;
    if (const auto it = runs_.find(f.index); it != runs_.end()) c.runs = it->second;
    return c;
}

void FoundFiles::setTypeFilter(TypeFilter v) {
    if (!assignAndNotify(*this, typeFilter_, v, &FoundFiles::typeFilterChanged)) return;
    emit filtersChanged();
}
void FoundFiles::setStatusFilter(StatusFilter v) {
    if (!assignAndNotify(*this, statusFilter_, v, &FoundFiles::statusFilterChanged)) return;
    emit filtersChanged();
}
void FoundFiles::setSearchText(const QString& v) {
    if (!assignAndNotify(*this, searchText_, v, &FoundFiles::searchTextChanged)) return;
    emit filtersChanged();
}
void FoundFiles::setSort(ResultSort key, bool descending) {
    if (sortKey_ == key && sortDescending_ == descending) return;
    sortKey_ = key;
    sortDescending_ = descending;
    emit sortChanged();
}

void FoundFiles::resetFilters() {
    setTypeFilter(TypeFilter::all);
    setStatusFilter(StatusFilter::anyStatus);
    setSearchText(QString());
    setSort(ResultSort::found, false);
}

void FoundFiles::setViewMode(ResultViewMode v) { assignAndNotify(*this, viewMode_, v, &FoundFiles::viewModeChanged); }
void FoundFiles::setThumbSize(double v) { assignAndNotify(*this, thumbSize_, v, &FoundFiles::thumbSizeChanged); }


std::string_view FoundFiles::nameOf(const FoundFile& f, std::string& scratch) const {
    if (f.ownName) return names_.at(f.index);
    writeRescuedName(scratch, f.index, ext(f));
    return scratch;
}

bool FoundFiles::passesFilters(const FoundFile& f) const {
    if (!admits(typeFilter_, kind(f)) || !admits(statusFilter_, f.damaged)) return false;
    if (searchText_.isEmpty()) return true;
    if (exts_[f.ext].word.contains(searchText_, Qt::CaseInsensitive)) return true;
    auto holds = [this](std::string_view text) {
        // Found files are named in ASCII: a search over a million of them converts none.
        if (isAscii(searchText_) && isAscii(text)) return containsAsciiCaseless(text, searchText_);
        return QString::fromUtf8(text.data(), qsizetype(text.size())).contains(searchText_, Qt::CaseInsensitive);
    };
    thread_local std::string scratch;
    if (holds(nameOf(f, scratch)) || holds(ext(f))) return true;
    return f.hasOriginal && holds(originals_.at(f.index));
}

bool FoundFiles::listedBefore(const FoundFile& a, const FoundFile& b) const {
    // Ties go by the order found, whichever way the key runs.
    auto by = [&](const auto& ka, const auto& kb) {
        if (ka != kb) return sortDescending_ ? kb < ka : ka < kb;
        return a.index < b.index;
    };
    switch (sortKey_) {
        case ResultSort::found: return by(a.index, b.index);
        case ResultSort::size: return by(a.length, b.length);
        case ResultSort::state: return by(a.damaged, b.damaged);
        case ResultSort::type: {
            const Ext& ea = exts_[a.ext];
            const Ext& eb = exts_[b.ext];
            const int ka = MediaClass::Value(ea.kind), kb = MediaClass::Value(eb.kind);
            return by(std::tie(ka, ea.lower), std::tie(kb, eb.lower));
        }
        case ResultSort::date: {
            // Files without a date go last either way.
            const bool da = a.modified != FoundFile::kNoDate, db = b.modified != FoundFile::kNoDate;
            if (da != db) return da;
            return by(a.modified, b.modified);
        }
        case ResultSort::name: {
            thread_local std::string sa, sb;
            std::string_view na = a.hasOriginal ? std::string_view(originals_.at(a.index)) : nameOf(a, sa);
            std::string_view nb = b.hasOriginal ? std::string_view(originals_.at(b.index)) : nameOf(b, sb);
            // The file's own name, not its folder.
            na = na.substr(na.rfind('/') == std::string_view::npos ? 0 : na.rfind('/') + 1);
            nb = nb.substr(nb.rfind('/') == std::string_view::npos ? 0 : nb.rfind('/') + 1);
            return by(compareAsciiCaseless(na, nb), 0);
        }
    }
    return a.index < b.index;
}

std::uint16_t FoundFiles::codeOf(const std::string& ext) {
    for (std::size_t i = 0; i < exts_.size(); ++i)
        if (exts_[i].text == ext) return static_cast<std::uint16_t>(i);
    exts_.push_back({ext, lowerCasedExtension(ext), MediaClass::of(ext), qs(MediaClass::of(ext).label())});
    return static_cast<std::uint16_t>(exts_.size() - 1);
}

void FoundFiles::countIn(const FoundFile& f) {
    ++counts_.all;
    switch (kind(f)) {
        case MediaClass::photo: ++counts_.photo; break;
        case MediaClass::raw: ++counts_.raw; break;
        case MediaClass::video: ++counts_.video; break;
        case MediaClass::audio: ++counts_.audio; break;
        case MediaClass::other: break;
    }
    ++(f.damaged ? counts_.partial : counts_.ok);
}

void FoundFiles::append(FoundBatch batch) {
    if (batch.empty()) return;
    std::vector<std::uint16_t> codes;
    for (const auto& e : batch.exts) codes.push_back(codeOf(e));
    for (auto& [index, text] : batch.notes) notes_[index] = std::move(text);
    for (auto& [index, text] : batch.names) names_[index] = std::move(text);
    for (auto& [index, text] : batch.originals) originals_[index] = std::move(text);
    for (auto& [index, pieces] : batch.runs) runs_[index] = std::move(pieces);
    const qsizetype first = size();
    for (FoundFile f : batch.files) {
        f.ext = codes[f.ext];
        if (!files_.empty() && f.index <= files_.back().index) ordered_ = false;
        if (auto early = earlyVerdicts_.find(f.index); early != earlyVerdicts_.end()) {
            f.damaged = true;
            std::string& note = notes_[f.index];
            note = damage::added(f.hasNote ? note : std::string(), early->second);
            f.hasNote = true;
            earlyVerdicts_.erase(early);
        }
        countIn(f);
        files_.push_back(f);
    }
    emit appended(first, size() - first);
    emit countsChanged();
}

void FoundFiles::clear() {
    if (files_.empty() && earlyVerdicts_.empty()) return;
    // Swapped out rather than cleared: a cleared deque keeps its room.
    std::deque<FoundFile>().swap(files_);
    std::unordered_map<std::int64_t, std::string>().swap(notes_);
    std::unordered_map<std::int64_t, std::string>().swap(names_);
    std::unordered_map<std::int64_t, std::string>().swap(originals_);
    std::unordered_map<std::int64_t, std::vector<ByteRun>>().swap(runs_);
    earlyVerdicts_.clear();
    ordered_ = true;
    counts_ = {};
    emit reset();
    emit countsChanged();
}

void FoundFiles::markDamaged(std::int64_t index, const std::string& note) {
    const qsizetype at = positionOf(index);
    if (at < 0) {
        earlyVerdicts_[index] = note;  // its row comes with a later batch
        return;
    }
    FoundFile& f = files_[std::size_t(at)];
    std::string& kept = notes_[index];
    kept = damage::added(f.hasNote ? kept : std::string(), note);
    f.hasNote = true;
    if (!f.damaged) {
        f.damaged = true;
        --counts_.ok;
        ++counts_.partial;
        emit countsChanged();
    }
    emit fileChanged(at);
}

}  // namespace tamsel::models
