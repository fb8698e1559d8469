#pragma once
// Small helpers for building file fragments byte by byte in carve tests.

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/reading/MemorySource.h"

namespace tamsel::test {

struct ByteBuilder {
    std::vector<std::uint8_t> bytes;

    ByteBuilder& raw(std::initializer_list<int> values) {
        for (int v : values) bytes.push_back(static_cast<std::uint8_t>(v));
        return *this;
    }
    ByteBuilder& text(std::string_view s) {
        bytes.insert(bytes.end(), s.begin(), s.end());
        return *this;
    }
    ByteBuilder& be16(std::uint32_t v) { return raw({int(v >> 8 & 0xFF), int(v & 0xFF)}); }
    ByteBuilder& le16(std::uint32_t v) { return raw({int(v & 0xFF), int(v >> 8 & 0xFF)}); }
    ByteBuilder& be32(std::uint32_t v) { return raw({int(v >> 24), int(v >> 16 & 0xFF), int(v >> 8 & 0xFF), int(v & 0xFF)}); }
    ByteBuilder& le32(std::uint32_t v) { return raw({int(v & 0xFF), int(v >> 8 & 0xFF), int(v >> 16 & 0xFF), int(v >> 24)}); }
    ByteBuilder& be64(std::uint64_t v) { return be32(static_cast<std::uint32_t>(v >> 32)).be32(static_cast<std::uint32_t>(v)); }
    ByteBuilder& fill(std::size_t n, std::uint8_t value = 0) {
        bytes.insert(bytes.end(), n, value);
        return *this;
    }
    ByteBuilder& append(const std::vector<std::uint8_t>& more) {
        bytes.insert(bytes.end(), more.begin(), more.end());
        return *this;
    }
    // Pads with `value` up to `size` bytes in all.
    ByteBuilder& padTo(std::size_t size, std::uint8_t value = 0) {
        if (bytes.size() < size) bytes.resize(size, value);
        return *this;
    }
    std::size_t size() const { return bytes.size(); }
    std::shared_ptr<MemorySource> source(std::vector<BadRange> bad = {}) const {
        return std::make_shared<MemorySource>(bytes, "memory", std::move(bad));
    }
};

}  // namespace tamsel::test
