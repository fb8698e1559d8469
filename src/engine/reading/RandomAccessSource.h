#pragma once
// The one reading interface of every engine: positional, thread-safe, and a
// read never fails. Unreadable bytes come back as zeros and are counted.

#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/common/Bytes.h"
#include "engine/common/Cancellation.h"
#include "engine/common/Error.h"

namespace tamsel {

struct BadRange {
    std::int64_t offset = 0;
    std::int64_t length = 0;
    friend bool operator==(const BadRange&, const BadRange&) = default;
};

class RandomAccessSource {
public:
    virtual ~RandomAccessSource() = default;

    virtual std::int64_t size() const = 0;
    virtual std::int64_t badBytes() const = 0;
    virtual const std::string& displayName() const = 0;
    // Exactly min(count, size - offset) bytes for an offset inside the
    // source and count >= 1; otherwise empty.
    virtual Bytes pread(std::int64_t offset, std::int64_t count) = 0;
    virtual std::shared_ptr<RandomAccessSource> duplicate() = 0;
    virtual void close() = 0;

    // The unreadable ranges this source has met (and counted), merged and sorted.
    virtual std::vector<BadRange> badRanges() const { return {}; }
    // How many bytes of [offset, offset + length) are known to be unreadable,
    // by this source or any duplicate of it. Each unreadable byte is counted
    // in `badBytes` only once, so a reader that wants to know whether the
    // bytes it just read were damaged asks this instead of comparing counts.
    virtual std::int64_t knownBadBytesIn(std::int64_t offset, std::int64_t length) const {
        (void)offset;
        (void)length;
        return 0;
    }

    // One read of the medium, not split and not retried: the bytes, or
    // nothing when any of them could not be read (then nothing is recorded:
    // the caller knows only that the piece failed). A piece known to be
    // unreadable fails without being read. For engines that must read a
    // failing disk as little as possible.
    virtual std::optional<Bytes> readOnce(std::int64_t offset, std::int64_t count) {
        if (knownBadBytesIn(offset, count) > 0) return std::nullopt;
        return pread(offset, count);
    }
    // Like pread, for jobs that read everything once (the scan, sampling):
    // a failed read is neither halved nor retried, its sectors are read once
    // each on their own, so with the memory of bad ranges no bad sector is
    // read more than twice in a job.
    virtual Bytes preadGently(std::int64_t offset, std::int64_t count) { return pread(offset, count); }
    // As preadGently, into the caller's page-aligned `buffer` (for a reader
    // that keeps its own blocks; on a device they are the DMA buffers).
    // `offset` is a multiple of 4096. Returns the bytes delivered.
    virtual std::int64_t preadGentlyInto(std::int64_t offset, std::int64_t count, std::uint8_t* buffer) {
        Bytes b = preadGently(offset, count);
        if (!b.empty()) std::memcpy(buffer, b.data(), b.size());
        return static_cast<std::int64_t>(b.size());
    }
    // The smallest piece the medium reads or fails on its own (the logical sector).
    virtual std::int64_t unit() const { return 512; }
    // The job's token: once it is cancelled, a read stops before its next
    // device read and throws ReadCancelled.
    virtual void setCancellation(const CancellationToken& token) { (void)token; }
};

// A read stopped because its job was cancelled. Not damage and not a
// failure: engines end as on any other stop.
class ReadCancelled : public std::exception {
public:
    const char* what() const noexcept override { return "read cancelled"; }
};

class SourceOpenError : public Error {
public:
    // unreadableFormat: neither a disk (block device) nor a regular file;
    // empty: a disk or file of 0 bytes.
    enum class Kind { unreadableFormat, empty };
    static SourceOpenError unreadableFormat(const std::string& name) {
        return SourceOpenError(Kind::unreadableFormat, name,
                               name + " は読み取れる形式ではありません(ディスクでもディスクイメージのファイルでもありません)。");
    }
    static SourceOpenError empty(const std::string& name) {
        return SourceOpenError(Kind::empty, name, name + " は空です(0 バイト)。読み取るものがありません。");
    }
    Kind kind() const { return kind_; }
    const std::string& name() const { return name_; }

private:
    SourceOpenError(Kind kind, const std::string& name, std::string description)
        : Error(std::move(description)), kind_(kind), name_(name) {}
    Kind kind_;
    std::string name_;
};

// The medium went away while it was read: unplugged, powered off, or its
// server stopped. Not damage: nothing more can be read, so the job ends here
// and can be resumed once the disk is back.
class SourceGoneError : public Error {
public:
    SourceGoneError(const std::string& name, int code)
        : Error("読み取り元のディスク(" + name +
                ")が取り外されたか、応答しなくなりました。つなぎ直してから、もう一度始めると続きから再開できます。"),
          name_(name), code_(code) {}
    const std::string& name() const { return name_; }
    // The error number of the failed read, or 0 when the medium shrank.
    int code() const { return code_; }

private:
    std::string name_;
    int code_;
};

// Gives a source the job's token for as long as the engine runs.
class CancellationScope {
public:
    CancellationScope(RandomAccessSource& source, const CancellationToken& token) : source_(source) {
        source_.setCancellation(token);
    }
    ~CancellationScope() { source_.setCancellation(CancellationToken::none()); }
    CancellationScope(const CancellationScope&) = delete;
    CancellationScope& operator=(const CancellationScope&) = delete;

private:
    RandomAccessSource& source_;
};

// Opens what the user picked (a device node or an image file) with 2 retries.
std::shared_ptr<RandomAccessSource> openRandomAccessSource(const std::string& path);

}  // namespace tamsel
