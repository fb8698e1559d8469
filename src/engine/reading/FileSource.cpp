#include "engine/reading/FileSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>

#include "engine/reading/PrivilegedOpen.h"
#include "engine/reading/BadRangeMap.h"
#include "platform/linux/BlockDevice.h"

namespace tamsel {

namespace {
constexpr std::int64_t kMinAlignment = 4096;
// Regular files are split down to this when a read fails.
constexpr std::int64_t kFileUnit = 512;
// While single reads keep failing, how often the medium is looked for.
constexpr std::chrono::nanoseconds kPresenceEvery = std::chrono::seconds(2);

// Errors that say the medium itself is no longer there, as opposed to a
// sector that cannot be read.
bool meansGone(int code) {
    return code == ENODEV || code == ENXIO || code == ENOMEDIUM || code == ESHUTDOWN || code == ENOTCONN;
}

int openSource(const std::string& path) {
    try {
        return PrivilegedOpen::openReadOnly(path);
    } catch (const PrivilegedOpenError& e) {
        // A socket cannot be opened at all (ENXIO); say what it is rather than why.
        struct stat st {};
        if (e.kind() == PrivilegedOpenError::Kind::openFailed && ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
            throw SourceOpenError::unreadableFormat(path);
        throw;
    }
}
}  // namespace

FileSource::FileSource(const std::string& path, int retries)
    : fd_(openSource(path)), displayName_(path), retries_(std::max(0, retries)) {
    learnGeometry();
}

FileSource::FileSource(Adopt, int fd, std::string displayName, int retries)
    : fd_(fd), displayName_(std::move(displayName)), retries_(std::max(0, retries)) {
    learnGeometry();
}

FileSource::FileSource(Adopt, int fd, const FileSource& from)
    : fd_(fd), size_(from.size_), displayName_(from.displayName_), alignment_(from.alignment_), unit_(from.unit_),
      retries_(from.retries_), unbuffered_(from.unbuffered_), isDevice_(from.isDevice_), medium_(from.medium_) {}

std::shared_ptr<FileSource> FileSource::adopt(int fd, const std::string& displayName, int retries) {
    return std::shared_ptr<FileSource>(new FileSource(Adopt{}, fd, displayName, retries));
}

FileSource::~FileSource() { close(); }

void FileSource::learnGeometry() {
    // Only disks and files hold data to recover; a FIFO, a terminal or
    // /dev/null would hang or read as an empty, healthy medium.
    auto refuse = [&](SourceOpenError e) {
        ::close(fd_);
        fd_ = -1;
        throw e;
    };
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISREG(st.st_mode)))
        refuse(SourceOpenError::unreadableFormat(displayName_));
    // Opened without blocking (so that a FIFO could not hang the open); reads block.
    int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK)) ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
    ::fcntl(fd_, F_SETFD, FD_CLOEXEC);

    isDevice_ = S_ISBLK(st.st_mode);
    if (!isDevice_) {
        alignment_ = kMinAlignment;
        unit_ = kFileUnit;
        size_ = st.st_size;
    } else {
        auto geometry = platform::queryBlockGeometry(fd_);
        unit_ = geometry.blockSize != 0 ? geometry.blockSize : kFileUnit;
        alignment_ = std::max<std::int64_t>(unit_, kMinAlignment);
        if (geometry.byteCount != 0) size_ = static_cast<std::int64_t>(geometry.byteCount);
        if (size_ == 0) {
            off_t end = ::lseek(fd_, 0, SEEK_END);
            size_ = end < 0 ? 0 : end;
            ::lseek(fd_, 0, SEEK_SET);
        }
    }
    if (size_ <= 0) refuse(SourceOpenError::empty(displayName_));
    // A device is read unbuffered, so that the page cache neither hides nor
    // widens a failing sector.
    if (isDevice_) unbuffered_ = platform::enableDirectIO(fd_, alignment_, size_);
}

std::int64_t FileSource::badBytes() const {
    std::lock_guard g(lock_);
    return counted_.totalBytes();
}

std::vector<BadRange> FileSource::badRanges() const {
    std::lock_guard g(lock_);
    return counted_.ranges();
}

std::int64_t FileSource::knownBadBytesIn(std::int64_t offset, std::int64_t length) const {
    std::lock_guard g(medium_->lock);
    return medium_->bad.bytesWithin(offset, length);
}

void FileSource::markUnreadable(const std::vector<BadRange>& ranges) {
    std::lock_guard g(medium_->lock);
    for (const auto& r : ranges) {
        if (r.offset < 0 || r.offset >= size_ || r.length < 1) continue;
        medium_->bad.add(r.offset, std::min(r.length, size_ - r.offset));
    }
}

Bytes FileSource::pread(std::int64_t offset, std::int64_t count) { return readSpan(offset, count, false); }

Bytes FileSource::preadGently(std::int64_t offset, std::int64_t count) { return readSpan(offset, count, true); }

Bytes FileSource::readSpan(std::int64_t offset, std::int64_t count, bool gently) {
    if (offset < 0 || offset >= size_ || count < 1) return {};
    // Reading a closed source is a caller's mistake; it must not pass as damage.
    if (closed_.load()) throw SourceGoneError(displayName_, EBADF);
    if (medium_->gone.load()) throwGone(medium_->goneCode.load());
    std::int64_t n = std::min(count, size_ - offset);
    std::int64_t end = offset + n;
    std::int64_t alignedStart = offset / alignment_ * alignment_;
    std::int64_t alignedEnd = std::min((end + alignment_ - 1) / alignment_ * alignment_, size_);
    const std::int64_t length = alignedEnd - alignedStart;
    Bytes span = Bytes::uninitialised(static_cast<std::size_t>(length));
    readAlignedInto(span.data(), alignedStart, length, gently);
    span.narrow(static_cast<std::size_t>(offset - alignedStart), static_cast<std::size_t>(n));
    return span;
}

std::int64_t FileSource::preadGentlyInto(std::int64_t offset, std::int64_t count, std::uint8_t* buffer) {
    if (offset < 0 || offset >= size_ || count < 1) return 0;
    const std::int64_t n = std::min(count, size_ - offset);
    // Whole units into the caller's buffer, which an unbuffered read fills directly.
    if (offset % alignment_ != 0 || (offset + n < size_ && n % alignment_ != 0) ||
        reinterpret_cast<std::uintptr_t>(buffer) % static_cast<std::uintptr_t>(alignment_) != 0)
        return RandomAccessSource::preadGentlyInto(offset, count, buffer);
    if (closed_.load()) throw SourceGoneError(displayName_, EBADF);
    if (medium_->gone.load()) throwGone(medium_->goneCode.load());
    readAlignedInto(buffer, offset, n, true);
    return n;
}

void FileSource::readAlignedInto(std::uint8_t* buffer, std::int64_t alignedStart, std::int64_t length, bool gently) {
    const std::int64_t alignedEnd = alignedStart + length;
    const CancellationToken token = cancellation();
    std::vector<BadRange> known;
    {
        std::lock_guard g(medium_->lock);
        known = medium_->bad.within(alignedStart, length);
    }
    // Known-bad stretches are zeros at once; only the rest goes to the device.
    std::vector<BadRange> met;
    std::int64_t at = alignedStart;
    for (const auto& k : known) {
        if (k.offset > at) readGap(buffer + (at - alignedStart), at, k.offset - at, met, token, gently);
        std::memset(buffer + (k.offset - alignedStart), 0, static_cast<std::size_t>(k.length));
        met.push_back(k);
        at = k.offset + k.length;
    }
    if (at < alignedEnd) readGap(buffer + (at - alignedStart), at, alignedEnd - at, met, token, gently);
    if (!met.empty()) {
        std::lock_guard g(lock_);
        for (const auto& r : met) counted_.add(r.offset, r.length);
    }
}

void FileSource::readGap(std::uint8_t* buf, std::int64_t offset, std::int64_t length, std::vector<BadRange>& met,
                         const CancellationToken& token, bool gently) {
    // Bisect in place: each piece is tried whole before it is split again,
    // on sector boundaries, down to a single sector. Read gently, the gap is
    // tried in pieces and a failed piece goes straight to its sectors: every
    // further read of a bad sector inside it would be one more read of it.
    struct Piece {
        std::int64_t offset, length;
    };
    std::vector<Piece> stack;
    if (gently) {
        for (std::int64_t at = offset + length; at > offset;) {
            const std::int64_t from = std::max(offset, (at - 1) / kGentlePiece * kGentlePiece);
            stack.push_back({from, at - from});
            at = from;
        }
    } else {
        stack.push_back({offset, length});
    }
    std::vector<BadRange> found;
    bool checkedPresence = false;
    // Sectors already found unreadable stay known (they were read); what was
    // not read yet is not guessed at.
    auto stopIfCancelled = [&] {
        if (!token.isCancelled()) return;
        if (!found.empty()) {
            std::lock_guard g(medium_->lock);
            for (const auto& r : found) medium_->bad.add(r.offset, r.length);
        }
        throw ReadCancelled();
    };
    while (!stack.empty()) {
        stopIfCancelled();
        Piece p = stack.back();
        stack.pop_back();
        std::uint8_t* at = buf + (p.offset - offset);
        const std::int64_t pEnd = p.offset + p.length;
        if (tryReadInto(at, p.offset, p.length)) {
            const std::int64_t firstUnit = (p.offset + unit_ - 1) / unit_ * unit_;
            if (firstUnit < pEnd) medium_->goodUnit.store(firstUnit);
            medium_->failingRun.store(false);
            continue;
        }
        const std::int64_t firstBoundary = (p.offset / unit_ + 1) * unit_;
        if (firstBoundary >= pEnd) {
            bool ok = false;
            for (int attempt = 0; attempt < (gently ? 0 : retries_) && !ok; ++attempt) {
                stopIfCancelled();
                ok = tryReadInto(at, p.offset, p.length);
            }
            if (ok) continue;
            // The first unreadable sector of a read: is the medium still there at all?
            if (!checkedPresence) {
                checkedPresence = true;
                if (mediumLooksGone()) throwGone(0);
            }
            std::memset(at, 0, static_cast<std::size_t>(p.length));
            if (!found.empty() && found.back().offset + found.back().length == p.offset)
                found.back().length += p.length;
            else
                found.push_back({p.offset, p.length});
            continue;
        }
        if (gently) {
            for (std::int64_t end = pEnd; end > p.offset;) {
                const std::int64_t from = std::max(p.offset, (end - 1) / unit_ * unit_);
                stack.push_back({from, end - from});
                end = from;
            }
            continue;
        }
        const std::int64_t mid = std::max(firstBoundary, (p.offset + p.length / 2) / unit_ * unit_);
        // Second half pushed first so the first half is read first.
        stack.push_back({mid, pEnd - mid});
        stack.push_back({p.offset, mid - p.offset});
    }
    if (found.empty()) return;
    {
        std::lock_guard g(medium_->lock);
        for (const auto& r : found) medium_->bad.add(r.offset, r.length);
    }
    met.insert(met.end(), found.begin(), found.end());
    std::sort(met.begin(), met.end(), [](const BadRange& a, const BadRange& b) { return a.offset < b.offset; });
}

std::optional<Bytes> FileSource::readOnce(std::int64_t offset, std::int64_t count) {
    if (offset < 0 || offset >= size_ || count < 1) return Bytes{};
    if (closed_.load()) throw SourceGoneError(displayName_, EBADF);
    if (medium_->gone.load()) throwGone(medium_->goneCode.load());
    const std::int64_t n = std::min(count, size_ - offset);
    // Unbuffered reads cover whole sectors: the piece is widened to them.
    const std::int64_t start = offset / unit_ * unit_;
    const std::int64_t end = std::min((offset + n + unit_ - 1) / unit_ * unit_, size_);
    if (knownBadBytesIn(start, end - start) > 0) return std::nullopt;
    Bytes out = Bytes::uninitialised(static_cast<std::size_t>(end - start));
    if (!tryReadInto(out.data(), start, end - start)) {
        if (presenceCheckDue() && mediumLooksGone()) throwGone(0);
        return std::nullopt;
    }
    medium_->failingRun.store(false);
    const std::int64_t firstUnit = (start + unit_ - 1) / unit_ * unit_;
    if (firstUnit < end) medium_->goodUnit.store(firstUnit);
    out.narrow(static_cast<std::size_t>(offset - start), static_cast<std::size_t>(n));
    return out;
}

void FileSource::setCancellation(const CancellationToken& token) {
    std::lock_guard g(lock_);
    token_ = token;
}

CancellationToken FileSource::cancellation() const {
    std::lock_guard g(lock_);
    return token_;
}

bool FileSource::tryReadInto(std::uint8_t* buf, std::int64_t offset, std::int64_t length) {
    std::int64_t done = 0;
    while (done < length) {
        ssize_t r = ::pread(fd_, buf + done, static_cast<std::size_t>(length - done), static_cast<off_t>(offset + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            if (meansGone(errno)) throwGone(errno);
            return false;
        }
        if (r == 0) break;
        done += r;
    }
    if (done < length) std::memset(buf + done, 0, static_cast<std::size_t>(length - done));
    return true;
}

std::int64_t FileSource::currentSize() const {
    if (isDevice_) {
        auto geometry = platform::queryBlockGeometry(fd_);
        return static_cast<std::int64_t>(geometry.byteCount);
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return meansGone(errno) ? 0 : size_;
    return st.st_size;
}

bool FileSource::presenceCheckDue() {
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::steady_clock::now().time_since_epoch()).count();
    const bool firstFailure = !medium_->failingRun.exchange(true);
    if (!firstFailure && now - medium_->lastPresenceCheck.load() < kPresenceEvery.count()) return false;
    medium_->lastPresenceCheck.store(now);
    return true;
}

bool FileSource::mediumLooksGone() {
    // A removed disk reports a smaller (zero) size.
    if (currentSize() < size_) return true;
    // A sector that read fine a moment ago and now fails means the medium
    // stopped answering altogether (a server or bridge that went away
    // reports plain EIO everywhere).
    const std::int64_t good = medium_->goodUnit.load();
    if (good < 0 || good >= size_) return false;
    Bytes probe = Bytes::uninitialised(static_cast<std::size_t>(alignment_));
    return !tryReadInto(probe.data(), good, std::min(unit_, size_ - good));
}

void FileSource::throwGone(int code) {
    medium_->goneCode.store(code);
    medium_->gone.store(true);
    throw SourceGoneError(displayName_, code);
}

std::shared_ptr<RandomAccessSource> FileSource::duplicate() {
    std::lock_guard g(lock_);
    if (closed_.load()) return nullptr;
    int copy = ::fcntl(fd_, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) return nullptr;
    return std::shared_ptr<FileSource>(new FileSource(Adopt{}, copy, *this));
}

void FileSource::close() {
    std::lock_guard g(lock_);
    if (closed_.exchange(true)) return;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::shared_ptr<RandomAccessSource> openRandomAccessSource(const std::string& path) {
    auto source = std::make_shared<FileSource>(path, 2);
    // A raw image read as the device it was copied from: the ranges its map
    // lists as unreadable read as unreadable again.
    if (!source->isUnbuffered()) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) source->markUnreadable(loadBadRangeMap(path, source->size()));
    }
    return source;
}

}  // namespace tamsel
