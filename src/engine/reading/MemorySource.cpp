#include "engine/reading/MemorySource.h"

#include <algorithm>
#include <cstring>

namespace tamsel {

MemorySource::MemorySource(std::vector<std::uint8_t> data, std::string name, std::vector<BadRange> unreadable)
    : data_(std::make_shared<const std::vector<std::uint8_t>>(std::move(data))),
      name_(std::move(name)),
      unreadable_(std::move(unreadable)) {}

MemorySource::MemorySource(const MemorySource& other)
    : data_(other.data_), name_(other.name_), unreadable_(other.unreadable_), known_(other.known_) {}

std::int64_t MemorySource::size() const { return static_cast<std::int64_t>(data_->size()); }

std::int64_t MemorySource::badBytes() const {
    std::lock_guard g(lock_);
    return counted_.totalBytes();
}

std::vector<BadRange> MemorySource::badRanges() const {
    std::lock_guard g(lock_);
    return counted_.ranges();
}

std::int64_t MemorySource::knownBadBytesIn(std::int64_t offset, std::int64_t length) const {
    std::lock_guard g(known_->lock);
    return known_->met.bytesWithin(offset, length);
}

Bytes MemorySource::pread(std::int64_t offset, std::int64_t count) {
    const std::int64_t total = size();
    if (offset < 0 || offset >= total || count < 1) return {};
    const std::int64_t n = std::min(count, total - offset);
    Bytes out = Bytes::uninitialised(static_cast<std::size_t>(n));
    std::memcpy(out.data(), data_->data() + offset, static_cast<std::size_t>(n));
    for (const BadRange& r : unreadable_) {
        const std::int64_t from = std::max(offset, r.offset);
        const std::int64_t to = std::min(offset + n, r.offset + r.length);
        if (from >= to) continue;
        std::memset(out.data() + (from - offset), 0, static_cast<std::size_t>(to - from));
        {
            std::lock_guard g(known_->lock);
            known_->met.add(from, to - from);
        }
        std::lock_guard g(lock_);
        counted_.add(from, to - from);
    }
    return out;
}

std::optional<Bytes> MemorySource::readOnce(std::int64_t offset, std::int64_t count) {
    const std::int64_t n = std::min(count, size() - offset);
    for (const BadRange& r : unreadable_)
        if (offset < r.offset + r.length && offset + n > r.offset) return std::nullopt;
    return pread(offset, count);
}

std::shared_ptr<RandomAccessSource> MemorySource::duplicate() { return std::make_shared<MemorySource>(*this); }

}  // namespace tamsel
