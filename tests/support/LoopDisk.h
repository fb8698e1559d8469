#pragma once
// A real disk for tests: an image file attached with losetup, with one
// partition holding an ext4 file system mounted read-write.

#include <optional>
#include <string>

#include "support/TempDir.h"

namespace tamsel::test {

class LoopDisk {
public:
    // Empty when the machine cannot (no root, no loop devices, no tools).
    static std::optional<LoopDisk> create(const std::string& size, std::string& whyNot);
    LoopDisk(LoopDisk&&) noexcept;
    LoopDisk& operator=(LoopDisk&&) = delete;
    ~LoopDisk();

    const std::string& devicePath() const { return device_; }       // /dev/loopN
    const std::string& partitionPath() const { return partition_; }  // /dev/loopNp1
    const fs::path& mountPath() const { return mount_; }

private:
    LoopDisk() = default;
    void tearDown();
    std::unique_ptr<TempDir> dir_;
    std::string device_;
    std::string partition_;
    fs::path mount_;
    bool mounted_ = false;
};

}  // namespace tamsel::test
