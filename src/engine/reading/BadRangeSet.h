#pragma once
// A set of byte ranges kept merged and sorted: the unreadable stretches of a
// medium met so far. Not thread-safe; owners guard it.

#include <cstdint>
#include <map>
#include <vector>

#include "engine/reading/RandomAccessSource.h"

namespace tamsel {

class BadRangeSet {
public:
    // Adds [offset, offset + length); returns how many bytes were not in the set before.
    std::int64_t add(std::int64_t offset, std::int64_t length);
    // The parts of the set inside [offset, offset + length), clipped, in order.
    std::vector<BadRange> within(std::int64_t offset, std::int64_t length) const;
    // How many bytes of [offset, offset + length) are in the set.
    std::int64_t bytesWithin(std::int64_t offset, std::int64_t length) const;
    std::vector<BadRange> ranges() const;
    std::int64_t totalBytes() const { return total_; }
    bool empty() const { return ends_.empty(); }

private:
    std::map<std::int64_t, std::int64_t> ends_;  // start -> end (exclusive), disjoint, not touching
    std::int64_t total_ = 0;
};

}  // namespace tamsel
