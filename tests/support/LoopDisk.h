#pragma once
// A real disk for tests: an image file attached with losetup, with one
// partition holding a file system mounted read-write.

#include <optional>
#include <string>

#include "support/TempDir.h"

namespace tamsel::test {

class LoopDisk {
public:
    // btrfsMirror: btrfs RAID1 over the partition and a second loop device
    // of the same size. fat32: the kernel's vfat, or fusefat without it.
    enum class FileSystem { ext4, btrfs, btrfsMirror, fat32 };
    // Empty when the machine cannot (no root, no loop devices, no tools).
    static std::optional<LoopDisk> create(const std::string& size, std::string& whyNot,
                                          FileSystem fileSystem = FileSystem::ext4);
    LoopDisk(LoopDisk&&) noexcept;
    LoopDisk& operator=(LoopDisk&&) = delete;
    ~LoopDisk();

    const std::string& devicePath() const { return device_; }       // /dev/loopN
    const std::string& partitionPath() const { return partition_; }  // /dev/loopNp1
    const fs::path& mountPath() const { return mount_; }
    const std::string& mirrorPath() const { return mirror_; }  // btrfsMirror's second device

private:
    LoopDisk() = default;
    void tearDown();
    std::unique_ptr<TempDir> dir_;
    std::string device_;
    std::string partition_;
    std::string mirror_;
    fs::path mount_;
    bool mounted_ = false;
};

}  // namespace tamsel::test
