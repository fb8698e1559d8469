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

fs::path CarvedFileExtractor::foundListPath(const fs::path& sessionDir) { return sessionDir / kFileName; }

std::string CarvedFileExtractor::encode(const CarvedFile& file) {
    nlohmann::ordered_json j;
    j["index"] = file.index;
    j["offset"] = file.offset;
    j["length"] = file.length;
    j["ext"] = file.ext;
    j["fileName"] = file.fileName;
    j["damaged"] = file.damaged;
    if (file.note) j["note"] = *file.note;
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
        if (!isSafeRelativeName(f)) return std::nullopt;
        return f;
    } catch (...) {
        return std::nullopt;
    }
}

void CarvedFileExtractor::append(const CarvedFile& file, int sessionDir, const fs::path& dirName) {
    const std::string line = encode(file) + "\n";
    const fs::path shown = dirName / kFileName;
    UniqueFd fd = openForWritingAt(sessionDir, kFileName, O_CREAT | O_APPEND, dirName);
    appendWhole(fd.get(), line, shown);
}

void CarvedFileExtractor::append(const CarvedFile& file, const fs::path& sessionDir) {
    makeDirectories(sessionDir);
    UniqueFd dir = openDirectory(sessionDir);
    append(file, dir.get(), sessionDir);
}

namespace {

// Each verdict onto the record of its index (records are in index order).
void mergeChecks(int sessionDir, std::vector<CarvedFile>& files) {
    UniqueFd fd = openSessionFileAt(sessionDir, CarvedFileExtractor::kChecksName);
    if (!fd) return;
    LineReader lines(fd.get(), CarvedFileExtractor::kMaxLine);
    std::string line;
    while (lines.next(line)) {
        auto check = CarvedFileExtractor::decodeCheck(line);
        if (!check) continue;
        auto f = std::lower_bound(files.begin(), files.end(), check->first,
                                  [](const CarvedFile& c, std::int64_t index) { return c.index < index; });
        if (f == files.end() || f->index != check->first) continue;
        f->damaged = true;
        f->note = damage::added(f->note.value_or(""), check->second);
    }
}

}  // namespace

std::string CarvedFileExtractor::encodeCheck(std::int64_t index, const std::string& note) {
    nlohmann::ordered_json j;
    j["index"] = index;
    j["note"] = note;
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<std::pair<std::int64_t, std::string>> CarvedFileExtractor::decodeCheck(std::string_view line) noexcept {
    try {
        auto j = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
        if (!j.is_object()) return std::nullopt;
        auto index = j.find("index");
        auto note = j.find("note");
        if (index == j.end() || !index->is_number_integer() || note == j.end() || !note->is_string()) return std::nullopt;
        const auto i = index->get<std::int64_t>();
        auto text = note->get<std::string>();
        if (i < 1 || text.empty() || text.size() > damage::kMaxNoteBytes) return std::nullopt;
        return std::pair{i, std::move(text)};
    } catch (...) {
        return std::nullopt;
    }
}

void CarvedFileExtractor::appendCheck(int sessionDir, std::int64_t index, const std::string& note, const fs::path& dirName) {
    UniqueFd fd = openForWritingAt(sessionDir, kChecksName, O_CREAT | O_APPEND, dirName);
    appendWhole(fd.get(), encodeCheck(index, note) + "\n", dirName / kChecksName);
}

std::vector<CarvedFile> CarvedFileExtractor::loadFoundAt(int sessionDir, std::optional<std::int64_t> sourceSize,
                                                         std::int64_t* refused) noexcept {
    std::vector<CarvedFile> out;
    try {
        UniqueFd fd = openSessionFileAt(sessionDir, kFileName);
        if (!fd) return out;
        LineReader lines(fd.get(), kMaxLine);
        std::string line;
        while (lines.next(line)) {
            if (line.empty()) continue;
            auto f = decode(line);
            if (!f || (sourceSize && f->offset + f->length > *sourceSize)) {
                if (refused) ++*refused;
                continue;
            }
            if (f->note) f->note = damage::inTodaysWords(*f->note);  // an older session's words
            out.push_back(std::move(*f));
        }
        if (refused) *refused += lines.skippedLong();
        mergeChecks(sessionDir, out);
    } catch (...) {
    }
    return out;
}

std::vector<CarvedFile> CarvedFileExtractor::loadFound(const fs::path& sessionDir, std::optional<std::int64_t> sourceSize) noexcept {
    try {
        UniqueFd dir(::open(sessionDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir) return {};
        return loadFoundAt(dir.get(), sourceSize);
    } catch (...) {
        return {};
    }
}

bool CarvedFileExtractor::isSafeRelativeName(const CarvedFile& file) {
    if (!carve::isCarvedExtension(file.ext) || file.index < 1) return false;
    return file.fileName == upperCased(file.ext) + "/" + rescuedFileName(file.index, file.ext);
}

std::int64_t CarvedFileExtractor::extractAt(const CarvedFile& file, RandomAccessSource& source, int destDir,
                                            const fs::path& destName, const CancellationToken& token, unsigned mode) {
    // The name comes from a file on disk; never let it point outside destDir.
    if (!isSafeRelativeName(file))
        throw Error(file.fileName + " は復元先のフォルダの外を指す名前のため、復元しませんでした。");
    const std::string folderName = upperCased(file.ext);
    const std::string leaf = rescuedFileName(file.index, file.ext);
    const fs::path folderShown = destName / folderName;
    const fs::path shown = folderShown / leaf;
    UniqueFd folder = openDirectoryAt(destDir, folderName, true, destName);
    const std::string part = kPartFilePrefix + leaf;
    if (::unlinkat(folder.get(), part.c_str(), 0) != 0 && errno != ENOENT) throwFileError(shown.string(), "削除できませんでした");
    UniqueFd out(::openat(folder.get(), part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!out) throwFileError(shown.string(), "作成できませんでした");
    std::int64_t done = 0;
    try {
        while (done < file.length && !token.isCancelled()) {
            Bytes piece = source.pread(file.offset + done, std::min(file.length - done, kPiece));
            if (piece.empty()) break;
            writeAll(out.get(), piece.span(), shown);
            done += static_cast<std::int64_t>(piece.size());
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

}  // namespace tamsel
