#pragma once
// Keeps what was read recently so that the same bytes are not read from the
// medium again: the scan's rare reads behind its read-ahead (a carver that
// walked far and turned back) come in small pieces over the same stretch.
// On a slow or failing drive every such read would go to the hardware again.
//
// The medium is read gently (see RandomAccessSource::preadGently): a scan
// reads everything once, and a failing drive must not be read more than that.
// Damaged stretches are kept too: the inner source remembers which of their
// bytes are unreadable (and counted them once), so they are zeros for good.
// Used by one thread at a time.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>

#include "engine/reading/ForwardingSource.h"

namespace tamsel {

class CachingSource final : public ForwardingSource {
public:
    static constexpr std::int64_t kDefaultCapacity = 32LL << 20;
    // Reads shorter than this are widened to it, so that header walks of
    // a few bytes each do not cost a read apiece.
    static constexpr std::int64_t kMinRead = 1LL << 20;

    explicit CachingSource(std::shared_ptr<RandomAccessSource> inner, std::int64_t capacity = kDefaultCapacity);

    std::int64_t size() const override { return size_; }
    Bytes pread(std::int64_t offset, std::int64_t count) override;
    Bytes preadGently(std::int64_t offset, std::int64_t count) override { return pread(offset, count); }
    void close() override;

private:
    void keep(std::int64_t offset, Bytes bytes);

    std::int64_t size_;
    std::int64_t capacity_;
    std::int64_t kept_ = 0;
    std::map<std::int64_t, Bytes> entries_;
    std::deque<std::int64_t> order_;  // oldest first
};

}  // namespace tamsel
