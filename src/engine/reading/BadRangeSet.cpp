#include "engine/reading/BadRangeSet.h"

#include <algorithm>
#include <limits>

namespace tamsel {

namespace {
// End of a range, saturated so that a huge length cannot overflow.
std::int64_t endOf(std::int64_t offset, std::int64_t length) {
    if (length > std::numeric_limits<std::int64_t>::max() - offset) return std::numeric_limits<std::int64_t>::max();
    return offset + length;
}
}  // namespace

std::int64_t BadRangeSet::add(std::int64_t offset, std::int64_t length) {
    if (length < 1 || offset < 0) return 0;
    std::int64_t start = offset;
    std::int64_t end = endOf(offset, length);
    std::int64_t already = 0;
    // The first range that could touch [start, end): the one starting at or before start.
    auto it = ends_.upper_bound(start);
    if (it != ends_.begin()) {
        auto prev = std::prev(it);
        if (prev->second >= start) it = prev;
    }
    while (it != ends_.end() && it->first <= end) {
        already += std::max<std::int64_t>(0, std::min(end, it->second) - std::max(start, it->first));
        start = std::min(start, it->first);
        end = std::max(end, it->second);
        total_ -= it->second - it->first;
        it = ends_.erase(it);
    }
    ends_.emplace(start, end);
    total_ += end - start;
    return std::max<std::int64_t>(0, endOf(offset, length) - offset - already);
}

std::vector<BadRange> BadRangeSet::within(std::int64_t offset, std::int64_t length) const {
    std::vector<BadRange> out;
    if (length < 1) return out;
    const std::int64_t end = endOf(offset, length);
    auto it = ends_.upper_bound(offset);
    if (it != ends_.begin()) --it;
    for (; it != ends_.end() && it->first < end; ++it) {
        const std::int64_t from = std::max(offset, it->first);
        const std::int64_t to = std::min(end, it->second);
        if (from < to) out.push_back({from, to - from});
    }
    return out;
}

std::int64_t BadRangeSet::bytesWithin(std::int64_t offset, std::int64_t length) const {
    std::int64_t n = 0;
    for (const auto& r : within(offset, length)) n += r.length;
    return n;
}

std::vector<BadRange> BadRangeSet::ranges() const {
    std::vector<BadRange> out;
    out.reserve(ends_.size());
    for (const auto& [start, end] : ends_) out.push_back({start, end - start});
    return out;
}

}  // namespace tamsel
