#include "media/worker/Sandbox.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// Rights newer kernels know than Debian 12's headers do.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif

namespace tamsel::media {

namespace {

constexpr uid_t kNobody = 65534;

std::string failed(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool limit(int resource, rlim_t value) {
    const rlimit r{value, value};
    return ::setrlimit(resource, &r) == 0;
}

// Root reads raw devices; its decoders need none of that.
std::string dropPrivileges() {
    if (::geteuid() != 0 && ::getegid() != 0) return {};
    if (::setgroups(0, nullptr) != 0) return failed("setgroups");
    if (::setresgid(kNobody, kNobody, kNobody) != 0) return failed("setresgid");
    if (::setresuid(kNobody, kNobody, kNobody) != 0) return failed("setresuid");
    return {};
}

// No file at all, where the kernel has Landlock: every right handled, none granted.
void denyFileSystem() {
    const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1) return;
    landlock_ruleset_attr attr{};
    attr.handled_access_fs = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
                             LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
                             LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                             LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
                             LANDLOCK_ACCESS_FS_MAKE_SYM;
    if (abi >= 2) attr.handled_access_fs |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3) attr.handled_access_fs |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= 5) attr.handled_access_fs |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    const long fd = ::syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0);
    if (fd < 0) return;
    ::syscall(SYS_landlock_restrict_self, fd, 0);
    ::close(static_cast<int>(fd));
}

// What decoding needs: memory, its own threads, time, reading the request
// pipe and writing the answer; everything else fails with EPERM.
std::string allowOnlyDecoding() {
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (!ctx) return "seccomp_init";
    int rc = 0;
    auto allow = [&](int call) {
        if (rc == 0) rc = seccomp_rule_add(ctx, SCMP_ACT_ALLOW, call, 0);
    };
    for (int call : {SCMP_SYS(brk), SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(mprotect),
                     SCMP_SYS(madvise), SCMP_SYS(futex), SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(rt_sigreturn),
                     SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigaction), SCMP_SYS(sigaltstack), SCMP_SYS(clock_gettime), SCMP_SYS(clock_nanosleep),
                     SCMP_SYS(nanosleep), SCMP_SYS(gettimeofday), SCMP_SYS(getpid), SCMP_SYS(gettid), SCMP_SYS(getrandom),
                     SCMP_SYS(sched_yield), SCMP_SYS(sched_getaffinity), SCMP_SYS(set_robust_list), SCMP_SYS(rseq),
                     SCMP_SYS(prlimit64), SCMP_SYS(getrlimit), SCMP_SYS(close), SCMP_SYS(fstat), SCMP_SYS(newfstatat),
                     SCMP_SYS(lseek), SCMP_SYS(membarrier)})
        allow(call);
    // The request pipe in, the answer out, and error text to nowhere.
    if (rc == 0) rc = seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(read), 1, SCMP_A0(SCMP_CMP_EQ, 0));
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' own checks probe memory by writing it into a pipe of their own.
    allow(SCMP_SYS(pipe2));
    allow(SCMP_SYS(write));
#else
    if (rc == 0) rc = seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(write), 1, SCMP_A0(SCMP_CMP_EQ, 1));
    if (rc == 0) rc = seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(write), 1, SCMP_A0(SCMP_CMP_EQ, 2));
#endif
    if (rc == 0) rc = seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(sendto), 1, SCMP_A0(SCMP_CMP_EQ, 1));
    // Threads of this process only (a decoder's helpers), never a new process.
    if (rc == 0)
        rc = seccomp_rule_add(ctx, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1, SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD));
    // The C library falls back to clone, which the rule above can look into.
    if (rc == 0) rc = seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
    if (rc == 0) rc = seccomp_load(ctx);
    seccomp_release(ctx);
    return rc == 0 ? std::string() : std::string("seccomp: ") + std::strerror(-rc);
}

}  // namespace

std::string enterSandbox(const SandboxLimits& limits) {
    if (auto why = dropPrivileges(); !why.empty()) return why;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return failed("no_new_privs");
    // A worker never writes a file, starts a process or dumps its memory.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    limit(RLIMIT_FSIZE, 0);
    limit(RLIMIT_CORE, 0);
    limit(RLIMIT_CPU, limits.cpuSeconds);
#if !defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer maps terabytes of shadow memory; its own checks stand in.
    limit(RLIMIT_AS, limits.addressSpace);
#endif
    denyFileSystem();
    return allowOnlyDecoding();
}

}  // namespace tamsel::media
