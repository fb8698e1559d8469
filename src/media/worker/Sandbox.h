#pragma once
// The thumbnail worker's confinement, entered before the first byte from a
// card is parsed: nothing to gain (no new privileges, no root), nothing to
// reach (no file system, no network, no other process), little to spend
// (address space, CPU time), and no system call decoding does not need.

#include <string>

namespace tamsel::media {

struct SandboxLimits {
    unsigned long long addressSpace = 1536ULL << 20;
    unsigned long long cpuSeconds = 600;
};

// Confines the calling process for good: every thread started later is
// confined too. Empty on success, else what failed (the worker then exits).
std::string enterSandbox(const SandboxLimits& limits = {});

}  // namespace tamsel::media
