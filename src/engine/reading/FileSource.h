#pragma once
// Reads a disk (block device) or an image file through a read-only
// descriptor. Healthy stretches are read in big aligned reads; a failing read
// is bisected down to the device's logical sector, each unreadable sector is
// retried (or, read gently, each sector of it read once alone), then
// zero-filled and remembered, so that it is never read from the
// device again during the job and counted only once. A medium that goes away
// (unplugged, server stopped) is not damage: reads then throw SourceGoneError.

#include <atomic>
#include <mutex>
#include <optional>

#include "engine/common/Cancellation.h"
#include "engine/reading/BadRangeSet.h"
#include "engine/reading/RandomAccessSource.h"

namespace tamsel {

class FileSource final : public RandomAccessSource, public std::enable_shared_from_this<FileSource> {
public:
    // Opens through PrivilegedOpen::openReadOnly; throws PrivilegedOpenError, or
    // SourceOpenError for anything but a non-empty block device or regular file.
    FileSource(const std::string& path, int retries);
    // Takes ownership of an open descriptor (tests); the same checks apply,
    // and the descriptor is closed when they fail.
    static std::shared_ptr<FileSource> adopt(int fd, const std::string& displayName, int retries);
    ~FileSource() override;

    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    std::int64_t size() const override { return size_; }
    // Unreadable bytes this source met, each counted once.
    std::int64_t badBytes() const override;
    const std::string& displayName() const override { return displayName_; }
    // Throws SourceGoneError when the medium has gone away.
    Bytes pread(std::int64_t offset, std::int64_t count) override;
    // Reads in pieces of kGentlePiece; a failed piece is read sector by
    // sector, each once, with no retries.
    Bytes preadGently(std::int64_t offset, std::int64_t count) override;
    static constexpr std::int64_t kGentlePiece = 1LL << 20;
    // Straight into `buffer` when the piece is whole units and the buffer aligned.
    std::int64_t preadGentlyInto(std::int64_t offset, std::int64_t count, std::uint8_t* buffer) override;
    // A second reader of the same medium with its own count; both share what
    // is known to be unreadable, so neither reads a known-bad sector again.
    std::shared_ptr<RandomAccessSource> duplicate() override;
    void close() override;

    // The ranges counted in badBytes, merged and sorted.
    std::vector<BadRange> badRanges() const override;
    std::int64_t knownBadBytesIn(std::int64_t offset, std::int64_t length) const override;
    // Ranges known to be unreadable without reading them (a raw image's map):
    // they read as zeros and are counted when met.
    void markUnreadable(const std::vector<BadRange>& ranges);

    // Reads start on multiples of this (at least 4096).
    std::int64_t alignment() const { return alignment_; }
    // The smallest piece a failing read is split into: the logical sector.
    std::int64_t unit() const override { return unit_; }
    // One device read; throws SourceGoneError when the medium has gone away.
    std::optional<Bytes> readOnce(std::int64_t offset, std::int64_t count) override;
    void setCancellation(const CancellationToken& token) override;
    int retries() const { return retries_; }
    // True when the device is read unbuffered (O_DIRECT).
    bool isUnbuffered() const { return unbuffered_; }

private:
    // What all readers of one medium share.
    struct Medium {
        std::mutex lock;
        BadRangeSet bad;
        std::atomic<std::int64_t> goodUnit{-1};  // a unit that read fine, for telling damage from absence
        // Single reads failing one after the other (scraping a bad area) are
        // damage far more often than absence: the medium is looked for at
        // the first failure after a good read, then at most every few seconds.
        std::atomic<bool> failingRun{false};
        std::atomic<std::int64_t> lastPresenceCheck{0};  // steady clock, ns
        std::atomic<bool> gone{false};
        std::atomic<int> goneCode{0};
    };

    struct Adopt {};
    FileSource(Adopt, int fd, std::string displayName, int retries);
    FileSource(Adopt, int fd, const FileSource& from);
    void learnGeometry();

    Bytes readSpan(std::int64_t offset, std::int64_t count, bool gently);
    void readAlignedInto(std::uint8_t* buffer, std::int64_t alignedStart, std::int64_t length, bool gently);
    void readGap(std::uint8_t* buf, std::int64_t offset, std::int64_t length, std::vector<BadRange>& met,
                 const CancellationToken& token, bool gently);
    bool tryReadInto(std::uint8_t* buf, std::int64_t offset, std::int64_t length);
    bool mediumLooksGone();
    bool presenceCheckDue();
    CancellationToken cancellation() const;
    [[noreturn]] void throwGone(int code);
    std::int64_t currentSize() const;

    int fd_ = -1;
    std::int64_t size_ = 0;
    std::string displayName_;
    std::int64_t alignment_ = 4096;
    std::int64_t unit_ = 512;
    int retries_ = 0;
    bool unbuffered_ = false;
    bool isDevice_ = false;
    std::shared_ptr<Medium> medium_ = std::make_shared<Medium>();

    mutable std::mutex lock_;
    BadRangeSet counted_;
    CancellationToken token_ = CancellationToken::none();
    std::atomic<bool> closed_{false};
};

}  // namespace tamsel
