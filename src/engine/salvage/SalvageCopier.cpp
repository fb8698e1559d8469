#include "engine/salvage/SalvageCopier.h"

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <random>

#include "engine/common/Error.h"
#include "engine/common/Formatting.h"
#include "engine/reading/FileSource.h"

namespace tamsel {

namespace {
const char* const kOK = "OK";
const char* const kZeroFilled = "不良部分ゼロ埋め";
const char* const kCopyFailed = "コピー失敗";
const char* const kListFailed = "列挙エラー";

const char* const kCannotWalk = "コピー元フォルダを列挙できませんでした";
const char* const kOverlap =
    "保存先とコピー元が重なっています(同じフォルダか、一方がもう一方の中にあります)。"
    "コピー元の外にある、できれば別のディスクのフォルダを保存先に選んでください。";
const char* const kSwapped = "調べた後に別のものと入れ替わったため、コピーしませんでした";
const char* const kChangedWhileCopied = "コピー中に内容が変わったため、コピーを取り消しました(もう一度実行するとコピーし直します)";
const char* const kUnreadableEntry = "情報を読み取れませんでした";

std::string lowerExtension(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return {};
    std::string ext = name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

// The name as a case-insensitive file system compares it (FAT, exFAT, NTFS,
// casefolded ext4): lower case, Unicode letters too.
std::u32string foldedName(const std::string& name) {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    std::u32string out;
    for (std::size_t i = 0; i < name.size();) {
        const auto b = static_cast<unsigned char>(name[i]);
        int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        char32_t c = len == 1 ? b : len == 2 ? (b & 0x1f) : len == 3 ? (b & 0x0f) : (b & 0x07);
        bool valid = len > 0 && i + static_cast<std::size_t>(len) <= name.size();
        for (int k = 1; valid && k < len; ++k) {
            const auto cb = static_cast<unsigned char>(name[i + static_cast<std::size_t>(k)]);
            if ((cb >> 6) != 2) valid = false;
            c = (c << 6) | (cb & 0x3f);
        }
        if (!valid) {
            out.push_back(0xdc00 + b);  // a stray byte stays itself
            ++i;
            continue;
        }
        if (c < 0x80) c = static_cast<char32_t>(std::tolower(static_cast<int>(c)));
        else if (utf8) c = static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), utf8));
        out.push_back(c);
        i += static_cast<std::size_t>(len);
    }
    return out;
}

// Destination names for the entries of one source folder: entries whose
// names a case-insensitive destination would take for one get numbered
// names. Decided from the source listing alone, so every run agrees.
std::map<std::string, std::string> planNames(const std::vector<std::string>& names, const std::set<std::string>& reserved) {
    std::map<std::string, std::string> plan;
    std::set<std::u32string> taken;
    for (const auto& r : reserved) taken.insert(foldedName(r));
    std::vector<std::string> clashing;
    for (const auto& n : names) {
        if (taken.insert(foldedName(n)).second) plan[n] = n;
        else clashing.push_back(n);
    }
    for (const auto& n : clashing) {
        for (int k = 2;; ++k) {
            std::string candidate = SalvageCopier::numberedName(n, k);
            if (taken.insert(foldedName(candidate)).second) {
                plan[n] = candidate;
                break;
            }
        }
    }
    return plan;
}

std::vector<std::string> listFolder(int fd, int& error) {
    std::vector<std::string> names;
    error = 0;
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    DIR* d = copy < 0 ? nullptr : ::fdopendir(copy);
    if (!d) {
        error = errno;
        if (copy >= 0) ::close(copy);
        return names;
    }
    errno = 0;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
        errno = 0;
    }
    error = errno;
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// True when `path` or one of its existing ancestors is the folder `root`.
bool isWithin(const fs::path& path, const struct stat& root) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
    if (ec) p = fs::absolute(path, ec).lexically_normal();
    for (;;) {
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0 && sameFile(st, root)) return true;
        if (!p.has_relative_path()) return false;
        p = p.parent_path();
    }
}

// A destination in the source would copy itself, and a source in the
// destination would be written into: refused before anything is made.
void refuseOverlap(const struct stat& srcStat, const fs::path& srcRoot, const fs::path& dstRoot) {
    struct stat dstStat {};
    if (isWithin(dstRoot, srcStat) || (::stat(dstRoot.c_str(), &dstStat) == 0 && isWithin(srcRoot, dstStat)))
        throw Error(kOverlap);
}

std::string randomPartName() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    std::string s = SalvageCopier::kPartPrefix;
    const auto v = rng();
    for (int i = 0; i < 12; ++i) s += digits[(v >> (i * 4)) & 15];
    return s;
}

// Equal as file systems keep them: FAT keeps times to 2 seconds.
bool sameTime(const struct timespec& a, const struct timespec& b) {
    const std::int64_t ns = (static_cast<std::int64_t>(a.tv_sec) - b.tv_sec) * 1000000000 + (a.tv_nsec - b.tv_nsec);
    return ns > -2000000000 && ns < 2000000000;
}

// A path in the origins record, one to a line.
std::string escapedKey(const std::string& key) {
    std::string out;
    for (char c : key) out += c == '%' ? "%25" : c == '\n' ? "%0A" : std::string(1, c);
    return out;
}
std::string unescapedKey(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 3, "%25") == 0) out += '%', i += 2;
        else if (text.compare(i, 3, "%0A") == 0) out += '\n', i += 2;
        else out += text[i];
    }
    return out;
}

bool isOutOfSpace(const std::exception& e) {
    auto* f = dynamic_cast<const FileError*>(&e);
    return f && f->code() == ENOSPC;
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

std::string SalvageCopier::numberedName(const std::string& name, int n) {
    const auto dot = name.rfind('.');
    const bool hasExt = dot != std::string::npos && dot > 0;
    const std::string stem = hasExt ? name.substr(0, dot) : name;
    const std::string ext = hasExt ? name.substr(dot) : "";
    return stem + " (" + std::to_string(n) + ")" + ext;
}

void SalvageCopier::report() {
    if (throttle_.due() && onProgress_) onProgress_(progress_);
}

std::string SalvageCopier::fullPath(const std::string& rel) const {
    return rel.empty() ? srcRoot_.string() : (srcRoot_ / rel).string();
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
    auto keep = [](std::vector<std::string>& recent, std::string line) {
        recent.push_back(std::move(line));
        if (recent.size() > kRecentErrors) recent.erase(recent.begin());
    };
    if (status == kZeroFilled) keep(progress_.recentDamaged, path + ": " + formatByteCount(bad) + " をゼロ埋め");
    else if (status != kOK && status != kLeftOut) keep(progress_.recentErrors, path + ": " + status + suffix);
}

void SalvageCopier::fail(const std::string& status, const std::string& path, const std::string& error) {
    ++progress_.filesFailed;
    record(status, 0, path, error);
    report();
}

std::string SalvageCopier::originOf(int srcFd, const struct stat& walked) {
    auto [volume, fresh] = volumes_.try_emplace(walked.st_dev);
    if (fresh) {
        // The volume's id as the kernel gives it: from the file system's own
        // serial where it has one (ext4, NTFS), so a card is known again after
        // a new mount; from the device number on FAT and exFAT, which the next
        // card in the reader gets too, but those number their files anew at
        // every mount. Without one (tmpfs, FUSE), the device number.
        struct statfs sf {};
        unsigned int id[2] = {0, 0};
        if (::fstatfs(srcFd, &sf) == 0) std::memcpy(id, &sf.f_fsid, sizeof id);
        char text[64];
        if (id[0] != 0 || id[1] != 0) std::snprintf(text, sizeof text, "v%x.%x", id[0], id[1]);
        else std::snprintf(text, sizeof text, "d%llx", static_cast<unsigned long long>(walked.st_dev));
        volume->second = text;
    }
    // The change time moves whenever the file is written or replaced.
    char text[96];
    std::snprintf(text, sizeof text, ":%llx:%lld.%09ld", static_cast<unsigned long long>(walked.st_ino),
                  static_cast<long long>(walked.st_ctim.tv_sec), static_cast<long>(walked.st_ctim.tv_nsec));
    return volume->second + text;
}

void SalvageCopier::loadOrigins(int rootFd) {
    if (UniqueFd in = openSessionFileAt(rootFd, kOriginsName)) {
        LineReader lines(in.get(), 65536);
        std::string line;
        while (lines.next(line) && !lines.torn()) {
            const auto space = line.find(' ');
            if (space == std::string::npos || space < 2 || (line[0] != '=' && line[0] != '+')) continue;
            auto& held = origins_[unescapedKey(line.substr(space + 1))];
            if (line[0] == '=') held.clear();
            held.insert(line.substr(1, space - 1));
        }
    }
}

void SalvageCopier::remember(const DestDir& dest, const std::string& name, const std::string& origin, bool replace) {
    const std::string key = dest.rel.empty() ? name : dest.rel + "/" + name;
    auto& held = origins_[key];
    if (held.count(origin) && (!replace || held.size() == 1)) return;
    if (replace) held.clear();
    held.insert(origin);
    // Made with the first copy. Without it, files found in place are compared instead.
    try {
        if (!originsHandle_) originsHandle_ = openForWriting(dstRoot_ / kOriginsName, O_APPEND | O_CREAT | O_NOFOLLOW);
        appendWhole(originsHandle_.get(), (replace ? "=" : "+") + origin + " " + escapedKey(key) + "\n", dstRoot_ / kOriginsName);
    } catch (...) {
    }
}

void SalvageCopier::leaveOut(const std::string& rel) {
    ++progress_.filesLeftOut;
    record(kLeftOut, 0, rel, "");
}

int SalvageCopier::openDest(DestDir& dest) {
    if (dest.fd) return dest.fd.get();
    const int parent = openDest(*dest.parent);
    const fs::path shown = dstRoot_ / dest.name;
    if (::mkdirat(parent, dest.name.c_str(), dest.mode) != 0 && errno != EEXIST)
        throwFileError(shown.string(), "作成できませんでした");
    // A link planted in place of the folder is not followed.
    UniqueFd fd(::openat(parent, dest.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) throwFileError(shown.string(), "開けませんでした");
    int error = 0;
    for (const auto& n : listFolder(fd.get(), error)) {
        // What an interrupted earlier run was writing is never a finished file.
        if (n.rfind(kPartPrefix, 0) == 0) (void)::unlinkat(fd.get(), n.c_str(), 0);
        else dest.names.insert(n);
    }
    if (error != 0) throw FileError(error, shown.string(), "読み取れませんでした");
    dest.fd = std::move(fd);
    return dest.fd.get();
}

UniqueFd SalvageCopier::openSource(int srcFd, const std::string& name, const std::string& rel, const struct stat& walked,
                                   struct stat& opened) {
    if (hooks_.beforeOpen) hooks_.beforeOpen(rel);
    const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd in(::openat(srcFd, name.c_str(), flags | O_NOATIME));
    // O_NOATIME is only for the file's owner.
    if (!in && errno == EPERM) in.reset(::openat(srcFd, name.c_str(), flags));
    if (!in && errno == ELOOP) throw Error(kSwapped);
    if (!in) throwFileError(fullPath(rel), "開けませんでした");
    if (::fstat(in.get(), &opened) != 0) throwFileError(fullPath(rel), "読み取れませんでした");
    if (!S_ISREG(opened.st_mode) || !sameFile(opened, walked)) throw Error(kSwapped);
    return in;
}

std::optional<bool> SalvageCopier::sameContent(int srcFd, const std::string& name, const std::string& rel,
                                               const struct stat& walked, int dfd, const std::string& copy,
                                               const CancellationToken& token) {
    struct stat opened {};
    UniqueFd in = openSource(srcFd, name, rel, walked, opened);
    UniqueFd theirs = openSessionFileAt(dfd, copy);
    struct stat st {};
    if (!theirs || ::fstat(theirs.get(), &st) != 0 || st.st_size != opened.st_size) return false;
    if (opened.st_size == 0) return true;
    const int readFd = ::fcntl(in.get(), F_DUPFD_CLOEXEC, 3);
    if (readFd < 0) throwFileError(fullPath(rel), "開けませんでした");
    const auto source = FileSource::adopt(readFd, fullPath(rel), options_.retries);
    source->setCancellation(token);
    std::vector<std::uint8_t> buffer;
    try {
        for (std::int64_t offset = 0; offset < source->size();) {
            if (token.isCancelled()) return std::nullopt;
            const Bytes piece = source->pread(offset, kChunk);
            if (piece.empty()) return false;
            buffer.resize(piece.size());
            // A copy that cannot be read back holds nothing to rely on.
            for (std::size_t got = 0; got < piece.size();) {
                const ssize_t n = ::pread(theirs.get(), buffer.data() + got, piece.size() - got,
                                          offset + static_cast<std::int64_t>(got));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return false;
                got += static_cast<std::size_t>(n);
            }
            if (std::memcmp(buffer.data(), piece.data(), piece.size()) != 0) return false;
            offset += static_cast<std::int64_t>(piece.size());
            report();
        }
    } catch (const ReadCancelled&) {
        return std::nullopt;
    }
    return true;
}

SalvageCopier::Place SalvageCopier::placeFor(int srcFd, const std::string& name, const std::string& rel,
                                             const struct stat& walked, DestDir& dest, const std::string& destName,
                                             const std::string& origin, const CancellationToken& token) {
    const int dfd = openDest(dest);
    // The names a copy of this file may already have: its own, then its
    // numbered ones (but not those other source entries get), up to a free one.
    std::vector<std::pair<std::string, struct stat>> taken;
    std::string free;
    for (int k = 1; free.empty(); ++k) {
        std::string n = k == 1 ? destName : numberedName(destName, k);
        if (k > 1 && dest.planned.count(n)) continue;
        struct stat st {};
        if (dest.names.count(n) && ::fstatat(dfd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) taken.emplace_back(n, st);
        else free = std::move(n);
    }
    const auto key = [&](const std::string& n) { return dest.rel.empty() ? n : dest.rel + "/" + n; };
    const auto finished = [&](const struct stat& st) {
        return st.st_size == walked.st_size && sameTime(st.st_mtim, walked.st_mtim);
    };
    // This file's own copy: finished, or made again in its place. A link or
    // a special file in the way holds no data; it is replaced.
    std::string replaceable;
    for (const auto& [n, st] : taken) {
        if (!S_ISREG(st.st_mode)) {
            if (!S_ISDIR(st.st_mode) && replaceable.empty()) replaceable = n;
            continue;
        }
        const auto it = origins_.find(key(n));
        if (it != origins_.end() && it->second.count(origin)) return {finished(st), false, n};
    }
    // A file the record does not vouch for (another card's, one copied by
    // hand or by an earlier version) is this one's copy only with its bytes.
    for (const auto& [n, st] : taken) {
        if (!S_ISREG(st.st_mode) || !finished(st)) continue;
        const auto same = sameContent(srcFd, name, rel, walked, dfd, n, token);
        if (!same) return {false, true, {}};
        if (*same) {
            remember(dest, n, origin, false);
            return {true, false, n};
        }
    }
    return {false, false, replaceable.empty() ? free : replaceable};
}

SalvageCopier::Copied SalvageCopier::copyOneFile(int srcFd, const std::string& name, const std::string& rel,
                                                 const struct stat& walked, DestDir& dest, const std::string& destName,
                                                 const std::string& target, std::int64_t& bad, std::string& storedAs,
                                                 const CancellationToken& token) {
    struct stat before {};
    UniqueFd in = openSource(srcFd, name, rel, walked, before);

    const int dfd = openDest(dest);
    std::string part;
    UniqueFd out;
    // Never wider than the source, not even for a moment.
    while (!out) {
        part = randomPartName();
        out.reset(::openat(dfd, part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, before.st_mode & 0600));
        if (!out && errno != EEXIST) throwFileError((dstRoot_ / rel).string(), "作成できませんでした");
    }
    struct PartGuard {
        int dir;
        const std::string& name;
        bool keep = false;
        ~PartGuard() {
            if (!keep) (void)::unlinkat(dir, name.c_str(), 0);
        }
    } guard{dfd, part};

    // An empty file is no source to read, but it is copied all the same.
    std::shared_ptr<FileSource> source;
    if (before.st_size > 0) {
        const int readFd = ::fcntl(in.get(), F_DUPFD_CLOEXEC, 3);
        if (readFd < 0) throwFileError(fullPath(rel), "開けませんでした");
        source = FileSource::adopt(readFd, fullPath(rel), options_.retries);
    }
    std::int64_t offset = 0;
    if (source) source->setCancellation(token);
    try {
        while (source && offset < source->size()) {
            if (token.isCancelled()) return Copied::interrupted;
            Bytes piece = source->pread(offset, kChunk);
            if (piece.empty()) break;
            writeAll(out.get(), piece.span(), dstRoot_ / rel);
            offset += static_cast<std::int64_t>(piece.size());
            progress_.bytesCopied += static_cast<std::int64_t>(piece.size());
            if (hooks_.afterChunk) hooks_.afterChunk(rel);
            report();
        }
    } catch (const ReadCancelled&) {
        return Copied::interrupted;
    }
    if (source) {
        bad = source->badBytes();
        source->close();
    }

    struct stat after {};
    if (::fstat(in.get(), &after) != 0) throwFileError(fullPath(rel), "読み取れませんでした");
    if (after.st_size != before.st_size || after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
        after.st_mtim.tv_nsec != before.st_mtim.tv_nsec)
        throw Error(kChangedWhileCopied);

    // File systems without modes (FAT) refuse this; the file then keeps the narrower mode.
    (void)::fchmod(out.get(), before.st_mode & 0777);
    const struct timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
    (void)::futimens(out.get(), times);
    if (!out.reset()) throwFileError((dstRoot_ / rel).string(), "書き込めませんでした");

    // Only a finished file gets its name. It replaces exactly the entry of
    // that name; a case-insensitive namesake of another file is never replaced.
    storedAs = target;
    for (int k = 2;;) {
        const bool replace = dest.names.count(storedAs) != 0;
        int rc = replace ? ::renameat(dfd, part.c_str(), dfd, storedAs.c_str())
                         : ::renameat2(dfd, part.c_str(), dfd, storedAs.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && !replace && errno == EINVAL) {
            struct stat st {};
            if (::fstatat(dfd, storedAs.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) errno = EEXIST;
            else rc = ::renameat(dfd, part.c_str(), dfd, storedAs.c_str());
        }
        if (rc == 0) break;
        if (errno != EEXIST) throwFileError((dstRoot_ / rel).string(), "保存できませんでした");
        // The destination takes two names for one in a way the plan did not
        // foresee: a free number that no other entry will use.
        do storedAs = numberedName(destName, k++);
        while (dest.names.count(storedAs) || dest.planned.count(storedAs));
    }
    guard.keep = true;
    dest.names.insert(storedAs);
    return Copied::done;
}

void SalvageCopier::handleFile(int srcFd, const std::string& name, const std::string& rel, const struct stat& walked,
                               DestDir& dest, const std::string& destName, const CancellationToken& token) {
    if (options_.extensions && options_.extensions->count(lowerExtension(name)) == 0) {
        leaveOut(rel);
        return;
    }
    progress_.currentPath = rel;
    if (options_.dryRun) {
        ++progress_.filesCopied;
        progress_.bytesCopied += walked.st_size;
        report();
        return;
    }
    try {
        const std::string origin = originOf(srcFd, walked);
        const Place place = placeFor(srcFd, name, rel, walked, dest, destName, origin, token);
        if (place.interrupted) return;
        if (place.there) {
            ++progress_.filesSkipped;
            report();
            return;
        }
        std::int64_t bad = 0;
        std::string storedAs;
        if (copyOneFile(srcFd, name, rel, walked, dest, destName, place.name, bad, storedAs, token) == Copied::interrupted)
            return;
        remember(dest, storedAs, origin, true);
        const std::string shown = storedAs == name ? rel : rel + " (保存名: " + storedAs + ")";
        if (bad >= 1) {
            ++progress_.filesDamaged;
            progress_.badBytes += bad;
            record(kZeroFilled, bad, shown, "");
        } else {
            record(kOK, 0, shown, "");
        }
        ++progress_.filesCopied;
    } catch (const SourceGoneError&) {
        // The disk itself went away: no file after this one can be read either.
        throw;
    } catch (const std::exception& e) {
        fail(kCopyFailed, rel, describe(e));
        // A full destination fails every file after it too: stop at once.
        if (isOutOfSpace(e)) throw;
        return;
    }
    report();
}

void SalvageCopier::walk(int srcFd, const std::string& relDir, DestDir& dest, const CancellationToken& token, bool& stopped) {
    int error = 0;
    const std::vector<std::string> names = listFolder(srcFd, error);
    if (error != 0) fail(kListFailed, fullPath(relDir), errorText(error));
    std::set<std::string> reserved;
    if (relDir.empty()) reserved = {kReportName, kOriginsName};
    const auto plan = planNames(names, reserved);
    for (const auto& [from, to] : plan) dest.planned.insert(to);
    for (const std::string& name : names) {
        if (token.isCancelled()) {
            stopped = true;
            return;
        }
        const std::string rel = relDir.empty() ? name : relDir + "/" + name;
        if (options_.skipHidden && name.front() == '.') {
            leaveOut(rel);
            continue;
        }
        struct stat st {};
        if (::fstatat(srcFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            fail(kCopyFailed, rel, std::string(kUnreadableEntry) + ": " + errorText(errno));
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            // The copy itself (reached through a bind mount) is not copied again.
            if (destination_ && st.st_dev == destination_->first && st.st_ino == destination_->second) continue;
            UniqueFd sub(::openat(srcFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            struct stat opened {};
            if (!sub) {
                fail(kListFailed, fullPath(rel), errno == ELOOP || errno == ENOTDIR ? kSwapped : errorText(errno));
                continue;
            }
            if (::fstat(sub.get(), &opened) != 0 || !sameFile(opened, st)) {
                fail(kListFailed, fullPath(rel), kSwapped);
                continue;
            }
            DestDir child;
            child.parent = &dest;
            child.name = plan.at(name);
            child.rel = dest.rel.empty() ? child.name : dest.rel + "/" + child.name;
            child.mode = (st.st_mode & 0777) | 0700;
            walk(sub.get(), rel, child, token, stopped);
            if (stopped) return;
        } else if (S_ISREG(st.st_mode)) {
            handleFile(srcFd, name, rel, st, dest, plan.at(name), token);
        } else if (S_ISLNK(st.st_mode)) {
            leaveOut(rel);
        } else {
            // Pipes, sockets and devices hold no file to copy, whatever the options.
            ++progress_.specialFiles;
            record(kLeftOut, 0, rel, kSpecialFile);
        }
    }
}

void SalvageCopier::checkFolders(const fs::path& srcRoot, const fs::path& dstRoot) {
    struct stat srcStat {};
    if (::stat(srcRoot.c_str(), &srcStat) != 0 || !S_ISDIR(srcStat.st_mode)) throw Error(kCannotWalk);
    refuseOverlap(srcStat, srcRoot, dstRoot);
}

SalvageProgress SalvageCopier::run(const CancellationToken& token) {
    UniqueFd src(::open(srcRoot_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat srcStat {};
    if (!src || ::fstat(src.get(), &srcStat) != 0) throw Error(kCannotWalk);
    refuseOverlap(srcStat, srcRoot_, dstRoot_);

    DestDir root;
    if (!options_.dryRun) {
        makeDirectories(dstRoot_);
        const fs::path log = dstRoot_ / kReportName;
        std::error_code ec;
        if (!fs::is_regular_file(fs::symlink_status(log, ec))) writeAtomically(log, kReportHeader);
        logHandle_ = openForWriting(log, O_APPEND | O_NOFOLLOW);
        root.fd.reset(::open(dstRoot_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!root.fd) throwFileError(dstRoot_.string(), "開けませんでした");
        struct stat st {};
        if (::fstat(root.fd.get(), &st) == 0) destination_ = std::pair{st.st_dev, st.st_ino};
        int error = 0;
        for (const auto& n : listFolder(root.fd.get(), error)) {
            if (n.rfind(kPartPrefix, 0) == 0) (void)::unlinkat(root.fd.get(), n.c_str(), 0);
            else root.names.insert(n);
        }
        loadOrigins(root.fd.get());
    }
    bool stopped = false;
    try {
        walk(src.get(), "", root, token, stopped);
    } catch (...) {
        if (onProgress_) onProgress_(progress_);
        logHandle_.reset();
        throw;
    }
    if (onProgress_) onProgress_(progress_);
    logHandle_.reset();
    originsHandle_.reset();
    return progress_;
}

}  // namespace tamsel
