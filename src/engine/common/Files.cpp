#include "engine/common/Files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <random>

#include "engine/common/Error.h"

namespace tamsel {

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
}

bool UniqueFd::reset(int fd) {
    bool ok = true;
    if (fd_ >= 0) ok = ::close(fd_) == 0;
    fd_ = fd;
    return ok;
}

namespace {

std::string tempSuffix() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    std::string s = ".tmp-";
    auto v = rng();
    for (int i = 0; i < 12; ++i) s += digits[(v >> (i * 4)) & 15];
    return s;
}

void syncDirectoryOf(const fs::path& path) {
    fs::path dir = path.parent_path();
    if (dir.empty()) dir = ".";
    int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d >= 0) {
        ::fsync(d);
        ::close(d);
    }
}

}  // namespace

void writeAtomically(const fs::path& path, std::string_view data) {
    fs::path tmp = path;
    tmp += tempSuffix();
    UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) throwFileError(path.string(), "作成できませんでした");
    try {
        writeAll(fd.get(), data, path);
        if (::fsync(fd.get()) != 0) throwFileError(path.string(), "書き込めませんでした");
        if (!fd.reset()) throwFileError(path.string(), "書き込めませんでした");
        if (::rename(tmp.c_str(), path.c_str()) != 0) throwFileError(path.string(), "置き換えられませんでした");
    } catch (...) {
        int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
        throw;
    }
    syncDirectoryOf(path);
}

bool tryWriteAtomically(const fs::path& path, std::string_view data) noexcept {
    try {
        writeAtomically(path, data);
        return true;
    } catch (...) {
        return false;
    }
}

namespace {
// Nothing when a read fails or the file holds more than `maxBytes`.
std::optional<std::string> readToEnd(int fd, std::int64_t maxBytes) {
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        if (static_cast<std::int64_t>(out.size()) + n > maxBytes) return std::nullopt;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}
}  // namespace

std::optional<std::string> readWholeFile(const fs::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    return readToEnd(fd.get(), std::numeric_limits<std::int64_t>::max());
}

std::optional<std::string> readSessionFile(const fs::path& path, std::int64_t maxBytes) {
    return readSessionFileAt(AT_FDCWD, path.string(), maxBytes);
}

void makeDirectories(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        // create_directories fails on an existing non-folder too; report its errno.
        throw FileError(ec.value(), dir.string(), "作成できませんでした");
    }
    if (!fs::is_directory(dir, ec)) throw FileError(ENOTDIR, dir.string(), "作成できませんでした");
}

void writeAllAt(int fd, std::span<const std::uint8_t> data, std::int64_t offset, const fs::path& name) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throwFileError(name.string(), "書き込めませんでした");
        }
        if (n == 0) throw FileError(ENOSPC, name.string(), "書き込めませんでした");
        done += static_cast<std::size_t>(n);
    }
}

void writeAll(int fd, std::span<const std::uint8_t> data, const fs::path& name) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            throwFileError(name.string(), "書き込めませんでした");
        }
        if (n == 0) throw FileError(ENOSPC, name.string(), "書き込めませんでした");
        done += static_cast<std::size_t>(n);
    }
}

void writeAll(int fd, std::string_view data, const fs::path& name) {
    writeAll(fd, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()), name);
}

UniqueFd openForWriting(const fs::path& path, int extraFlags) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | extraFlags, 0644));
    if (!fd) throwFileError(path.string(), "開けませんでした");
    return fd;
}

void appendWhole(int fd, std::string_view data, const fs::path& name) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) throwFileError(name.string(), "書き込めませんでした");
    if (!S_ISREG(st.st_mode)) throw FileError(EINVAL, name.string(), "書き込めませんでした");
    try {
        writeAll(fd, data, name);
    } catch (...) {
        const int saved = errno;
        (void)::ftruncate(fd, st.st_size);
        errno = saved;
        throw;
    }
}

UniqueFd openDirectory(const fs::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) throwFileError(path.string(), "開けませんでした");
    return fd;
}

UniqueFd openDirectoryAt(int dir, const std::string& name, bool create, const fs::path& dirName) {
    if (create && ::mkdirat(dir, name.c_str(), 0755) != 0 && errno != EEXIST)
        throwFileError((dirName / name).string(), "作成できませんでした");
    UniqueFd fd(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) throwFileError((dirName / name).string(), "開けませんでした");
    return fd;
}

UniqueFd openForWritingAt(int dir, const std::string& name, int extraFlags, const fs::path& dirName) {
    UniqueFd fd(::openat(dir, name.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | extraFlags, 0644));
    if (!fd) throwFileError((dirName / name).string(), "開けませんでした");
    return fd;
}

AtomicFileWriter::AtomicFileWriter(int dir, std::string name, const fs::path& dirName)
    : dir_(dir), name_(std::move(name)), temp_(name_ + tempSuffix()), shown_(dirName / name_) {
    fd_ = UniqueFd(::openat(dir_, temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd_) throwFileError(shown_.string(), "作成できませんでした");
}

AtomicFileWriter::~AtomicFileWriter() {
    if (!committed_) ::unlinkat(dir_, temp_.c_str(), 0);
}

void AtomicFileWriter::append(std::string_view data) {
    buffer_ += data;
    if (buffer_.size() >= kBufferBytes) flush();
}

void AtomicFileWriter::flush() {
    writeAll(fd_.get(), buffer_, shown_);
    buffer_.clear();
}

void AtomicFileWriter::commit() {
    flush();
    if (::fsync(fd_.get()) != 0) throwFileError(shown_.string(), "書き込めませんでした");
    if (!fd_.reset()) throwFileError(shown_.string(), "書き込めませんでした");
    if (::renameat(dir_, temp_.c_str(), dir_, name_.c_str()) != 0) throwFileError(shown_.string(), "置き換えられませんでした");
    committed_ = true;
    ::fsync(dir_);
}

void writeAtomicallyAt(int dir, const std::string& name, std::string_view data, const fs::path& dirName) {
    AtomicFileWriter file(dir, name, dirName);
    file.append(data);
    file.commit();
}

bool tryWriteAtomicallyAt(int dir, const std::string& name, std::string_view data) noexcept {
    try {
        writeAtomicallyAt(dir, name, data, {});
        return true;
    } catch (...) {
        return false;
    }
}

UniqueFd openSessionFileAt(int dir, const std::string& name) {
    UniqueFd fd(::openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) return {};
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    return fd;
}

std::optional<std::string> readSessionFileAt(int dir, const std::string& name, std::int64_t maxBytes) {
    UniqueFd fd = openSessionFileAt(dir, name);
    if (!fd) return std::nullopt;
    return readToEnd(fd.get(), maxBytes);
}

bool existsAt(int dir, const std::string& name) {
    struct stat st {};
    return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool tryLock(int fd, bool exclusive) {
    while (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        return errno != EWOULDBLOCK;
    }
    return true;
}

UniqueFd lockFileAt(int dir, const std::string& name, bool exclusive, const fs::path& dirName) {
    UniqueFd fd(::openat(dir, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) throwFileError((dirName / name).string(), "作成できませんでした");
    if (!S_ISREG(st.st_mode)) throw FileError(EINVAL, (dirName / name).string(), "作成できませんでした");
    if (!tryLock(fd.get(), exclusive)) return {};
    return fd;
}

bool LineReader::fill() {
    if (eof_ || failed_) return false;
    if (start_ > 0) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            failed_ = true;
            return false;
        }
        if (n == 0) {
            eof_ = true;
            return false;
        }
        buffer_.append(buf, static_cast<std::size_t>(n));
        return true;
    }
}

bool LineReader::next(std::string& line) {
    bool skipping = false;
    for (;;) {
        const auto nl = buffer_.find('\n', start_);
        if (nl != std::string::npos) {
            const std::size_t from = start_;
            start_ = nl + 1;
            if (skipping) {
                skipping = false;
                continue;
            }
            line.assign(buffer_, from, nl - from);
            return true;
        }
        if (buffer_.size() - start_ > maxLine_) {
            // Too long to be a record: drop what is buffered and the rest of the line.
            if (!skipping) ++skippedLong_;
            skipping = true;
            buffer_.clear();
            start_ = 0;
        }
        if (!fill()) {
            if (skipping || start_ >= buffer_.size()) return false;
            line.assign(buffer_, start_, std::string::npos);
            start_ = buffer_.size();
            torn_ = true;
            return true;
        }
    }
}

}  // namespace tamsel
