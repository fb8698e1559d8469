#include "engine/common/Bytes.h"

#include <cstdlib>
#include <new>
#include <stdexcept>

namespace tamsel {

namespace {

// Scans read window after window of the same size: keeping the last large
// block per thread spares the allocator's fresh, page-faulting memory each time.
constexpr std::size_t kCacheFrom = 1 << 20;

struct BlockCache {
    std::uint8_t* block = nullptr;
    std::size_t capacity = 0;
    ~BlockCache() { std::free(block); }
};

BlockCache& cache() {
    thread_local BlockCache c;
    return c;
}

}  // namespace

void detail::BytesFree::operator()(std::uint8_t* p) const noexcept {
    if (capacity >= kCacheFrom) {
        BlockCache& c = cache();
        std::free(c.block);
        c.block = p;
        c.capacity = capacity;
        return;
    }
    std::free(p);
}

Bytes Bytes::uninitialised(std::size_t count) {
    Bytes b;
    if (count == 0) return b;
    std::size_t rounded = (count + kAlignment - 1) / kAlignment * kAlignment;
    BlockCache& c = cache();
    std::uint8_t* p = nullptr;
    std::size_t capacity = rounded;
    if (c.block && c.capacity >= rounded && c.capacity / 2 <= rounded) {
        p = c.block;
        capacity = c.capacity;
        c.block = nullptr;
        c.capacity = 0;
    } else {
        p = static_cast<std::uint8_t*>(std::aligned_alloc(kAlignment, rounded));
        if (!p) throw std::bad_alloc();
    }
    b.mem_ = std::unique_ptr<std::uint8_t[], Free>(p, Free{capacity});
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

void Bytes::narrow(std::size_t from, std::size_t count) {
    if (from > size_ || count > size_ - from) throw std::out_of_range("Bytes::narrow");
    offset_ += from;
    size_ = count;
}

}  // namespace tamsel
