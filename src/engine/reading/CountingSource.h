#pragma once
// Counts what is read from the source under it: the bytes each engine asks
// the medium for, to hold a scan to reading the medium once.

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/reading/RandomAccessSource.h"

namespace tamsel {

class CountingSource final : public RandomAccessSource {
public:
    explicit CountingSource(std::shared_ptr<RandomAccessSource> inner) : inner_(std::move(inner)) {}

    std::int64_t bytesRead() const { return bytes_.load(); }
    std::int64_t reads() const { return reads_.load(); }

    std::int64_t size() const override { return inner_->size(); }
    std::int64_t badBytes() const override { return inner_->badBytes(); }
    const std::string& displayName() const override { return inner_->displayName(); }
    Bytes pread(std::int64_t offset, std::int64_t count) override { return counted(inner_->pread(offset, count)); }
    Bytes preadGently(std::int64_t offset, std::int64_t count) override {
        return counted(inner_->preadGently(offset, count));
    }
    std::int64_t preadGentlyInto(std::int64_t offset, std::int64_t count, std::uint8_t* buffer) override {
        const std::int64_t n = inner_->preadGentlyInto(offset, count, buffer);
        bytes_ += n;
        ++reads_;
        return n;
    }
    std::optional<Bytes> readOnce(std::int64_t offset, std::int64_t count) override {
        auto b = inner_->readOnce(offset, count);
        if (b) bytes_ += static_cast<std::int64_t>(b->size());
        ++reads_;
        return b;
    }
    std::shared_ptr<RandomAccessSource> duplicate() override { return inner_->duplicate(); }
    void close() override { inner_->close(); }
    std::vector<BadRange> badRanges() const override { return inner_->badRanges(); }
    std::int64_t knownBadBytesIn(std::int64_t offset, std::int64_t length) const override {
        return inner_->knownBadBytesIn(offset, length);
    }
    std::int64_t unit() const override { return inner_->unit(); }
    void setCancellation(const CancellationToken& token) override { inner_->setCancellation(token); }

private:
    Bytes counted(Bytes b) {
        bytes_ += static_cast<std::int64_t>(b.size());
        ++reads_;
        return b;
    }
    std::shared_ptr<RandomAccessSource> inner_;
    std::atomic<std::int64_t> bytes_{0};
    std::atomic<std::int64_t> reads_{0};
};

}  // namespace tamsel
