#include "support/LoopDisk.h"

#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/Process.h"

namespace tamsel::test {

std::optional<LoopDisk> LoopDisk::create(const std::string& size, std::string& whyNot) {
    if (geteuid() != 0) return whyNot = "needs root for losetup and mount", std::nullopt;
    for (const char* tool : {"losetup", "sfdisk", "mkfs.ext4", "partx", "truncate"})
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
    if (run({"mkfs.ext4", "-q", "-F", d.partition_}).exitCode != 0) return whyNot = "mkfs.ext4 failed", std::nullopt;
    d.mount_ = d.dir_->path() / "mnt";
    fs::create_directories(d.mount_);
    if (::mount(d.partition_.c_str(), d.mount_.c_str(), "ext4", 0, nullptr) != 0)
        return whyNot = "cannot mount ext4 here", std::nullopt;
    d.mounted_ = true;
    return d;
}

LoopDisk::LoopDisk(LoopDisk&& o) noexcept
    : dir_(std::move(o.dir_)), device_(std::move(o.device_)), partition_(std::move(o.partition_)),
      mount_(std::move(o.mount_)), mounted_(o.mounted_) {
    o.device_.clear();
    o.mounted_ = false;
}

LoopDisk::~LoopDisk() { tearDown(); }

void LoopDisk::tearDown() {
    if (mounted_) ::umount2(mount_.c_str(), MNT_DETACH);
    mounted_ = false;
    if (!device_.empty()) run({"losetup", "-d", device_});
    device_.clear();
}

}  // namespace tamsel::test
