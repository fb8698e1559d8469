#include "engine/reading/SequentialReader.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <vector>

#include "engine/reading/CachingSource.h"
#include "engine/reading/CountingSource.h"

namespace tamsel {

namespace {
constexpr std::int64_t kRingBytes = SequentialReader::kBlock * SequentialReader::kBlocks;
// Back-reads are few and small (a carver's header walk); a little cache
// keeps them from costing a device read each.
constexpr std::int64_t kDirectCache = 4LL << 20;
// How often a wait looks at the job's token.
constexpr auto kPollEvery = std::chrono::milliseconds(20);

// The same pages twice, one mapping right after the other.
std::uint8_t* mapRingTwice() {
    const int fd = ::memfd_create("tamsel-ring", MFD_CLOEXEC);
    if (fd < 0) throw std::bad_alloc();
    if (::ftruncate(fd, kRingBytes) != 0) {
        ::close(fd);
        throw std::bad_alloc();
    }
    void* area = ::mmap(nullptr, 2 * kRingBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) {
        ::close(fd);
        throw std::bad_alloc();
    }
    auto* base = static_cast<std::uint8_t*>(area);
    const bool ok = ::mmap(base, kRingBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) != MAP_FAILED &&
                    ::mmap(base + kRingBytes, kRingBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) !=
                        MAP_FAILED;
    ::close(fd);
    if (!ok) {
        ::munmap(base, 2 * kRingBytes);
        throw std::bad_alloc();
    }
    return base;
}
}  // namespace

// Shared by the reader, the read-ahead thread and every view still alive.
// Blocks [floor, floor + kBlocks) may sit in the ring; those before `next`
// have been read. Block b lives in slot b % kBlocks.
struct SequentialReader::Ring {
    std::uint8_t* base = nullptr;
    std::mutex lock;
    std::condition_variable changed;
    std::int64_t floor = 0;
    std::int64_t next = 0;
    std::int64_t blocks = 0;
    std::int64_t pins[kBlocks] = {};
    bool stop = false;
    std::exception_ptr error;  // met reading block `next`

    Ring() : base(mapRingTwice()) {}
    ~Ring() { ::munmap(base, 2 * kRingBytes); }

    static int slot(std::int64_t block) { return static_cast<int>(block % kBlocks); }
    bool pinnedBefore(std::int64_t block) const {
        for (std::int64_t b = floor; b < block && b < floor + kBlocks; ++b)
            if (pins[slot(b)] > 0) return true;
        return false;
    }
    // Moves the floor up so that `last` fits in the ring; false when a block
    // still in use would be dropped.
    bool reach(std::int64_t last) {
        if (last < floor + kBlocks) return true;
        const std::int64_t to = last - kBlocks + 1;
        if (pinnedBefore(to)) return false;
        floor = to;
        changed.notify_all();
        return true;
    }
};

namespace {
// Unpins a view's blocks when the view goes.
struct Unpin {
    std::shared_ptr<SequentialReader::Ring> ring;
    std::int64_t first, last;
    void operator()(std::uint8_t*) const noexcept {
        std::lock_guard g(ring->lock);
        for (std::int64_t b = first; b <= last; ++b) --ring->pins[SequentialReader::Ring::slot(b)];
        ring->changed.notify_all();
    }
};
}  // namespace

SequentialReader::SequentialReader(std::shared_ptr<RandomAccessSource> inner, std::int64_t from)
    : ForwardingSource(std::move(inner)), size_(this->inner()->size()), ring_(std::make_shared<Ring>()),
      directCount_(std::make_shared<CountingSource>(this->inner())),
      direct_(std::make_unique<CachingSource>(directCount_, kDirectCache)) {
    ring_->blocks = (size_ + kBlock - 1) / kBlock;
    ring_->floor = ring_->next = std::clamp<std::int64_t>(from, 0, size_) / kBlock;
    thread_ = std::thread([ring = ring_, inner = this->inner(), size = size_] {
        std::unique_lock g(ring->lock);
        while (true) {
            ring->changed.wait(g, [&] {
                return ring->stop || ring->error || ring->next >= ring->blocks ||
                       (ring->next < ring->floor + kBlocks && ring->pins[Ring::slot(ring->next)] == 0);
            });
            if (ring->stop || ring->error || ring->next >= ring->blocks) return;
            const std::int64_t block = ring->next;
            g.unlock();
            std::exception_ptr error;
            try {
                const std::int64_t at = block * kBlock;
                const std::int64_t want = std::min(kBlock, size - at);
                std::uint8_t* into = ring->base + static_cast<std::int64_t>(Ring::slot(block)) * kBlock;
                if (inner->preadGentlyInto(at, want, into) < want) throw SourceGoneError(inner->displayName(), 0);
            } catch (...) {
                error = std::current_exception();
            }
            g.lock();
            if (error)
                ring->error = error;
            else
                ring->next = block + 1;
            ring->changed.notify_all();
        }
    });
}

SequentialReader::~SequentialReader() {
    {
        std::lock_guard g(ring_->lock);
        ring_->stop = true;
        ring_->changed.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

void SequentialReader::close() {
    {
        std::lock_guard g(ring_->lock);
        ring_->stop = true;
        ring_->changed.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    inner()->close();
}

std::int64_t SequentialReader::directBytes() const { return directCount_->bytesRead(); }

Bytes SequentialReader::direct(std::int64_t offset, std::int64_t count) { return direct_->pread(offset, count); }

void SequentialReader::release(std::int64_t offset) {
    std::lock_guard g(ring_->lock);
    const std::int64_t to = std::clamp<std::int64_t>(offset, 0, size_) / kBlock;
    // Not past a block still in use.
    std::int64_t b = ring_->floor;
    while (b < to && (b >= ring_->floor + kBlocks || ring_->pins[Ring::slot(b)] == 0)) ++b;
    if (b > ring_->floor) {
        ring_->floor = b;
        ring_->changed.notify_all();
    }
}

std::optional<Bytes> SequentialReader::fromRing(std::int64_t offset, std::int64_t n) {
    const std::int64_t first = offset / kBlock;
    const std::int64_t last = (offset + n - 1) / kBlock;
    std::unique_lock g(ring_->lock);
    if (first < ring_->floor || last - first + 1 > kBlocks || !ring_->reach(last)) return std::nullopt;
    ring_->changed.wait(g, [&] { return ring_->next > last || ring_->error || ring_->stop; });
    if (ring_->next <= last) {
        if (ring_->error) std::rethrow_exception(ring_->error);
        return std::nullopt;
    }
    for (std::int64_t b = first; b <= last; ++b) ++ring_->pins[Ring::slot(b)];
    g.unlock();
    std::uint8_t* at = ring_->base + static_cast<std::int64_t>(Ring::slot(first)) * kBlock + (offset - first * kBlock);
    return Bytes::view(std::shared_ptr<std::uint8_t>(at, Unpin{ring_, first, last}), static_cast<std::size_t>(n));
}

Bytes SequentialReader::pread(std::int64_t offset, std::int64_t count) {
    if (offset < 0 || offset >= size_ || count < 1) return {};
    const std::int64_t n = std::min(count, size_ - offset);
    if (auto view = fromRing(offset, n)) return std::move(*view);
    return direct(offset, n);
}

std::optional<Bytes> SequentialReader::copyFromRing(std::int64_t offset, std::int64_t count) {
    if (offset < 0 || offset >= size_ || count < 1) return std::nullopt;
    const std::int64_t n = std::min(count, size_ - offset);
    // Freed by whoever uses it, on another thread.
    Bytes copy = Bytes::mapped(static_cast<std::size_t>(n));
    // In pieces of a few blocks, each let go before the next, so the ring moves on.
    constexpr std::int64_t kPiece = 4 * kBlock;
    for (std::int64_t done = 0; done < n;) {
        const std::int64_t piece = std::min(kPiece, n - done);
        auto view = fromRing(offset + done, piece);
        if (!view) return std::nullopt;
        std::memcpy(copy.data() + done, view->data(), static_cast<std::size_t>(piece));
        done += piece;
    }
    return copy;
}

bool SequentialReader::readThrough(std::int64_t end, const CancellationToken& token) {
    end = std::min(end, size_);
    if (end <= 0) return true;
    const std::int64_t last = (end - 1) / kBlock;
    std::unique_lock g(ring_->lock);
    while (ring_->next <= last) {
        if (token.isCancelled() || ring_->stop) return false;
        if (ring_->error) std::rethrow_exception(ring_->error);
        if (!ring_->reach(ring_->next)) return false;
        ring_->changed.wait_for(g, kPollEvery);
    }
    return true;
}

}  // namespace tamsel
