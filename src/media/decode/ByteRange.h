#pragma once
// The bytes of one found file, as a decoder reads them: in the thumbnail
// worker they come from the parent over its pipe, in tests from memory.
// Positions are relative to the file's start.

#include <cstdint>
#include <span>
#include <vector>

#include "engine/common/Bytes.h"

namespace tamsel::media {

class ByteRange {
public:
    virtual ~ByteRange() = default;
    virtual std::int64_t length() const = 0;
    // Up to `count` bytes at `offset`; empty past the end or when the
    // bytes cannot be had.
    virtual Bytes read(std::int64_t offset, std::int64_t count) = 0;
};

class MemoryRange final : public ByteRange {
public:
    explicit MemoryRange(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::int64_t length() const override { return static_cast<std::int64_t>(bytes_.size()); }
    Bytes read(std::int64_t offset, std::int64_t count) override {
        if (offset < 0 || offset >= length() || count < 1) return {};
        return Bytes::copyOf(bytes_.subspan(static_cast<std::size_t>(offset),
                                            static_cast<std::size_t>(std::min(count, length() - offset))));
    }

private:
    std::span<const std::uint8_t> bytes_;
};

}  // namespace tamsel::media
