// tamsel-open-device: runs as root through pkexec and hands the caller a
// read-only descriptor of one block device, over its standard output socket.
//
// Usage: tamsel-open-device -stdoutpipe /dev/NAME
//
// Running as root, it opens nothing but an existing block device under /dev,
// read-only, without following any symbolic link; everything else is refused
// with a reason on standard error and a non-zero exit status.

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/common/Error.h"

namespace {

using tamsel::errorText;

int refuse(const std::string& why) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
}

// Opens `path` with no symlink anywhere on the way; falls back to O_NOFOLLOW
// plus a canonical-path check where openat2 is missing.
int openNoSymlinks(const std::string& path, int flags) {
    struct open_how how {};
    how.flags = static_cast<unsigned long long>(flags);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
    char real[PATH_MAX];
    if (!::realpath(path.c_str(), real) || path != real) {
        errno = ELOOP;
        return -1;
    }
    return ::open(path.c_str(), flags | O_NOFOLLOW);
}

bool sendDescriptor(int socket, int fd) {
    char byte = 'F';
    struct iovec iov {&byte, 1};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    ssize_t n;
    do {
        n = ::sendmsg(socket, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::strcmp(argv[1], "-stdoutpipe") != 0)
        return refuse("使い方: tamsel-open-device -stdoutpipe /dev/デバイス名");
    const std::string path = argv[2];
    if (path.rfind("/dev/", 0) != 0 || path.find("/../") != std::string::npos || path.find("/./") != std::string::npos)
        return refuse(path + " は /dev 以下のデバイスではありません。");

    struct stat before {};
    if (::lstat(path.c_str(), &before) != 0) return refuse(path + " が見つかりません: " + errorText(errno));
    if (!S_ISBLK(before.st_mode)) return refuse(path + " はブロックデバイスではないため開けません。");

    // O_NONBLOCK: should the entry have been swapped for a FIFO, open must not hang.
    int fd = openNoSymlinks(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return refuse(path + " を開けませんでした: " + errorText(errno));
    struct stat after {};
    if (::fstat(fd, &after) != 0 || !S_ISBLK(after.st_mode) || after.st_rdev != before.st_rdev ||
        after.st_ino != before.st_ino || after.st_dev != before.st_dev) {
        ::close(fd);
        return refuse(path + " は確認中に別のものに変わったため開けません。");
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

    struct stat out {};
    if (::fstat(1, &out) != 0 || !S_ISSOCK(out.st_mode)) {
        ::close(fd);
        return refuse("標準出力がソケットではありません。");
    }
    if (!sendDescriptor(1, fd)) {
        ::close(fd);
        return refuse(std::string("ディスクリプタを渡せませんでした: ") + errorText(errno));
    }
    ::close(fd);
    return 0;
}
