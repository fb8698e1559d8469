#include "engine/carve/Session.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "engine/carve/Carver.h"
#include "engine/carve/Damage.h"
#include "engine/common/Error.h"
#include "engine/common/Formatting.h"

namespace tamsel {

namespace {

const char* const kSpareName = "scan.progress.next";
constexpr std::size_t kSpareBytes = 4096;
constexpr std::int64_t kMaxIdentityBytes = 65536;

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
void rewriteLines(int dir, const std::string& name, const fs::path& dirName, Keep keep) {
    UniqueFd in = openSessionFileAt(dir, name);
    if (!in) return;
    LineReader lines(in.get(), CarvedFileExtractor::kMaxLine);
    std::string kept;
    std::string line;
    bool changed = false;
    std::size_t number = 0;
    while (lines.next(line)) {
        if (lines.torn() || !keep(std::string_view(line), number++)) {
            changed = true;
            continue;
        }
        kept += line;
        kept += '\n';
    }
    if (lines.failed()) throwFileError((dirName / name).string(), "読み込めませんでした");
    if (changed || lines.skippedLong() > 0) writeAtomicallyAt(dir, name, kept, dirName);
}

// Each verdict of the checks list, in file order.
template <class Take>
void eachCheck(int dir, Take take) {
    UniqueFd fd = openSessionFileAt(dir, Session::kChecksName);
    if (!fd) return;
    LineReader lines(fd.get(), CarvedFileExtractor::kMaxLine);
    std::string line;
    while (lines.next(line))
        if (auto check = CarvedFileExtractor::decodeCheck(line)) take(*check);
}

}  // namespace

Session::~Session() { dropCheckpointSpare(); }

Session Session::open(const fs::path& dir, Lock lock, bool create) {
    if (create) makeDirectories(dir);
    Session s(dir, openDirectory(dir));
    s.lock(lock);
    return s;
}

Session Session::adopt(UniqueFd dir, fs::path path, Lock lock) {
    Session s(std::move(path), std::move(dir));
    s.lock(lock);
    return s;
}

void Session::lock(Lock lock) {
    if (lock == Lock::none) return;
    lock_ = lockFileAt(dir_.get(), kLockName, lock == Lock::exclusive, path_);
    if (!lock_)
        throw Error("セッション " + path_.string() +
                    " は別のスキャンか復元が使用中です。同じセッションで 2 つの作業を同時に行うことはできません。"
                    "終わるのを待ってから、もう一度実行してください。");
}

bool Session::holdsFoundList(const fs::path& dir) noexcept {
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return fd && openSessionFileAt(fd.get(), kFoundName);
}

std::vector<CarveResumeInfo> Session::findResumable(const fs::path& parent) noexcept {
    std::vector<CarveResumeInfo> found;
    try {
        std::error_code ec;
        for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code typeError;
            if (it->is_symlink(typeError) || !it->is_directory(typeError)) continue;
            UniqueFd fd(::open(it->path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!fd) continue;
            // A checkpoint at the end: the scan is done, its thumbnails are not.
            const auto c = Session(it->path(), std::move(fd)).checkpoint();
            if (!c) continue;
            found.push_back(CarveResumeInfo{it->path(), c->sourceName, c->sourceSize, c->scanPos, c->filesFound});
        }
        std::stable_sort(found.begin(), found.end(), [](const CarveResumeInfo& a, const CarveResumeInfo& b) {
            return a.dir.filename().string() > b.dir.filename().string();
        });
    } catch (...) {
    }
    return found;
}

std::vector<CarvedFile> Session::foundIn(const fs::path& dir) noexcept {
    try {
        return open(dir, Lock::none).loadFound();
    } catch (...) {
        return {};
    }
}

std::optional<SourceIdentity> Session::recordedSource() const noexcept {
    try {
        auto text = readSessionFileAt(dir_.get(), kIdentityName, kMaxIdentityBytes);
        return text ? SourceIdentity::decode(*text) : std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

Session::SourceMatch Session::matchSource(const SourceIdentity& current) const noexcept {
    if (!existsAt(dir_.get(), kIdentityName)) return SourceMatch::unrecorded;
    const auto recorded = recordedSource();
    if (!recorded) return SourceMatch::unreadable;
    // Only a full record tells this card from a twin formatted alike.
    if (recorded->isLegacy()) return recorded->matchesLegacy(current) ? SourceMatch::olderSame : SourceMatch::olderDiffers;
    return recorded->matches(current) ? SourceMatch::same : SourceMatch::differs;
}

Session::ResumeCheck Session::canContinue(std::int64_t size, const std::optional<SourceIdentity>& identity) const {
    ResumeCheck check;
    auto c = checkpoint();
    if (!c) {
        check.whyNot = "前回のスキャンの記録(scan.progress)がないか、読めないか、壊れています";
        return check;
    }
    if (c->sourceSize != size) {
        check.whyNot = "読み取り元の大きさが前回と違います(前回 " + formatByteCount(c->sourceSize) + "・今回 " +
                       formatByteCount(size) + ")";
        return check;
    }
    if (!openSessionFileAt(dir_.get(), kReportName)) {
        check.whyNot = "前回の報告(report.csv)が見つかりません";
        return check;
    }
    if (identity) {
        switch (matchSource(*identity)) {
            case SourceMatch::same: break;
            case SourceMatch::unrecorded:
            case SourceMatch::olderSame:
            case SourceMatch::olderDiffers:
                check.whyNot = "前回のスキャンは以前の版で行われ、同じカードかどうかを確かめる記録がありません";
                return check;
            case SourceMatch::unreadable:
                check.whyNot = "前回の読み取り元の記録(source.json)が読めないか、壊れています";
                return check;
            case SourceMatch::differs:
                check.whyNot = "前回とは別の読み取り元です(前回: " + recordedSource()->describe() + "、今回: " +
                               identity->describe() + ")";
                return check;
        }
    }
    check.checkpoint = c;
    return check;
}

std::optional<CarveCheckpoint> Session::checkpoint() const noexcept {
    try {
        auto text = readSessionFileAt(dir_.get(), kCheckpointName, CarveCheckpoint::kMaxFileBytes);
        return text ? CarveCheckpoint::decode(*text) : std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

void Session::prepareCheckpoint() noexcept {
    spare_.reset();
    UniqueFd fd(::openat(dir_.get(), kSpareName, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) return;
    const std::string fill(kSpareBytes, '\n');
    try {
        writeAll(fd.get(), fill, kSpareName);
    } catch (...) {
        ::unlinkat(dir_.get(), kSpareName, 0);
        return;
    }
    spare_ = std::move(fd);
}

void Session::saveCheckpoint(const CarveCheckpoint& checkpoint) noexcept {
    try {
        const std::string text = checkpoint.encode();
        // Overwriting blocks the spare already has needs no free space.
        if (spare_ && text.size() <= kSpareBytes) {
            const int fd = spare_.get();
            std::size_t done = 0;
            bool ok = true;
            while (ok && done < text.size()) {
                const ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
                if (n < 0 && errno == EINTR) continue;
                ok = n > 0;
                if (ok) done += static_cast<std::size_t>(n);
            }
            if (ok && ::ftruncate(fd, static_cast<off_t>(text.size())) == 0 && ::fsync(fd) == 0 &&
                ::renameat(dir_.get(), kSpareName, dir_.get(), kCheckpointName) == 0) {
                ::fsync(dir_.get());
                prepareCheckpoint();
                return;
            }
        }
        (void)tryWriteAtomicallyAt(dir_.get(), kCheckpointName, text);
    } catch (...) {
    }
}

void Session::removeCheckpoint() noexcept { ::unlinkat(dir_.get(), kCheckpointName, 0); }

void Session::dropCheckpointSpare() noexcept {
    if (!spare_) return;
    spare_.reset();
    ::unlinkat(dir_.get(), kSpareName, 0);
}

void Session::start(const std::optional<SourceIdentity>& identity, const std::string& whyNotContinued) {
    for (const char* name : {kCheckpointName, kReportName, kFoundName})
        if (existsAt(dir_.get(), name))
            throw Error(path_.string() + " には続けられない前回のスキャンの結果があります(" + whyNotContinued +
                        ")。前回の結果はそのまま残しています。別のフォルダでスキャンしてください。");
    if (identity) writeAtomicallyAt(dir_.get(), kIdentityName, identity->encode() + "\n", path_);
    writeAtomicallyAt(dir_.get(), kReportName, std::string(Carver::kReportHeader) + "\n", path_);
    writeAtomicallyAt(dir_.get(), kFoundName, "", path_);
}

void Session::trimLists(std::int64_t lastIndex) {
    rewriteLines(dir_.get(), kFoundName, path_, [&](std::string_view line, std::size_t) {
        if (line.empty()) return true;
        auto f = CarvedFileExtractor::decode(line);
        return f && f->index <= lastIndex;
    });
    rewriteLines(dir_.get(), kReportName, path_, [&](std::string_view line, std::size_t number) {
        if (number == 0) return true;  // the header
        auto index = reportLineIndex(line);
        return !index || *index <= lastIndex;
    });
    rewriteLines(dir_.get(), kChecksName, path_, [&](std::string_view line, std::size_t) {
        auto check = CarvedFileExtractor::decodeCheck(line);
        return check && check->index <= lastIndex;
    });
}

UniqueFd Session::appendingFound() const { return openForWritingAt(dir_.get(), kFoundName, O_CREAT | O_APPEND, path_); }
UniqueFd Session::appendingReport() const { return openForWritingAt(dir_.get(), kReportName, O_APPEND, path_); }

void Session::appendFound(const CarvedFile& file) const {
    appendWhole(appendingFound().get(), CarvedFileExtractor::encode(file) + "\n", pathOf(kFoundName));
}

void Session::appendCheck(const ContentCheck& check) const {
    UniqueFd fd = openForWritingAt(dir_.get(), kChecksName, O_CREAT | O_APPEND, path_);
    appendWhole(fd.get(), CarvedFileExtractor::encodeCheck(check) + "\n", pathOf(kChecksName));
}

void Session::eachFoundLine(std::optional<std::int64_t> sourceSize, std::int64_t* refused,
                            const std::function<void(CarvedFile&)>& take) const {
    UniqueFd fd = openSessionFileAt(dir_.get(), kFoundName);
    if (!fd) return;
    LineReader lines(fd.get(), CarvedFileExtractor::kMaxLine);
    std::string line;
    while (lines.next(line)) {
        if (line.empty()) continue;
        auto f = CarvedFileExtractor::decode(line);
        const auto pastTheEnd = [&](const CarvedFile& c) {
            if (!sourceSize) return false;
            if (c.runs.empty()) return c.offset + c.length > *sourceSize;
            return std::ranges::any_of(c.runs, [&](const ByteRun& r) { return r.offset + r.length > *sourceSize; });
        };
        if (!f || pastTheEnd(*f)) {
            if (refused) ++*refused;
            continue;
        }
        if (f->note) f->note = damage::inTodaysWords(*f->note);  // an older session's words
        take(*f);
    }
    if (refused) *refused += lines.skippedLong();
}

std::vector<CarvedFile> Session::loadFound(std::optional<std::int64_t> sourceSize, std::int64_t* refused) const noexcept {
    std::vector<CarvedFile> out;
    try {
        eachFoundLine(sourceSize, refused, [&](CarvedFile& f) { out.push_back(std::move(f)); });
        // Each verdict onto the record of its index (records are in index order).
        eachCheck(dir_.get(), [&](const ContentCheck& check) {
            auto f = std::lower_bound(out.begin(), out.end(), check.index,
                                      [](const CarvedFile& c, std::int64_t i) { return c.index < i; });
            if (f != out.end() && f->index == check.index) check.applyTo(*f);
        });
    } catch (...) {
    }
    return out;
}

FoundEntries Session::loadFoundEntries(std::optional<std::int64_t> sourceSize, std::int64_t* refused) const noexcept {
    FoundEntries out;
    try {
        // Indexes grow through a list a scan wrote; only one that does not
        // needs them all kept to tell repeats.
        std::int64_t last = 0;
        std::optional<std::unordered_set<std::int64_t>> seen;
        eachFoundLine(sourceSize, refused, [&](CarvedFile& f) {
            if (f.index <= last && !seen) {
                seen.emplace();
                for (std::size_t i = 0; i < out.size(); ++i) seen->insert(out[i].index);
            }
            if (seen && !seen->insert(f.index).second) {
                if (refused) ++*refused;
                return;
            }
            last = std::max(last, f.index);
            out.add(f);
        });
        eachCheck(dir_.get(), [&](const ContentCheck& check) { out.addCheck(check); });
    } catch (...) {
    }
    return out;
}

void Session::writeReport(const std::vector<CarvedFile>& files) const {
    std::string report = std::string(Carver::kReportHeader) + "\n";
    for (const auto& f : files) report += carveReportLine(f);
    writeAtomicallyAt(dir_.get(), kReportName, report, path_);
}

UniqueFd Session::thumbsFolder(bool create) const { return openDirectoryAt(dir_.get(), kThumbsName, create, path_); }

}  // namespace tamsel
