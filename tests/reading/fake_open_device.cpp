// Stands in for the privileged helper in tests. Its behaviour is picked by
// the path argument: "MODE[:ARG]" where MODE is one of
//   send:FILE[:EXIT]   send a descriptor of FILE, then exit with EXIT (default 0)
//   nofd:EXIT          send nothing, exit with EXIT
//   msg                send a message without a descriptor, exit 0
//   stderr:TEXT:EXIT   write TEXT to stderr, exit with EXIT
//   signal:N           end by signal N
// Any other argument exits 65. When FAKE_OPEN_DEVICE_MARKER names a file, each
// start appends a line to it.
// It also exits 5 when its standard output is not a socket.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool sendMessage(int fd) {
    char byte = 'x';
    struct iovec iov {&byte, 1};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (fd >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    return sendmsg(1, &msg, MSG_NOSIGNAL) == 1;
}

std::string field(const std::string& s, int n) {
    std::size_t start = 0;
    for (int i = 0; i < n; ++i) {
        start = s.find(':', start);
        if (start == std::string::npos) return {};
        ++start;
    }
    auto end = s.find(':', start);
    return s.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

int sendFile(const std::string& file) {
    int fd = open(file.c_str(), O_RDONLY);
    if (fd < 0 || !sendMessage(fd)) return 6;
    close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::strcmp(argv[1], "-stdoutpipe") != 0) return 64;
    struct stat st {};
    if (fstat(1, &st) != 0 || !S_ISSOCK(st.st_mode)) return 5;
    if (const char* marker = std::getenv("FAKE_OPEN_DEVICE_MARKER")) {
        if (FILE* f = std::fopen(marker, "a")) {
            std::fputs("started\n", f);
            std::fclose(f);
        }
    }
    std::string spec = argv[2];
    std::string mode = field(spec, 0);
    if (mode == "send") {
        if (int rc = sendFile(field(spec, 1))) return rc;
        std::string code = field(spec, 2);
        return code.empty() ? 0 : std::atoi(code.c_str());
    }
    if (mode == "nofd") return std::atoi(field(spec, 1).c_str());
    if (mode == "msg") return sendMessage(-1) ? 0 : 6;
    if (mode == "stderr") {
        std::fputs(field(spec, 1).c_str(), stderr);
        return std::atoi(field(spec, 2).c_str());
    }
    if (mode == "signal") {
        int sig = std::atoi(field(spec, 1).c_str());
        signal(sig, SIG_DFL);
        raise(sig);
        return 7;
    }
    return 65;
}
