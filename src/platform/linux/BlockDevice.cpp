#include "platform/linux/BlockDevice.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace tamsel::platform {

BlockGeometry queryBlockGeometry(int fd) {
    BlockGeometry g;
    int bs = 0;
    if (::ioctl(fd, BLKSSZGET, &bs) == 0 && bs > 0) g.blockSize = static_cast<std::uint32_t>(bs);
    std::uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) g.byteCount = bytes;
    return g;
}

bool enableDirectIO(int fd, std::int64_t alignment, std::int64_t size) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    if (::fcntl(fd, F_SETFL, flags | O_DIRECT) != 0) return false;
    if (size <= 0) return true;
    // A device that refuses aligned unbuffered reads answers EINVAL; any other
    // outcome (data, or a genuine read error) means O_DIRECT itself works.
    auto len = static_cast<std::size_t>(std::min(alignment, size));
    void* buf = std::aligned_alloc(static_cast<std::size_t>(alignment), static_cast<std::size_t>(alignment));
    if (!buf) return false;
    ssize_t r;
    do {
        r = ::pread(fd, buf, len, 0);
    } while (r < 0 && errno == EINTR);
    bool refused = r < 0 && errno == EINVAL;
    std::free(buf);
    if (refused) {
        ::fcntl(fd, F_SETFL, flags);
        return false;
    }
    return true;
}

}  // namespace tamsel::platform
