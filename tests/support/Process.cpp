#include "support/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace tamsel::test {

namespace {
// Starts argv[0] (searched on PATH) with `actions`, which it frees; -1 when it could not.
pid_t spawn(const std::vector<std::string>& args, posix_spawn_file_actions_t& actions) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
}  // namespace

ProcessResult run(const std::vector<std::string>& args) {
    ProcessResult result;
    int pipeFds[2];
    // Close-on-exec: a daemon the command leaves behind (a FUSE mount) must
    // not hold the pipe open and keep the read below waiting.
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const pid_t pid = spawn(args, actions);
    close(pipeFds[1]);
    char buf[4096];
    for (ssize_t n; pid > 0 && ((n = read(pipeFds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR));)
        if (n > 0) result.output.append(buf, static_cast<std::size_t>(n));
    close(pipeFds[0]);
    if (pid > 0) result.exitCode = waitFor(pid);
    return result;
}

ProcessResult shell(const std::string& command) { return run({"/bin/sh", "-c", command}); }

bool haveTool(const std::string& name) { return shell("command -v " + name + " >/dev/null 2>&1").exitCode == 0; }

std::string lastLine(const std::string& text) {
    const std::string t = text.substr(0, text.find_last_not_of('\n') + 1);
    return t.substr(t.rfind('\n') + 1);
}

Child Child::start(const std::vector<std::string>& args, const std::string& stdoutPath, const std::string& stderrPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    return Child(spawn(args, actions));
}

Child::~Child() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait();
    }
}

void Child::signal(int sig) const {
    if (pid_ > 0) ::kill(pid_, sig);
}

int Child::wait() {
    if (pid_ <= 0) return -1;
    const int status = waitFor(pid_);
    pid_ = -1;
    return status;
}

}  // namespace tamsel::test
