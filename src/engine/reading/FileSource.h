#pragma once
// Reads a raw device or an image file through a read-only descriptor, in
// reads aligned to the device block size; a failing read is bisected until
// the unreadable units stand alone, each retried, then zero-filled and logged.

#include <mutex>

#include "engine/reading/RandomAccessSource.h"

namespace tamsel {

class FileSource final : public RandomAccessSource, public std::enable_shared_from_this<FileSource> {
public:
    // Opens through AuthOpen::openReadOnly; throws AuthOpenError.
    FileSource(const std::string& path, int retries);
    // Takes ownership of an open descriptor (tests, and the duplicate).
    static std::shared_ptr<FileSource> adopt(int fd, const std::string& displayName, int retries);
    ~FileSource() override;

    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    std::int64_t size() const override { return size_; }
    std::int64_t badBytes() const override;
    const std::string& displayName() const override { return displayName_; }
    Bytes pread(std::int64_t offset, std::int64_t count) override;
    std::shared_ptr<RandomAccessSource> duplicate() override;
    void close() override;

    std::vector<BadRange> badRanges() const;
    std::int64_t alignment() const { return alignment_; }
    int retries() const { return retries_; }
    // True when the device is read unbuffered (O_DIRECT).
    bool isUnbuffered() const { return unbuffered_; }

private:
    struct Adopt {};
    FileSource(Adopt, int fd, std::string displayName, int retries);
    FileSource(Adopt, int fd, const FileSource& from);
    void learnGeometry();

    Bytes readAligned(std::int64_t offset, std::int64_t length);
    bool tryReadInto(std::uint8_t* buf, std::int64_t offset, std::int64_t length);
    void recordBad(std::int64_t offset, std::int64_t length);

    int fd_ = -1;
    std::int64_t size_ = 0;
    std::string displayName_;
    std::int64_t alignment_ = 4096;
    int retries_ = 0;
    bool unbuffered_ = false;

    mutable std::mutex lock_;
    std::int64_t badBytes_ = 0;
    std::vector<BadRange> badRanges_;
    bool closed_ = false;
};

}  // namespace tamsel
