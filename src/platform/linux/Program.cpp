#include "platform/linux/Program.h"

#include <fcntl.h>
#include <spawn.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace tamsel::platform {

const std::vector<std::string>& cleanEnvironment() {
    static const std::vector<std::string> env{"LC_ALL=C", "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    return env;
}

namespace {

struct Spawned {
    int pid = -1;
    bool ok = false;
};

// posix_spawn with `in` and `out` as the child's descriptors 0 and 1, 2 on
// /dev/null, and nothing else of ours.
Spawned spawn(const std::string& absPath, const std::vector<std::string>& args, const std::vector<std::string>& env,
              int in, int out) {
    if (absPath.empty() || absPath.front() != '/') return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in < 0)
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    else
        posix_spawn_file_actions_adddup2(&actions, in, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // Descriptors opened elsewhere without O_CLOEXEC must not leak either.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::vector<std::string> argStore;
    argStore.reserve(args.size() + 1);
    argStore.push_back(absPath);
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore = env;
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, absPath.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return {pid, rc == 0};
}

}  // namespace

std::optional<ProgramResult> runProgram(const std::string& absPath, const std::vector<std::string>& args,
                                        const std::vector<std::string>& env) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    const Spawned child = spawn(absPath, args, env, -1, fds[1]);
    ::close(fds[1]);
    if (!child.ok) {
        ::close(fds[0]);
        return std::nullopt;
    }
    ProgramResult result;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.output.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    // posix_spawn reports a failed exec as exit status 127.
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::optional<RunningProgram> startProgram(const std::string& absPath, const std::vector<std::string>& args,
                                           const std::vector<std::string>& env) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return std::nullopt;
    const Spawned child = spawn(absPath, args, env, pair[1], pair[1]);
    ::close(pair[1]);
    if (!child.ok) {
        ::close(pair[0]);
        return std::nullopt;
    }
    return RunningProgram{child.pid, pair[0]};
}

void stopProgram(RunningProgram& program) {
    if (program.socket >= 0) ::close(program.socket);
    program.socket = -1;
    if (program.pid <= 0) return;
    ::kill(program.pid, SIGKILL);
    int status = 0;
    while (::waitpid(program.pid, &status, 0) < 0 && errno == EINTR) {
    }
    program.pid = -1;
}

std::optional<std::string> findProgram(std::initializer_list<const char*> candidates) {
    for (const char* path : candidates)
        if (path && path[0] == '/' && ::access(path, X_OK) == 0) return std::string(path);
    return std::nullopt;
}

}  // namespace tamsel::platform
