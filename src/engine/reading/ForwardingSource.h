#pragma once
// A source over another that passes every question through, so a wrapper
// states only what it changes. The gentle and once-only reads are not
// forwarded: unless a wrapper overrides them they go through its own pread,
// which is what a wrapper that watches or alters reads wants.

#include <memory>

#include "engine/reading/RandomAccessSource.h"

namespace tamsel {

class ForwardingSource : public RandomAccessSource {
public:
    explicit ForwardingSource(std::shared_ptr<RandomAccessSource> inner) : inner_(std::move(inner)) {}

    std::int64_t size() const override { return inner_->size(); }
    std::int64_t badBytes() const override { return inner_->badBytes(); }
    const std::string& displayName() const override { return inner_->displayName(); }
    Bytes pread(std::int64_t offset, std::int64_t count) override { return inner_->pread(offset, count); }
    // A duplicate reads the medium itself, without this wrapper.
    std::shared_ptr<RandomAccessSource> duplicate() override { return inner_->duplicate(); }
    void close() override { inner_->close(); }
    std::vector<BadRange> badRanges() const override { return inner_->badRanges(); }
    std::int64_t knownBadBytesIn(std::int64_t offset, std::int64_t length) const override {
        return inner_->knownBadBytesIn(offset, length);
    }
    std::int64_t unit() const override { return inner_->unit(); }
    void setCancellation(const CancellationToken& token) override { inner_->setCancellation(token); }

protected:
    const std::shared_ptr<RandomAccessSource>& inner() const { return inner_; }

private:
    std::shared_ptr<RandomAccessSource> inner_;
};

}  // namespace tamsel
