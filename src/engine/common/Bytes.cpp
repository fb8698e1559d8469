#include "engine/common/Bytes.h"

#include <cstdlib>
#include <new>
#include <stdexcept>

namespace tamsel {

void Bytes::Free::operator()(std::uint8_t* p) const noexcept { std::free(p); }

Bytes Bytes::uninitialised(std::size_t count) {
    Bytes b;
    if (count == 0) return b;
    std::size_t rounded = (count + kAlignment - 1) / kAlignment * kAlignment;
    void* p = std::aligned_alloc(kAlignment, rounded);
    if (!p) throw std::bad_alloc();
    b.mem_.reset(static_cast<std::uint8_t*>(p));
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
