#pragma once
// A source over bytes held in memory, for fuzzing and tests of the engines.
// Chosen ranges can be marked unreadable: they read as zeros and are counted,
// as a failing medium's would be.

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/reading/RandomAccessSource.h"

namespace tamsel {

class MemorySource final : public RandomAccessSource {
public:
    explicit MemorySource(std::vector<std::uint8_t> data, std::string name = "memory",
                          std::vector<BadRange> unreadable = {});

    std::int64_t size() const override;
    std::int64_t badBytes() const override { return bad_->load(); }
    const std::string& displayName() const override { return name_; }
    Bytes pread(std::int64_t offset, std::int64_t count) override;
    // Shares the bytes; counts its own unreadable bytes.
    std::shared_ptr<RandomAccessSource> duplicate() override;
    void close() override {}

private:
    std::shared_ptr<const std::vector<std::uint8_t>> data_;
    std::string name_;
    std::vector<BadRange> unreadable_;
    std::shared_ptr<std::atomic<std::int64_t>> bad_ = std::make_shared<std::atomic<std::int64_t>>(0);
};

}  // namespace tamsel
