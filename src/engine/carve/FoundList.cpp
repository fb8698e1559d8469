#include "engine/carve/FoundList.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>

#include "engine/common/Error.h"
#include "engine/common/Files.h"

namespace tamsel {

namespace {
constexpr std::int64_t kPiece = 4194304;
const char* const kFoundList = "found.jsonl";
}  // namespace

std::string makeUUID() {
    thread_local std::mt19937_64 rng{std::random_device{}() ^ (std::uint64_t{std::random_device{}()} << 32)};
    std::uint64_t hi = rng();
    std::uint64_t lo = rng();
    hi = (hi & 0xFFFFFFFFFFFF0FFFull) | 0x0000000000004000ull;
    lo = (lo & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull;
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(hi >> 32),
                  static_cast<unsigned>((hi >> 16) & 0xFFFF), static_cast<unsigned>(hi & 0xFFFF),
                  static_cast<unsigned>(lo >> 48), static_cast<unsigned long long>(lo & 0xFFFFFFFFFFFFull));
    return text;
}

std::string rescuedFileName(std::int64_t index, const std::string& ext) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%06lld", static_cast<long long>(index));
    return "rescued_" + std::string(digits) + "." + ext;
}

std::string upperCased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

fs::path CarvedFileExtractor::foundListURL(const fs::path& sessionDir) { return sessionDir / kFoundList; }

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
        CarvedFile f;
        f.id = makeUUID();
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
        return f;
    } catch (...) {
        return std::nullopt;
    }
}

void CarvedFileExtractor::append(const CarvedFile& file, const fs::path& sessionDir) noexcept {
    try {
        std::string line = encode(file) + "\n";
        const fs::path path = foundListURL(sessionDir);
        int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd < 0) {
            (void)tryWriteAtomically(path, line);
            return;
        }
        UniqueFd owned(fd);
        try {
            writeAll(owned.get(), line, path);
        } catch (...) {
        }
    } catch (...) {
    }
}

std::vector<CarvedFile> CarvedFileExtractor::loadFound(const fs::path& sessionDir) noexcept {
    std::vector<CarvedFile> out;
    try {
        auto bytes = readWholeFile(foundListURL(sessionDir));
        if (!bytes) return out;
        std::string_view rest(*bytes);
        while (!rest.empty()) {
            auto nl = rest.find('\n');
            std::string_view piece = rest.substr(0, nl);
            rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
            if (piece.empty()) continue;
            if (auto f = decode(piece)) out.push_back(std::move(*f));
        }
    } catch (...) {
    }
    return out;
}

bool CarvedFileExtractor::isSafeRelativeName(const CarvedFile& file) {
    const std::string& name = file.fileName;
    const auto slash = name.find('/');
    if (slash == std::string::npos || name.find('/', slash + 1) != std::string::npos) return false;
    const std::string folder = name.substr(0, slash);
    const std::string leaf = name.substr(slash + 1);
    if (folder.empty() || folder != upperCased(file.ext) || folder == "." || folder == "..") return false;
    if (leaf.empty() || leaf == "." || leaf == "..") return false;
    return name.find('\0') == std::string::npos;
}

fs::path CarvedFileExtractor::extract(const CarvedFile& file, RandomAccessSource& source, const fs::path& destDir,
                                      const CancellationToken& token) {
    // The name comes from a file on disk; never let it point outside destDir.
    if (!isSafeRelativeName(file))
        throw Error(file.fileName + " は復元先のフォルダの外を指す名前のため、復元しませんでした。");
    const fs::path dest = destDir / file.fileName;
    makeDirectories(dest.parent_path());
    if (::unlink(dest.c_str()) != 0 && errno != ENOENT) throwFileError(dest, "削除できませんでした");
    UniqueFd out = openForWriting(dest, O_CREAT | O_EXCL | O_NOFOLLOW);
    std::int64_t done = 0;
    while (done < file.length && !token.isCancelled()) {
        Bytes piece = source.pread(file.offset + done, std::min(file.length - done, kPiece));
        if (piece.empty()) break;
        writeAll(out.get(), piece.span(), dest);
        done += static_cast<std::int64_t>(piece.size());
    }
    out.reset();
    return dest;
}

}  // namespace tamsel
