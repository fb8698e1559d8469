#include "engine/reading/CachingSource.h"

#include <algorithm>
#include <cstring>

namespace tamsel {

CachingSource::CachingSource(std::shared_ptr<RandomAccessSource> inner, std::int64_t capacity)
    : ForwardingSource(std::move(inner)), size_(this->inner()->size()), capacity_(capacity) {}

void CachingSource::keep(std::int64_t offset, Bytes bytes) {
    auto [it, inserted] = entries_.try_emplace(offset);
    if (!inserted) {
        if (it->second.size() >= bytes.size()) return;
        kept_ -= static_cast<std::int64_t>(it->second.size());
    } else {
        order_.push_back(offset);
    }
    kept_ += static_cast<std::int64_t>(bytes.size());
    it->second = std::move(bytes);
    while (kept_ > capacity_ && order_.size() > 1) {
        auto old = entries_.find(order_.front());
        order_.pop_front();
        if (old == entries_.end()) continue;
        kept_ -= static_cast<std::int64_t>(old->second.size());
        entries_.erase(old);
    }
}

Bytes CachingSource::pread(std::int64_t offset, std::int64_t count) {
    if (offset < 0 || offset >= size_ || count < 1) return {};
    count = std::min(count, size_ - offset);
    auto it = entries_.upper_bound(offset);
    if (it != entries_.begin()) {
        --it;
        const std::int64_t base = it->first;
        const std::int64_t end = base + static_cast<std::int64_t>(it->second.size());
        if (offset + count <= end)
            return it->second.slice(static_cast<std::size_t>(offset - base), static_cast<std::size_t>(count));
        if (offset < end && end - offset >= offset + count - end) {
            // Mostly kept already: only the rest comes from the medium. (A read
            // that merely starts in the kept bytes is cheaper read whole.)
            const auto headSize = static_cast<std::size_t>(end - offset);
            Bytes head = it->second.slice(static_cast<std::size_t>(offset - base), headSize);
            Bytes tail = pread(end, offset + count - end);
            Bytes joined = Bytes::uninitialised(headSize + tail.size());
            std::memcpy(joined.data(), head.data(), headSize);
            if (!tail.empty()) std::memcpy(joined.data() + headSize, tail.data(), tail.size());
            return joined;
        }
    }
    const std::int64_t wide = std::min(std::max(count, kMinRead), size_ - offset);
    Bytes read = inner()->preadGently(offset, wide);
    if (read.empty()) return read;
    const auto got = static_cast<std::int64_t>(read.size());
    Bytes out = read.slice(0, static_cast<std::size_t>(std::min(count, got)));
    keep(offset, std::move(read));
    return out;
}

void CachingSource::close() {
    entries_.clear();
    order_.clear();
    kept_ = 0;
    inner()->close();
}

}  // namespace tamsel
