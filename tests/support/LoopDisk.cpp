#include "support/LoopDisk.h"

#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "support/Process.h"

namespace tamsel::test {

namespace {

// The tool that makes the file system, and its arguments before the device.
std::vector<std::string> mkfs(LoopDisk::FileSystem fileSystem) {
    switch (fileSystem) {
        case LoopDisk::FileSystem::ext4: return {"mkfs.ext4", "-q", "-F"};
        case LoopDisk::FileSystem::btrfs: return {"mkfs.btrfs", "-q", "-f"};
        case LoopDisk::FileSystem::btrfsMirror: return {"mkfs.btrfs", "-q", "-f", "-d", "raid1", "-m", "raid1"};
        case LoopDisk::FileSystem::fat32: return {"mkfs.vfat", "-F", "32"};
    }
    return {};
}

}  // namespace

std::optional<LoopDisk> LoopDisk::create(const std::string& size, std::string& whyNot, FileSystem fileSystem) {
    if (geteuid() != 0) return whyNot = "needs root for losetup and mount", std::nullopt;
    auto format = mkfs(fileSystem);
    for (const char* tool : {"losetup", "sfdisk", format[0].c_str(), "partx", "truncate"})
        if (!haveTool(tool)) return whyNot = std::string(tool) + " is not installed", std::nullopt;
    LoopDisk d;
    d.dir_ = std::make_unique<TempDir>();
    const std::string img = (d.dir_->path() / "disk.img").string();
    if (run({"truncate", "-s", size, img}).exitCode != 0) return whyNot = "truncate failed", std::nullopt;
    if (shell("printf 'label: gpt\\n,,0FC63DAF-8483-4772-8E79-3D69D8477DE4\\n' | sfdisk -q " + img).exitCode != 0)
        return whyNot = "sfdisk failed", std::nullopt;
    auto lo = run({"losetup", "-P", "-f", "--show", img});
    if (lo.exitCode != 0) return whyNot = "no loop device: " + lo.output, std::nullopt;
    d.device_ = lo.output.substr(0, lo.output.find('\n'));
    d.partition_ = d.device_ + "p1";
    // The kernel scans partitions in the background; partx asks again.
    for (int i = 0; i < 100 && !fs::exists(d.partition_); ++i) {
        if (i == 20) run({"partx", "-a", d.device_});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!fs::exists(d.partition_)) return whyNot = "the kernel did not show the loop device's partition", std::nullopt;
    format.push_back(d.partition_);
    std::string options;
    if (fileSystem == FileSystem::btrfsMirror) {
        const std::string second = (d.dir_->path() / "mirror.img").string();
        auto mirror = run({"truncate", "-s", size, second}).exitCode == 0 ? run({"losetup", "-f", "--show", second}) : ProcessResult{};
        if (mirror.exitCode != 0) return whyNot = "no second loop device: " + mirror.output, std::nullopt;
        d.mirror_ = mirror.output.substr(0, mirror.output.find('\n'));
        format.push_back(d.mirror_);
        options = "device=" + d.mirror_;
    }
    if (auto made = run(format); made.exitCode != 0) return whyNot = format[0] + " failed: " + made.output, std::nullopt;
    d.mount_ = d.dir_->path() / "mnt";
    fs::create_directories(d.mount_);
    const char* type = fileSystem == FileSystem::ext4 ? "ext4" : fileSystem == FileSystem::fat32 ? "vfat" : "btrfs";
    d.mounted_ = ::mount(d.partition_.c_str(), d.mount_.c_str(), type, 0, options.empty() ? nullptr : options.c_str()) == 0;
    if (!d.mounted_ && fileSystem == FileSystem::fat32)
        d.mounted_ = shell("fusefat -o rw+ " + d.partition_ + " " + d.mount_.string() + " >/dev/null 2>&1").exitCode == 0;
    if (!d.mounted_)
        return whyNot = std::string("cannot mount ") + type + " here" + (fileSystem == FileSystem::fat32 ? " (nor with fusefat)" : ""),
               std::nullopt;
    return d;
}

LoopDisk::LoopDisk(LoopDisk&& o) noexcept
    : dir_(std::move(o.dir_)), device_(std::move(o.device_)), partition_(std::move(o.partition_)),
      mirror_(std::move(o.mirror_)), mount_(std::move(o.mount_)), mounted_(o.mounted_) {
    o.device_.clear();
    o.mirror_.clear();
    o.mounted_ = false;
}

LoopDisk::~LoopDisk() { tearDown(); }

void LoopDisk::tearDown() {
    if (mounted_) ::umount2(mount_.c_str(), MNT_DETACH);
    mounted_ = false;
    for (const auto& device : {device_, mirror_})
        if (!device.empty()) run({"losetup", "-d", device});
    device_.clear();
    mirror_.clear();
}

}  // namespace tamsel::test
