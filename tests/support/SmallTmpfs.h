#pragma once
// A small tmpfs mounted for the life of the object, to fill up on purpose.

#include <optional>
#include <string>

#include "support/TempDir.h"

namespace tamsel::test {

class SmallTmpfs {
public:
    // Empty when it cannot be mounted here; `whyNot` says why.
    static std::optional<SmallTmpfs> mount(const std::string& size, std::string& whyNot);
    SmallTmpfs(SmallTmpfs&&) noexcept;
    SmallTmpfs& operator=(SmallTmpfs&&) = delete;
    ~SmallTmpfs();
    const fs::path& path() const { return mnt_; }

private:
    SmallTmpfs() = default;
    std::unique_ptr<TempDir> dir_;
    fs::path mnt_;
};

}  // namespace tamsel::test
