#pragma once
// Counts what is read from the source under it: the bytes each engine asks
// the medium for, to hold a scan to reading the medium once.

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/reading/ForwardingSource.h"

namespace tamsel {

class CountingSource final : public ForwardingSource {
public:
    using ForwardingSource::ForwardingSource;

    std::int64_t bytesRead() const { return bytes_.load(); }
    std::int64_t reads() const { return reads_.load(); }

    Bytes pread(std::int64_t offset, std::int64_t count) override { return counted(inner()->pread(offset, count)); }
    Bytes preadGently(std::int64_t offset, std::int64_t count) override {
        return counted(inner()->preadGently(offset, count));
    }
    std::int64_t preadGentlyInto(std::int64_t offset, std::int64_t count, std::uint8_t* buffer) override {
        const std::int64_t n = inner()->preadGentlyInto(offset, count, buffer);
        bytes_ += n;
        ++reads_;
        return n;
    }
    std::optional<Bytes> readOnce(std::int64_t offset, std::int64_t count) override {
        auto b = inner()->readOnce(offset, count);
        if (b) bytes_ += static_cast<std::int64_t>(b->size());
        ++reads_;
        return b;
    }

private:
    Bytes counted(Bytes b) {
        bytes_ += static_cast<std::int64_t>(b.size());
        ++reads_;
        return b;
    }
    std::atomic<std::int64_t> bytes_{0};
    std::atomic<std::int64_t> reads_{0};
};

}  // namespace tamsel
