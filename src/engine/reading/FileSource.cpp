#include "engine/reading/FileSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/reading/AuthOpen.h"
#include "platform/linux/BlockDevice.h"

namespace tamsel {

namespace {
constexpr std::int64_t kMinAlignment = 4096;
}

FileSource::FileSource(const std::string& path, int retries)
    : fd_(AuthOpen::openReadOnly(path)), displayName_(path), retries_(std::max(0, retries)) {
    learnGeometry();
}

FileSource::FileSource(Adopt, int fd, std::string displayName, int retries)
    : fd_(fd), displayName_(std::move(displayName)), retries_(std::max(0, retries)) {
    learnGeometry();
}

FileSource::FileSource(Adopt, int fd, const FileSource& from)
    : fd_(fd), size_(from.size_), displayName_(from.displayName_), alignment_(from.alignment_),
      retries_(from.retries_), unbuffered_(from.unbuffered_) {}

std::shared_ptr<FileSource> FileSource::adopt(int fd, const std::string& displayName, int retries) {
    return std::shared_ptr<FileSource>(new FileSource(Adopt{}, fd, displayName, retries));
}

FileSource::~FileSource() { close(); }

void FileSource::learnGeometry() {
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && !S_ISCHR(st.st_mode) && !S_ISBLK(st.st_mode)) {
        alignment_ = kMinAlignment;
        size_ = st.st_size;
        return;
    }
    auto geometry = platform::queryBlockGeometry(fd_);
    if (geometry.blockSize != 0) {
        alignment_ = std::max<std::int64_t>(geometry.blockSize, kMinAlignment);
        if (geometry.byteCount != 0) size_ = static_cast<std::int64_t>(geometry.byteCount);
    } else {
        alignment_ = kMinAlignment;
    }
    if (size_ == 0) {
        off_t end = ::lseek(fd_, 0, SEEK_END);
        size_ = end < 0 ? 0 : end;
        ::lseek(fd_, 0, SEEK_SET);
    }
    // A device is read unbuffered, so that the page cache neither hides nor
    // widens a failing sector.
    if (S_ISBLK(st.st_mode)) unbuffered_ = platform::enableDirectIO(fd_, alignment_, size_);
}

std::int64_t FileSource::badBytes() const {
    std::lock_guard g(lock_);
    return badBytes_;
}

std::vector<BadRange> FileSource::badRanges() const {
    std::lock_guard g(lock_);
    return badRanges_;
}

Bytes FileSource::pread(std::int64_t offset, std::int64_t count) {
    if (offset < 0 || offset >= size_ || count < 1) return {};
    std::int64_t n = std::min(count, size_ - offset);
    std::int64_t end = offset + n;
    std::int64_t alignedStart = offset / alignment_ * alignment_;
    std::int64_t alignedEnd = std::min((end + alignment_ - 1) / alignment_ * alignment_, size_);
    Bytes span = readAligned(alignedStart, alignedEnd - alignedStart);
    span.narrow(static_cast<std::size_t>(offset - alignedStart), static_cast<std::size_t>(n));
    return span;
}

Bytes FileSource::readAligned(std::int64_t offset, std::int64_t length) {
    if (length < 1) return {};
    Bytes buf = Bytes::uninitialised(static_cast<std::size_t>(length));
    // Bisect in place: each piece is tried whole before it is split again.
    struct Piece {
        std::int64_t offset, length;
    };
    std::vector<Piece> stack{{offset, length}};
    while (!stack.empty()) {
        Piece p = stack.back();
        stack.pop_back();
        std::uint8_t* at = buf.data() + (p.offset - offset);
        if (tryReadInto(at, p.offset, p.length)) continue;
        if (p.length <= alignment_) {
            bool ok = false;
            for (int attempt = 0; attempt < retries_ && !ok; ++attempt) ok = tryReadInto(at, p.offset, p.length);
            if (!ok) {
                std::memset(at, 0, static_cast<std::size_t>(p.length));
                recordBad(p.offset, p.length);
            }
            continue;
        }
        std::int64_t half = p.length / 2 / alignment_ * alignment_;
        if (half == 0) half = alignment_;
        // Second half pushed first so the first half is read (and logged) first.
        stack.push_back({p.offset + half, p.length - half});
        stack.push_back({p.offset, half});
    }
    return buf;
}

bool FileSource::tryReadInto(std::uint8_t* buf, std::int64_t offset, std::int64_t length) {
    std::int64_t done = 0;
    while (done < length) {
        ssize_t r = ::pread(fd_, buf + done, static_cast<std::size_t>(length - done), static_cast<off_t>(offset + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) break;
        done += r;
    }
    if (done < length) std::memset(buf + done, 0, static_cast<std::size_t>(length - done));
    return true;
}

void FileSource::recordBad(std::int64_t offset, std::int64_t length) {
    std::lock_guard g(lock_);
    badBytes_ += length;
    if (!badRanges_.empty() && badRanges_.back().offset + badRanges_.back().length == offset) {
        badRanges_.back().length += length;
    } else {
        badRanges_.push_back({offset, length});
    }
}

std::shared_ptr<RandomAccessSource> FileSource::duplicate() {
    std::lock_guard g(lock_);
    if (closed_) return nullptr;
    int copy = ::fcntl(fd_, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) return nullptr;
    return std::shared_ptr<FileSource>(new FileSource(Adopt{}, copy, *this));
}

void FileSource::close() {
    std::lock_guard g(lock_);
    if (closed_) return;
    closed_ = true;
    ::close(fd_);
    fd_ = -1;
}

std::shared_ptr<RandomAccessSource> openRandomAccessSource(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::string name = path;
        while (name.size() > 1 && name.back() == '/') name.pop_back();
        auto slash = name.rfind('/');
        if (slash != std::string::npos && name.size() > 1) name = name.substr(slash + 1);
        throw SourceOpenError::unreadableFormat(name);
    }
    return std::make_shared<FileSource>(path, 2);
}

}  // namespace tamsel
