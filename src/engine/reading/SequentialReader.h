#pragma once
// One sequential reader for a job that reads a whole medium front to back
// (the carve scan): a thread reads ahead, block after block, into a small
// ring of aligned blocks, and every read of the job is served from the ring
// as a view of its memory, without copying. Each byte of the medium is read
// once: a read beyond the ring moves it on (the blocks in between are still
// read, so that their damage is known), and only a read behind the ring's
// start, which is rare, goes to the medium again.
//
// The ring is mapped twice, back to back, so any stretch of it is contiguous
// memory however it wraps. On a device read unbuffered its blocks are the
// DMA buffers. One consumer thread at a time; views may be dropped anywhere.

#include <cstdint>
#include <memory>
#include <optional>
#include <thread>

#include "engine/common/Cancellation.h"
#include "engine/reading/ForwardingSource.h"

namespace tamsel {

class CachingSource;
class CountingSource;

class SequentialReader final : public ForwardingSource {
public:
    static constexpr std::int64_t kBlock = 1LL << 20;
    static constexpr int kBlocks = 12;

    // Starts reading at `from` (rounded down to a block) at once.
    SequentialReader(std::shared_ptr<RandomAccessSource> inner, std::int64_t from);
    ~SequentialReader() override;
    SequentialReader(const SequentialReader&) = delete;
    SequentialReader& operator=(const SequentialReader&) = delete;

    std::int64_t size() const override { return size_; }
    // Throws what the read-ahead met on the way (SourceGoneError, ReadCancelled).
    Bytes pread(std::int64_t offset, std::int64_t count) override;
    Bytes preadGently(std::int64_t offset, std::int64_t count) override { return pread(offset, count); }
    // Stops the read-ahead and closes the medium.
    void close() override;

    // Nothing before `offset` will be asked for again: the ring may move on.
    void release(std::int64_t offset);
    // A copy of [offset, offset + count) taken from the ring as the read-ahead
    // passes over it, for a job that wants a found file's bytes without
    // reading them again. Nothing (and nothing read twice) when the ring
    // cannot serve it; then readThrough still can.
    std::optional<Bytes> copyFromRing(std::int64_t offset, std::int64_t count);
    // Waits until every byte before `end` has been read from the medium (so
    // what of it is unreadable is known). False when the job was cancelled,
    // or when bytes still in use keep the ring from getting there.
    bool readThrough(std::int64_t end, const CancellationToken& token);
    // Bytes asked of the medium behind the ring's start.
    std::int64_t directBytes() const;

    struct Ring;

private:
    Bytes direct(std::int64_t offset, std::int64_t count);
    // A view of the ring, or nothing when the ring cannot serve it.
    std::optional<Bytes> fromRing(std::int64_t offset, std::int64_t n);

    std::int64_t size_;
    std::shared_ptr<Ring> ring_;
    std::shared_ptr<CountingSource> directCount_;
    std::unique_ptr<CachingSource> direct_;
    std::thread thread_;
};

}  // namespace tamsel
