#include "engine/salvage/SalvageCopier.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "engine/common/Error.h"
#include "engine/reading/FileSource.h"

namespace tamsel {

namespace {
const char* const kOK = "OK";
const char* const kZeroFilled = "不良部分ゼロ埋め";
const char* const kCopyFailed = "コピー失敗";
const char* const kListFailed = "列挙エラー";

std::string lowerExtension(const fs::path& p) {
    std::string ext = p.extension().string();
    if (!ext.empty()) ext.erase(0, 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

std::optional<std::pair<dev_t, ino_t>> identity(const fs::path& p) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return std::nullopt;
    return std::pair{st.st_dev, st.st_ino};
}
}  // namespace

SalvageCopier::SalvageCopier(fs::path srcRoot, fs::path dstRoot, SalvageOptions options, ProgressCallback onProgress)
    : srcRoot_(std::move(srcRoot)), dstRoot_(std::move(dstRoot)), options_(std::move(options)), onProgress_(std::move(onProgress)) {}

std::string SalvageCopier::csvField(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

void SalvageCopier::report() {
    if (throttle_.due() && onProgress_) onProgress_(progress_);
}

std::string SalvageCopier::relativePath(const fs::path& file) const {
    const std::string root = srcRoot_.lexically_normal().string();
    const std::string path = file.lexically_normal().string();
    if (path.rfind(root, 0) == 0) {
        std::string rest = path.substr(root.size());
        const auto first = rest.find_first_not_of('/');
        if (first == std::string::npos) return {};
        rest = rest.substr(first);
        while (!rest.empty() && rest.back() == '/') rest.pop_back();
        return rest;
    }
    return file.filename().string();
}

void SalvageCopier::record(const std::string& status, std::int64_t bad, const std::string& path, const std::string& error) {
    const std::string suffix = error.empty() ? "" : " (" + error + ")";
    if (logHandle_) {
        try {
            writeAll(logHandle_.get(), status + "," + std::to_string(bad) + "," + csvField(path + suffix) + "\n",
                     dstRoot_ / kReportName);
        } catch (...) {
        }
    }
    if (status != kOK && status != kZeroFilled) {
        progress_.recentErrors.push_back(path + ": " + status + suffix);
        if (progress_.recentErrors.size() > kRecentErrors) progress_.recentErrors.erase(progress_.recentErrors.begin());
    }
}

std::int64_t SalvageCopier::copyOneFile(const fs::path& from, const fs::path& to, const CancellationToken& token,
                                        bool& interrupted) {
    // An empty file is not a source to read, but it is copied all the same.
    std::unique_ptr<FileSource> opened;
    try {
        opened = std::make_unique<FileSource>(from.string(), options_.retries);
    } catch (const SourceOpenError& e) {
        if (e.kind() != SourceOpenError::Kind::empty) throw;
    }
    if (::unlink(to.c_str()) != 0 && errno != ENOENT) throwFileError(to, "置き換えられませんでした");
    UniqueFd out = openForWriting(to, O_CREAT | O_EXCL | O_NOFOLLOW);
    if (!opened) {
        if (!out.reset()) throwFileError(to, "書き込めませんでした");
        return 0;
    }
    FileSource& source = *opened;
    std::int64_t offset = 0;
    while (offset < source.size()) {
        if (token.isCancelled()) {
            interrupted = true;
            break;
        }
        Bytes piece = source.pread(offset, kChunk);
        if (piece.empty()) break;
        writeAll(out.get(), piece.span(), to);
        offset += static_cast<std::int64_t>(piece.size());
        progress_.bytesCopied += static_cast<std::int64_t>(piece.size());
        report();
    }
    const std::int64_t bad = source.badBytes();
    if (!out.reset()) throwFileError(to, "書き込めませんでした");
    source.close();
    return bad;
}

void SalvageCopier::handleFile(const Item& item, const CancellationToken& token) {
    if (options_.extensions && options_.extensions->count(lowerExtension(item.path)) == 0) return;
    const std::string rel = relativePath(item.path);
    progress_.currentPath = rel;
    const fs::path dest = dstRoot_ / rel;
    if (options_.dryRun) {
        ++progress_.filesCopied;
        progress_.bytesCopied += item.size;
        report();
        return;
    }
    struct stat existing {};
    if (::stat(dest.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) && existing.st_size == item.size) {
        ++progress_.filesSkipped;
        report();
        return;
    }
    try {
        makeDirectories(dest.parent_path());
        bool interrupted = false;
        const std::int64_t bad = copyOneFile(item.path, dest, token, interrupted);
        // A copy cut short by a stop is neither finished nor failed: the next
        // run copies it again (its size differs), so it is not reported as done.
        if (interrupted) return;
        const struct timespec times[2] = {{0, UTIME_OMIT}, item.mtime};
        (void)::utimensat(AT_FDCWD, dest.c_str(), times, 0);
        if (bad >= 1) {
            ++progress_.filesDamaged;
            progress_.badBytes += bad;
            record(kZeroFilled, bad, rel, "");
        } else {
            record(kOK, 0, rel, "");
        }
        ++progress_.filesCopied;
    } catch (const SourceGoneError&) {
        // The volume went away: every further file would fail the same way.
        throw;
    } catch (const std::exception& e) {
        ++progress_.filesFailed;
        record(kCopyFailed, 0, rel, describe(e));
    }
    report();
}

void SalvageCopier::walk(const fs::path& dir, const CancellationToken& token, bool& stopped) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        record(kListFailed, 0, dir.string(), errorText(errno));
        return;
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        names.push_back(name);
    }
    const int readError = errno;
    ::closedir(d);
    if (readError != 0) record(kListFailed, 0, dir.string(), errorText(readError));
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (token.isCancelled()) {
            stopped = true;
            return;
        }
        if (options_.skipHidden && name.front() == '.') continue;
        const fs::path path = dir / name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            // A destination inside the source would be copied into itself.
            if (destination_ && st.st_dev == destination_->first && st.st_ino == destination_->second) continue;
            walk(path, token, stopped);
            if (stopped) return;
        } else if (S_ISREG(st.st_mode)) {
            handleFile({path, static_cast<std::int64_t>(st.st_size), st.st_mtim}, token);
        }
    }
}

SalvageProgress SalvageCopier::run(const CancellationToken& token) {
    if (!options_.dryRun) {
        makeDirectories(dstRoot_);
        const fs::path log = dstRoot_ / kReportName;
        std::error_code ec;
        if (!fs::exists(log, ec)) writeAtomically(log, kReportHeader);
        logHandle_ = openForWriting(log, O_APPEND);
    }
    destination_ = identity(dstRoot_);
    struct stat st {};
    if (::stat(srcRoot_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || ::access(srcRoot_.c_str(), R_OK | X_OK) != 0) {
        logHandle_.reset();
        throw Error("コピー元フォルダを列挙できませんでした");
    }
    bool stopped = false;
    walk(srcRoot_, token, stopped);
    if (onProgress_) onProgress_(progress_);
    logHandle_.reset();
    return progress_;
}

}  // namespace tamsel
