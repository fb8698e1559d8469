#include "engine/carve/FoundList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "engine/carve/Checkpoint.h"
#include "engine/carve/Damage.h"
#include "engine/carve/Formats.h"
#include "engine/carve/RecoveredNames.h"
#include "engine/common/Error.h"
#include "engine/common/Files.h"

namespace tamsel {

namespace {
constexpr std::int64_t kPiece = 4194304;
}  // namespace

std::string rescuedFileName(std::int64_t index, const std::string& ext) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%06lld", static_cast<long long>(index));
    return "rescued_" + std::string(digits) + "." + ext;
}

std::string upperCased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

namespace {
constexpr std::pair<DateSource, std::string_view> kDateSources[] = {
    {DateSource::fileSystem, "fileSystem"}, {DateSource::exif, "exif"}, {DateSource::video, "video"}};
// Longer than any path a FAT or exFAT volume can hold.
constexpr std::size_t kMaxOriginalPath = 4096;
// A found-list line holds this many pieces and more.
constexpr std::size_t kMaxRuns = 2048;
}  // namespace

std::string_view rawValue(DateSource source) {
    for (const auto& [s, raw] : kDateSources)
        if (s == source) return raw;
    return {};
}

std::optional<DateSource> dateSource(std::string_view raw) {
    for (const auto& [s, name] : kDateSources)
        if (name == raw) return s;
    return std::nullopt;
}

Bytes preadFound(RandomAccessSource& source, const CarvedFile& file, std::int64_t at, std::int64_t count) {
    if (at < 0 || count < 1 || at >= file.length) return {};
    count = std::min(count, file.length - at);
    if (file.runs.empty()) return source.pread(file.offset + at, count);
    for (const auto& run : file.runs) {
        if (at < run.length) return source.pread(run.offset + at, std::min(count, run.length - at));
        at -= run.length;
    }
    return {};
}

std::string CarvedFileExtractor::encode(const CarvedFile& file) {
    nlohmann::ordered_json j;
    j["index"] = file.index;
    j["offset"] = file.offset;
    j["length"] = file.length;
    j["ext"] = file.ext;
    j["fileName"] = file.fileName;
    j["damaged"] = file.damaged;
    if (file.note) j["note"] = *file.note;
    if (file.originalPath) j["originalPath"] = *file.originalPath;
    if (file.modified) j["modified"] = *file.modified;
    if (file.dateSource != DateSource::none) j["dateSource"] = rawValue(file.dateSource);
    if (!file.runs.empty()) {
        auto& runs = j["runs"] = nlohmann::ordered_json::array();
        for (const auto& r : file.runs) runs.push_back({r.offset, r.length});
    }
    // Invalid UTF-8 is replaced rather than failing the whole record.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<CarvedFile> CarvedFileExtractor::decode(std::string_view line) noexcept {
    try {
        if (line.size() > kMaxLine) return std::nullopt;
        auto j = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
        if (!j.is_object()) return std::nullopt;
        auto integer = [&](const char* key) -> std::optional<std::int64_t> {
            auto it = j.find(key);
            if (it == j.end() || !it->is_number_integer()) return std::nullopt;
            return it->get<std::int64_t>();
        };
        auto text = [&](const char* key) -> std::optional<std::string> {
            auto it = j.find(key);
            if (it == j.end() || !it->is_string()) return std::nullopt;
            return it->get<std::string>();
        };
        auto index = integer("index");
        auto offset = integer("offset");
        auto length = integer("length");
        auto ext = text("ext");
        auto fileName = text("fileName");
        auto damaged = j.find("damaged");
        if (!index || !offset || !length || !ext || !fileName || damaged == j.end() || !damaged->is_boolean())
            return std::nullopt;
        if (*index < 1 || *index > CarveCheckpoint::kMaxFileIndex || *offset < 0 || *length < 1 ||
            *offset > INT64_MAX - *length)
            return std::nullopt;
        CarvedFile f;
        f.index = *index;
        f.offset = *offset;
        f.length = *length;
        f.ext = *ext;
        f.fileName = *fileName;
        f.damaged = damaged->get<bool>();
        if (auto note = j.find("note"); note != j.end()) {
            if (!note->is_string()) return std::nullopt;
            f.note = note->get<std::string>();
        }
        // Written by later versions; a record without them is still whole.
        if (j.contains("originalPath")) {
            auto path = text("originalPath");
            if (!path || path->empty() || path->size() > kMaxOriginalPath) return std::nullopt;
            f.originalPath = std::move(path);
        }
        if (j.contains("modified")) {
            f.modified = integer("modified");
            if (!f.modified) return std::nullopt;
        }
        if (j.contains("dateSource")) {
            auto raw = text("dateSource");
            auto source = raw ? dateSource(*raw) : std::nullopt;
            if (!source) return std::nullopt;
            f.dateSource = *source;
        }
        if (auto runs = j.find("runs"); runs != j.end()) {
            // In order from the file's offset, adding up to its length.
            if (!runs->is_array() || runs->size() < 2 || runs->size() > kMaxRuns) return std::nullopt;
            std::int64_t total = 0;
            for (const auto& r : *runs) {
                if (!r.is_array() || r.size() != 2 || !r[0].is_number_integer() || !r[1].is_number_integer())
                    return std::nullopt;
                const ByteRun run{r[0].get<std::int64_t>(), r[1].get<std::int64_t>()};
                if (run.offset < 0 || run.length < 1 || run.offset > INT64_MAX - run.length || run.length > f.length - total)
                    return std::nullopt;
                total += run.length;
                f.runs.push_back(run);
            }
            if (total != f.length || f.runs.front().offset != f.offset) return std::nullopt;
        }
        if (!isSafeRelativeName(f)) return std::nullopt;
        return f;
    } catch (...) {
        return std::nullopt;
    }
}

void ContentCheck::applyTo(CarvedFile& file) const {
    if (note) {
        file.damaged = true;
        file.note = damage::added(file.note.value_or(""), *note);
    }
    if (taken && file.dateSource != DateSource::fileSystem) {
        file.modified = taken;
        file.dateSource = takenFrom;
    }
}

std::string CarvedFileExtractor::encodeCheck(const ContentCheck& check) {
    nlohmann::ordered_json j;
    j["index"] = check.index;
    if (check.note) j["note"] = *check.note;
    if (check.taken) {
        j["taken"] = *check.taken;
        j["takenFrom"] = rawValue(check.takenFrom);
    }
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<ContentCheck> CarvedFileExtractor::decodeCheck(std::string_view line) noexcept {
    try {
        auto j = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
        if (!j.is_object()) return std::nullopt;
        auto index = j.find("index");
        if (index == j.end() || !index->is_number_integer()) return std::nullopt;
        ContentCheck check;
        check.index = index->get<std::int64_t>();
        if (check.index < 1) return std::nullopt;
        if (auto note = j.find("note"); note != j.end()) {
            if (!note->is_string()) return std::nullopt;
            check.note = note->get<std::string>();
            if (check.note->empty() || check.note->size() > damage::kMaxNoteBytes) return std::nullopt;
        }
        if (auto taken = j.find("taken"); taken != j.end()) {
            auto from = j.find("takenFrom");
            if (!taken->is_number_integer() || from == j.end() || !from->is_string()) return std::nullopt;
            auto source = dateSource(from->get<std::string>());
            if (!source || *source == DateSource::fileSystem || *source == DateSource::none) return std::nullopt;
            check.taken = taken->get<std::int64_t>();
            check.takenFrom = *source;
        }
        if (!check.note && !check.taken) return std::nullopt;
        return check;
    } catch (...) {
        return std::nullopt;
    }
}

bool CarvedFileExtractor::isSafeRelativeName(const CarvedFile& file) {
    if (!carve::isCarvedExtension(file.ext) || file.index < 1) return false;
    return file.fileName == upperCased(file.ext) + "/" + rescuedFileName(file.index, file.ext);
}

std::int64_t CarvedFileExtractor::extractAt(const CarvedFile& file, RandomAccessSource& source, int destDir,
                                            const fs::path& destName, const CancellationToken& token, unsigned mode) {
    return extractAt(file, source, destDir, RecoveredNames(RecoveryLayout::type).place(file), destName, token, mode);
}

namespace {
// The innermost folder of `name`, each opened (or made) without following a link.
UniqueFd openFolders(int destDir, const RecoveredName& name, bool create, const fs::path& destName) {
    UniqueFd folder(::fcntl(destDir, F_DUPFD_CLOEXEC, 0));
    if (!folder) throwFileError(destName.string(), "開けませんでした");
    fs::path shown = destName;
    for (const auto& f : name.folders) {
        folder = openDirectoryAt(folder.get(), f, create, shown);
        shown /= f;
    }
    return folder;
}
}  // namespace

std::int64_t CarvedFileExtractor::extractAt(const CarvedFile& file, RandomAccessSource& source, int destDir,
                                            const RecoveredName& name, const fs::path& destName,
                                            const CancellationToken& token, unsigned mode) {
    // A record not as a scan writes it is not trusted for any place.
    if (!isSafeRelativeName(file))
        throw Error(file.fileName + " は復元先のフォルダの外を指す名前のため、復元しませんでした。");
    const fs::path shown = destName / name.relative();
    UniqueFd folder = openFolders(destDir, name, true, destName);
    const std::string& leaf = name.leaf;
    const std::string part = kPartFilePrefix + leaf;
    if (::unlinkat(folder.get(), part.c_str(), 0) != 0 && errno != ENOENT) throwFileError(shown.string(), "削除できませんでした");
    UniqueFd out(::openat(folder.get(), part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!out) throwFileError(shown.string(), "作成できませんでした");
    std::int64_t done = 0;
    try {
        while (done < file.length && !token.isCancelled()) {
            Bytes piece = preadFound(source, file, done, std::min(file.length - done, kPiece));
            if (piece.empty()) break;
            writeAll(out.get(), piece.span(), shown);
            done += static_cast<std::int64_t>(piece.size());
        }
        // The file's own date: as the card's file system kept it, or as it was taken.
        if (file.modified) {
            const timespec times[2] = {{static_cast<time_t>(*file.modified), 0}, {static_cast<time_t>(*file.modified), 0}};
            (void)::futimens(out.get(), times);
        }
        if (!out.reset()) throwFileError(shown.string(), "書き込めませんでした");
        if (done < file.length && token.isCancelled()) {
            ::unlinkat(folder.get(), part.c_str(), 0);
            return done;
        }
        if (::renameat(folder.get(), part.c_str(), folder.get(), leaf.c_str()) != 0)
            throwFileError(shown.string(), "作成できませんでした");
    } catch (...) {
        ::unlinkat(folder.get(), part.c_str(), 0);
        throw;
    }
    return done;
}

bool CarvedFileExtractor::holdsWhole(int destDir, const RecoveredName& name, std::int64_t length) {
    try {
        UniqueFd folder = openFolders(destDir, name, false, {});
        struct stat st {};
        return ::fstatat(folder.get(), name.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
               st.st_size == length;
    } catch (const std::exception&) {
        return false;
    }
}

fs::path CarvedFileExtractor::extract(const CarvedFile& file, RandomAccessSource& source, const fs::path& destDir,
                                      const CancellationToken& token) {
    if (!isSafeRelativeName(file))
        throw Error(file.fileName + " は復元先のフォルダの外を指す名前のため、復元しませんでした。");
    makeDirectories(destDir);
    UniqueFd dir(::open(destDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) throwFileError(destDir.string(), "開けませんでした");
    extractAt(file, source, dir.get(), destDir, token);
    return destDir / file.fileName;
}

std::uint32_t FoundEntries::intern(const std::string& text) {
    if (text.empty()) return 0;
    auto [it, added] = ids_.try_emplace(text, static_cast<std::uint32_t>(texts_.size()));
    if (added) texts_.push_back(text);
    return it->second;
}

void FoundEntries::add(const CarvedFile& file) {
    Entry e;
    e.index = file.index;
    e.offset = file.offset;
    e.length = file.length;
    e.damaged = file.damaged;
    e.ext = intern(file.ext);
    e.note = file.note ? intern(*file.note) : 0;
    if (file.originalPath) {
        e.originalPath = static_cast<std::uint32_t>(paths_.size());
        paths_.push_back(*file.originalPath);
    }
    e.modified = file.modified.value_or(Entry::kNoDate);
    e.dateSource = file.dateSource;
    if (!file.runs.empty()) {
        e.runs = static_cast<std::uint32_t>(runs_.size());
        runs_.push_back(file.runs);
    }
    entries_.push_back(e);
}

bool FoundEntries::addCheck(const ContentCheck& check) {
    auto e = std::lower_bound(entries_.begin(), entries_.end(), check.index,
                              [](const Entry& c, std::int64_t i) { return c.index < i; });
    if (e == entries_.end() || e->index != check.index) return false;
    if (check.note) {
        e->damaged = true;
        e->note = intern(damage::added(texts_[e->note], *check.note));
    }
    if (check.taken && e->dateSource != DateSource::fileSystem) {
        e->modified = *check.taken;
        e->dateSource = check.takenFrom;
    }
    return true;
}

CarvedFile FoundEntries::file(std::size_t i) const {
    const Entry& e = entries_[i];
    CarvedFile f;
    f.index = e.index;
    f.offset = e.offset;
    f.length = e.length;
    f.ext = texts_[e.ext];
    f.fileName = upperCased(f.ext) + "/" + rescuedFileName(f.index, f.ext);
    f.damaged = e.damaged;
    if (e.note != 0) f.note = texts_[e.note];
    if (e.originalPath != Entry::kNoPath) f.originalPath = paths_[e.originalPath];
    if (e.modified != Entry::kNoDate) f.modified = e.modified;
    f.dateSource = e.dateSource;
    if (e.runs != Entry::kNoRuns) f.runs = runs_[e.runs];
    return f;
}

}  // namespace tamsel
