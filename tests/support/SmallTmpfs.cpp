#include "support/SmallTmpfs.h"

#include <sys/mount.h>
#include <unistd.h>

namespace tamsel::test {

std::optional<SmallTmpfs> SmallTmpfs::mount(const std::string& size, std::string& whyNot) {
    if (geteuid() != 0) return whyNot = "needs root to mount a tmpfs", std::nullopt;
    SmallTmpfs t;
    t.dir_ = std::make_unique<TempDir>();
    t.mnt_ = t.dir_->path() / "small";
    fs::create_directories(t.mnt_);
    if (::mount("tmpfs", t.mnt_.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) {
        t.mnt_.clear();
        return whyNot = "mounting a tmpfs failed", std::nullopt;
    }
    return t;
}

SmallTmpfs::SmallTmpfs(SmallTmpfs&& o) noexcept : dir_(std::move(o.dir_)), mnt_(std::move(o.mnt_)) { o.mnt_.clear(); }

SmallTmpfs::~SmallTmpfs() {
    if (!mnt_.empty()) ::umount2(mnt_.c_str(), MNT_DETACH);
}

}  // namespace tamsel::test
