#pragma once
// A page-aligned byte buffer. Aligned so that unbuffered (O_DIRECT) reads
// can fill it directly; a view offset lets a reader hand out the requested
// slice of an aligned span without copying it. Move-only; `slice` shares the
// memory explicitly (a read cache hands out views of what it keeps), and
// shared bytes are never written to.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace tamsel {

namespace detail {
struct BytesFree {
    std::size_t capacity = 0;
    void operator()(std::uint8_t* p) const noexcept;
};
}  // namespace detail

class Bytes {
public:
    static constexpr std::size_t kAlignment = 4096;

    Bytes() = default;
    Bytes(Bytes&&) noexcept = default;
    Bytes& operator=(Bytes&&) noexcept = default;
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    // `count` uninitialised bytes (callers fill or zero them).
    static Bytes uninitialised(std::size_t count);
    static Bytes zeros(std::size_t count);
    static Bytes copyOf(std::span<const std::uint8_t> data);
    static Bytes copyOf(std::string_view text);
    // `count` uninitialised bytes of their own mapping, given back to the
    // system the moment they are freed: for large buffers one thread fills
    // and another lets go (no thread's pool or heap keeps them).
    static Bytes mapped(std::size_t count);
    // `count` bytes at `memory`, owned elsewhere: `memory`'s deleter says
    // when the view is gone (a read-ahead ring reuses the block then).
    static Bytes view(std::shared_ptr<std::uint8_t> memory, std::size_t count);

    const std::uint8_t* data() const { return mem_.get() + offset_; }
    std::uint8_t* data() { return mem_.get() + offset_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::uint8_t operator[](std::size_t i) const { return data()[i]; }
    std::span<const std::uint8_t> span() const { return {data(), size_}; }
    const std::uint8_t* begin() const { return data(); }
    const std::uint8_t* end() const { return data() + size_; }

    // Narrow the view to [from, from + count) without copying.
    void narrow(std::size_t from, std::size_t count);
    // A view of [from, from + count) sharing this buffer's memory.
    Bytes slice(std::size_t from, std::size_t count) const;
    std::vector<std::uint8_t> toVector() const { return {begin(), end()}; }

    friend bool operator==(const Bytes& a, const Bytes& b) {
        return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data(), b.data(), a.size_) == 0);
    }

private:
    using Free = detail::BytesFree;
    std::shared_ptr<std::uint8_t> mem_;
    std::size_t offset_ = 0;
    std::size_t size_ = 0;
};

}  // namespace tamsel
