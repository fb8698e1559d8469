#include "engine/common/Bytes.h"

#include <sys/mman.h>

#include <array>
#include <cstdlib>
#include <new>
#include <stdexcept>

namespace tamsel {

namespace {

// Scans read window after window of the same few sizes, and a read cache
// keeps several alive: a small pool of large blocks per thread spares the
// allocator's fresh, page-faulting memory each time.
constexpr std::size_t kPoolFrom = 1 << 20;
constexpr std::size_t kPoolBlocks = 8;

struct Block {
    std::uint8_t* data = nullptr;
    std::size_t capacity = 0;
};

struct BlockPool {
    std::array<Block, kPoolBlocks> blocks{};
    ~BlockPool() {
        for (Block& b : blocks) std::free(b.data);
    }
    // The smallest kept block that fits without wasting more than half of it.
    Block take(std::size_t rounded) {
        Block* best = nullptr;
        for (Block& b : blocks)
            if (b.data && b.capacity >= rounded && b.capacity / 2 <= rounded && (!best || b.capacity < best->capacity))
                best = &b;
        if (!best) return {};
        Block out = *best;
        *best = {};
        return out;
    }
    void give(Block block) {
        Block* slot = nullptr;
        for (Block& b : blocks) {
            if (!b.data) {
                slot = &b;
                break;
            }
            if (!slot || b.capacity < slot->capacity) slot = &b;
        }
        std::free(slot->data);
        *slot = block;
    }
};

BlockPool& pool() {
    thread_local BlockPool p;
    return p;
}

}  // namespace

void detail::BytesFree::operator()(std::uint8_t* p) const noexcept {
    if (capacity >= kPoolFrom) {
        pool().give({p, capacity});
        return;
    }
    std::free(p);
}

Bytes Bytes::uninitialised(std::size_t count) {
    Bytes b;
    if (count == 0) return b;
    std::size_t rounded = (count + kAlignment - 1) / kAlignment * kAlignment;
    std::uint8_t* p = nullptr;
    std::size_t capacity = rounded;
    if (Block kept = rounded >= kPoolFrom ? pool().take(rounded) : Block{}; kept.data) {
        p = kept.data;
        capacity = kept.capacity;
    } else {
        p = static_cast<std::uint8_t*>(std::aligned_alloc(kAlignment, rounded));
        if (!p) throw std::bad_alloc();
    }
    b.mem_ = std::shared_ptr<std::uint8_t>(p, Free{capacity});
    b.size_ = count;
    return b;
}

Bytes Bytes::mapped(std::size_t count) {
    Bytes b;
    if (count == 0) return b;
    void* p = ::mmap(nullptr, count, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    b.mem_ = std::shared_ptr<std::uint8_t>(static_cast<std::uint8_t*>(p), [count](std::uint8_t* q) { ::munmap(q, count); });
    b.size_ = count;
    return b;
}

Bytes Bytes::zeros(std::size_t count) {
    Bytes b = uninitialised(count);
    if (count) std::memset(b.data(), 0, count);
    return b;
}

Bytes Bytes::copyOf(std::span<const std::uint8_t> data) {
    Bytes b = uninitialised(data.size());
    if (!data.empty()) std::memcpy(b.data(), data.data(), data.size());
    return b;
}

Bytes Bytes::copyOf(std::string_view text) {
    return copyOf(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

Bytes Bytes::view(std::shared_ptr<std::uint8_t> memory, std::size_t count) {
    Bytes b;
    if (count == 0) return b;
    b.mem_ = std::move(memory);
    b.size_ = count;
    return b;
}

Bytes Bytes::slice(std::size_t from, std::size_t count) const {
    if (from > size_ || count > size_ - from) throw std::out_of_range("Bytes::slice");
    Bytes b;
    b.mem_ = mem_;
    b.offset_ = offset_ + from;
    b.size_ = count;
    return b;
}

void Bytes::narrow(std::size_t from, std::size_t count) {
    if (from > size_ || count > size_ - from) throw std::out_of_range("Bytes::narrow");
    offset_ += from;
    size_ = count;
}

}  // namespace tamsel
