#include "engine/common/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

std::optional<std::string> readWholeFile(const fs::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

std::optional<std::string> readSessionFile(const fs::path& path, std::int64_t maxBytes) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > maxBytes) return std::nullopt;
    std::string out;
    out.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::read(fd.get(), out.data() + done, out.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    out.resize(done);
    return out;
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

}  // namespace tamsel
