#pragma once
// A source over bytes held in memory, for fuzzing and tests of the engines.
// Chosen ranges can be marked unreadable: they read as zeros and are counted
// once per source, as a failing medium's would be by FileSource.

#include <memory>
#include <mutex>
#include <vector>

#include "engine/reading/BadRangeSet.h"
#include "engine/reading/RandomAccessSource.h"

namespace tamsel {

class MemorySource final : public RandomAccessSource {
public:
    explicit MemorySource(std::vector<std::uint8_t> data, std::string name = "memory",
                          std::vector<BadRange> unreadable = {});
    MemorySource(const MemorySource& other);

    std::int64_t size() const override;
    std::int64_t badBytes() const override;
    const std::string& displayName() const override { return name_; }
    Bytes pread(std::int64_t offset, std::int64_t count) override;
    // Shares the bytes and what is known unreadable; counts its own unreadable bytes.
    std::shared_ptr<RandomAccessSource> duplicate() override;
    void close() override {}
    std::vector<BadRange> badRanges() const override;
    std::int64_t knownBadBytesIn(std::int64_t offset, std::int64_t length) const override;
    // Fails when the piece touches an unreadable range; records nothing.
    std::optional<Bytes> readOnce(std::int64_t offset, std::int64_t count) override;

private:
    struct Known {
        std::mutex lock;
        BadRangeSet met;
    };
    std::shared_ptr<const std::vector<std::uint8_t>> data_;
    std::string name_;
    std::vector<BadRange> unreadable_;
    std::shared_ptr<Known> known_ = std::make_shared<Known>();
    mutable std::mutex lock_;
    BadRangeSet counted_;
};

}  // namespace tamsel
