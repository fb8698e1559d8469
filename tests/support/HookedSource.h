#pragma once
// A source over another that calls a hook before each read reaches it, to
// watch reads or to act at a chosen one; a job's close leaves it open.

#include <functional>

#include "engine/reading/ForwardingSource.h"
#include "engine/reading/MemorySource.h"

namespace tamsel::test {

class HookedSource final : public ForwardingSource {
public:
    using Hook = std::function<void(std::int64_t offset, std::int64_t count)>;
    HookedSource(std::shared_ptr<RandomAccessSource> inner, Hook onRead) : ForwardingSource(std::move(inner)), onRead_(std::move(onRead)) {}
    HookedSource(std::vector<std::uint8_t> data, Hook onRead)
        : HookedSource(std::make_shared<MemorySource>(std::move(data)), std::move(onRead)) {}
    Bytes pread(std::int64_t offset, std::int64_t count) override {
        onRead_(offset, count);
        return inner()->pread(offset, count);
    }
    void close() override {}

private:
    Hook onRead_;
};

}  // namespace tamsel::test
