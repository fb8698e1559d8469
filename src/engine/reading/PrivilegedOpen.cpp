#include "engine/reading/PrivilegedOpen.h"

#include "engine/common/Utf8.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#ifndef TAMSEL_HELPER_PATH
#define TAMSEL_HELPER_PATH "/usr/local/libexec/tamsel/tamsel-open-device"
#endif
#ifndef TAMSEL_PKEXEC_PATH
#define TAMSEL_PKEXEC_PATH "/usr/bin/pkexec"
#endif

extern char** environ;

namespace tamsel {

PrivilegedOpenError PrivilegedOpenError::openFailed(const std::string& path, std::int32_t code) {
    return {Kind::openFailed, path + " を開けませんでした: " + errorText(code), path, code, {}};
}
PrivilegedOpenError PrivilegedOpenError::spawnFailed(std::int32_t code) {
    return {Kind::spawnFailed, std::string(PrivilegedOpen::kHelperName) + " の起動に失敗しました: " + errorText(code), {}, code, {}};
}
PrivilegedOpenError PrivilegedOpenError::authDenied(std::int32_t status, const std::string& text) {
    std::string d = text.empty()
        ? "ディスクを開く許可が得られませんでした(" + std::string(PrivilegedOpen::kHelperName) + " 終了コード " + std::to_string(status) +
              ")。認証ダイアログが出た場合はキャンセルされたか、パスワードまたは管理者権限の問題です。"
              "ダイアログが出なかった場合は、対象ディスクが取り外されている可能性があります。"
        : "ディスクを開けませんでした: " + text;
    return {Kind::authDenied, std::move(d), {}, status, text};
}
PrivilegedOpenError PrivilegedOpenError::killed(std::int32_t signal) {
    return {Kind::killed, "認証処理が異常終了しました(シグナル " + std::to_string(signal) + ")。", {}, signal, {}};
}
PrivilegedOpenError PrivilegedOpenError::toolMissing() {
    return {Kind::toolMissing,
            std::string("このコンピュータには ") + PrivilegedOpen::kHelperName + " がないため、ディスクを開けません。",
            {}, 0, {}};
}
PrivilegedOpenError PrivilegedOpenError::protocolError() {
    return {Kind::protocolError, std::string(PrivilegedOpen::kHelperName) + " からファイルディスクリプタを受け取れませんでした", {}, 0, {}};
}

namespace PrivilegedOpen {

namespace {

std::mutex overrideLock;
std::string toolOverride;

std::vector<std::string> launcher() {
    std::lock_guard g(overrideLock);
    if (!toolOverride.empty()) return {toolOverride};
    return {TAMSEL_PKEXEC_PATH, TAMSEL_HELPER_PATH};
}

void closeIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::string trim(const std::string& s) {
    const char* ws = " \t\r\n\v\f";
    auto b = s.find_first_not_of(ws);
    if (b == std::string::npos) return {};
    auto e = s.find_last_not_of(ws);
    return s.substr(b, e - b + 1);
}

std::string readToEnd(int fd) {
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

}  // namespace

std::string helperPath() { return TAMSEL_HELPER_PATH; }

void testing::setToolOverride(const std::string& program) {
    std::lock_guard g(overrideLock);
    toolOverride = program;
}

int openReadOnly(const std::string& path) {
    // Without O_NONBLOCK a FIFO would hang the open until a writer came.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        return fd;
    }
    int err = errno;
    if ((err == EACCES || err == EPERM) && path.rfind("/dev/", 0) == 0) return detail::openViaHelper(path);
    throw PrivilegedOpenError::openFailed(path, err);
}

namespace detail {

bool wIfSignaled(int status) { return (status & 0x7f) != 0 && (status & 0x7f) != 0x7f; }
bool wIfExited(int status) { return (status & 0x7f) == 0; }
int wExitStatus(int status) { return (status >> 8) & 0xff; }
int wTermSig(int status) { return status & 0x7f; }

int moveAboveStdio(int fd) {
    if (fd > 2) return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return fd;
    ::close(fd);
    return moved;
}

std::optional<int> receiveFD(int socket) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        char data[512];
        alignas(struct cmsghdr) char control[256];
        std::memset(data, 0, sizeof data);
        std::memset(control, 0, sizeof control);
        struct iovec iov {data, sizeof data};
        struct msghdr msg {};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(socket, &msg, MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return std::nullopt;
        }
        if (n == 0) return std::nullopt;
        if (msg.msg_controllen >= 16) {
            struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
            if (c && c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
                if (fd >= 0) {
                    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
                    return fd;
                }
            }
        }
    }
    return std::nullopt;
}

int openViaHelper(const std::string& path) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) throw PrivilegedOpenError::spawnFailed(errno);
    int ours = moveAboveStdio(pair[0]);
    int theirs = moveAboveStdio(pair[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs, 1);
    posix_spawn_file_actions_addclose(&actions, ours);

    int errPipe[2] = {-1, -1};
    if (::pipe2(errPipe, O_CLOEXEC) == 0) {
        errPipe[0] = moveAboveStdio(errPipe[0]);
        errPipe[1] = moveAboveStdio(errPipe[1]);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
        posix_spawn_file_actions_addclose(&actions, errPipe[0]);
    } else {
        errPipe[0] = errPipe[1] = -1;
    }

    auto cleanup = [&] {
        posix_spawn_file_actions_destroy(&actions);
        closeIfOpen(ours);
        closeIfOpen(theirs);
        closeIfOpen(errPipe[0]);
        closeIfOpen(errPipe[1]);
    };

    std::vector<std::string> argvStrings = launcher();
    for (const auto& program : argvStrings) {
        if (::access(program.c_str(), X_OK) != 0) {
            cleanup();
            throw PrivilegedOpenError::toolMissing();
        }
    }
    argvStrings.push_back("-stdoutpipe");
    argvStrings.push_back(path);
    std::vector<char*> argv;
    for (auto& s : argvStrings) argv.push_back(s.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    closeIfOpen(theirs);
    closeIfOpen(errPipe[1]);
    if (rc != 0) {
        cleanup();
        throw PrivilegedOpenError::spawnFailed(rc);
    }

    std::optional<int> fd = receiveFD(ours);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }

    std::string text;
    if (errPipe[0] >= 0) {
        std::string raw = readToEnd(errPipe[0]);
        closeIfOpen(errPipe[0]);
        text = isValidUtf8(raw) ? trim(raw) : std::string();
    }
    cleanup();

    if (fd) return *fd;
    if (wIfSignaled(status)) throw PrivilegedOpenError::killed(wTermSig(status));
    if (wIfExited(status) && wExitStatus(status) != 0) throw PrivilegedOpenError::authDenied(wExitStatus(status), text);
    throw PrivilegedOpenError::protocolError();
}

}  // namespace detail
}  // namespace PrivilegedOpen
}  // namespace tamsel
