#include "support/FaultyDevice.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <utility>

#include "support/Process.h"

namespace tamsel::test {

namespace {
// Serves an nbdkit plugin read-only as the file mnt/nbd; waits until it is there.
bool startNbdfuse(const std::vector<std::string>& plugin, const fs::path& mnt, std::optional<Child>& fuse, std::string& whyNot) {
    std::vector<std::string> args{"nbdfuse", "-r", mnt.string(), "--command", "nbdkit", "-s"};
    args.insert(args.end(), plugin.begin(), plugin.end());
    fuse.emplace(Child::start(args, "/dev/null", "/dev/null"));
    if (!fuse->started()) return whyNot = "nbdfuse did not start", false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    struct stat st {};
    while (stat((mnt / "nbd").c_str(), &st) != 0) {
        if (std::chrono::steady_clock::now() > deadline) return whyNot = "nbdfuse mount did not appear", false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Unmounted first, so that the kill that ends nbdfuse leaves no dead mount.
void stopNbdfuse(std::optional<Child>& fuse, const fs::path& mnt) {
    if (!fuse || !fuse->started()) return;
    run({"fusermount3", "-u", mnt.string()});
    fuse.reset();
}
}  // namespace

std::optional<SlowMedium> SlowMedium::serve(const std::vector<std::string>& plugin, std::string& whyNot) {
    if (access("/dev/fuse", R_OK | W_OK) != 0) return whyNot = "no /dev/fuse", std::nullopt;
    for (const char* tool : {"nbdkit", "nbdfuse", "fusermount3"})
        if (!haveTool(tool)) return whyNot = std::string("missing tool ") + tool, std::nullopt;
    SlowMedium m;
    m.dir_ = std::make_unique<TempDir>();
    const fs::path mnt = m.dir_->path() / "mnt";
    fs::create_directories(mnt);
    if (!startNbdfuse(plugin, mnt, m.fuse_, whyNot)) return std::nullopt;
    m.file_ = mnt / "nbd";
    return m;
}

std::optional<SlowMedium> SlowMedium::create(const fs::path& image, int readDelayMs, std::string& whyNot) {
    return serve({"--filter=delay", "file", fs::absolute(image).string(), "delay-read=" + std::to_string(readDelayMs) + "ms"},
                 whyNot);
}

std::optional<SlowMedium> SlowMedium::limitedTo(const fs::path& image, std::int64_t bytesPerSecond, std::string& whyNot) {
    return serve({"--filter=rate", "file", fs::absolute(image).string(), "rate=" + std::to_string(bytesPerSecond * 8),
                  "burstiness=0.1"},
                 whyNot);
}

SlowMedium::SlowMedium(SlowMedium&& o) noexcept = default;

SlowMedium::~SlowMedium() { stopNbdfuse(fuse_, file_.parent_path()); }

std::optional<FaultyDevice> FaultyDevice::create(const fs::path& image, const std::vector<BadRange>& bad,
                                                 std::string& whyNot) {
    return create(image, FaultyDeviceOptions{bad, std::nullopt, std::nullopt, 0}, whyNot);
}

std::optional<FaultyDevice> FaultyDevice::create(const fs::path& image, const FaultyDeviceOptions& options,
                                                 std::string& whyNot) {
    const auto& bad = options.bad;
    if (geteuid() != 0) return whyNot = "needs root for losetup", std::nullopt;
    if (access("/dev/fuse", R_OK | W_OK) != 0) return whyNot = "no /dev/fuse", std::nullopt;
    if (access("/dev/loop-control", R_OK | W_OK) != 0) return whyNot = "no loop devices", std::nullopt;
    for (const char* tool : {"nbdkit", "nbdfuse", "losetup", "fusermount3"})
        if (!haveTool(tool)) return whyNot = std::string("missing tool ") + tool, std::nullopt;

    FaultyDevice d;
    d.dir_ = std::make_unique<TempDir>();
    fs::path mnt = d.dir_->path() / "mnt";
    fs::create_directories(mnt);
    fs::path script = d.dir_->path() / "plugin.sh";
    std::string ranges;
    for (const auto& r : bad) ranges += std::to_string(r.offset) + ":" + std::to_string(r.offset + r.length) + " ";
    {
        std::ofstream s(script);
        const fs::path dir = d.dir_->path();
        s << "#!/bin/sh\nIMG='" << fs::absolute(image).string() << "'\nRANGES='" << ranges << "'\n"
          << "LOG='" << (dir / "reads.log").string() << "'\nPIDFILE='" << (dir / "server.pid").string() << "'\n"
          << "VANISH=" << (options.vanishAt ? std::to_string(*options.vanishAt) : "") << "\n"
          << "SHUTDOWN=" << (options.shutdownAt ? std::to_string(*options.shutdownAt) : "") << "\n"
          << "DELAY=" << (options.failDelayMs > 0 ? std::to_string(options.failDelayMs / 1000.0) : "") << "\n"
          << "case \"$1\" in\n"
             "  get_size) echo $PPID > \"$PIDFILE\"; stat -c %s \"$IMG\" ;;\n"
             "  can_write) exit 3 ;;\n"
             "  thread_model) echo parallel ;;\n"
             "  pread)\n"
             "    off=$4; end=$(($4 + $3))\n"
             "    echo \"$off $3\" >> \"$LOG\"\n"
             "    if [ -n \"$VANISH\" ] && [ \"$end\" -gt \"$VANISH\" ]; then kill -9 $PPID; exit 1; fi\n"
             "    if [ -n \"$SHUTDOWN\" ] && [ \"$end\" -gt \"$SHUTDOWN\" ]; then echo ESHUTDOWN >&2; exit 1; fi\n"
             "    for r in $RANGES; do s=${r%:*}; e=${r#*:}\n"
             "      if [ \"$off\" -lt \"$e\" ] && [ \"$end\" -gt \"$s\" ]; then [ -n \"$DELAY\" ] && sleep $DELAY; echo EIO >&2; exit 1; fi\n"
             "    done\n"
             "    dd if=\"$IMG\" iflag=skip_bytes,count_bytes skip=\"$off\" count=\"$3\" status=none ;;\n"
             "  *) exit 2 ;;\n"
             "esac\n";
    }
    fs::permissions(script, fs::perms::owner_all);

    if (!startNbdfuse({"sh", script.string()}, mnt, d.fuse_, whyNot)) return std::nullopt;
    d.fuseFile_ = mnt / "nbd";
    // Direct I/O: each read reaches the server at the size asked, so a single
    // 512-byte sector can fail or succeed on its own, as on a real drive.
    auto lo = run({"losetup", "-r", "-f", "--show", "--direct-io=on", d.fuseFile_.string()});
    if (lo.exitCode != 0) return whyNot = "losetup failed: " + lo.output, std::nullopt;
    d.loop_ = lo.output.substr(0, lo.output.find('\n'));
    return d;
}

FaultyDevice::FaultyDevice(FaultyDevice&& o) noexcept
    : dir_(std::move(o.dir_)), fuseFile_(std::move(o.fuseFile_)), loop_(std::exchange(o.loop_, {})), fuse_(std::move(o.fuse_)) {}

FaultyDevice::~FaultyDevice() { tearDown(); }

void FaultyDevice::stopServer() {
    std::ifstream in(dir_->path() / "server.pid");
    int pid = 0;
    if (in >> pid && pid > 1) ::kill(pid, SIGKILL);
}

std::vector<BadRange> FaultyDevice::serverReads() const {
    std::vector<BadRange> reads;
    std::ifstream in(dir_->path() / "reads.log");
    std::int64_t offset = 0, length = 0;
    while (in >> offset >> length) reads.push_back({offset, length});
    return reads;
}

std::map<std::int64_t, int> FaultyDevice::readsPerSector(const std::vector<BadRange>& ranges) const {
    std::map<std::int64_t, int> counts;
    for (const auto& r : ranges)
        for (std::int64_t s = r.offset / 512 * 512; s < r.offset + r.length; s += 512) counts[s] = 0;
    for (const auto& read : serverReads()) {
        auto it = counts.lower_bound(read.offset / 512 * 512);
        for (; it != counts.end() && it->first < read.offset + read.length; ++it) ++it->second;
    }
    return counts;
}

void FaultyDevice::clearServerReads() const { std::ofstream(dir_->path() / "reads.log", std::ios::trunc); }

void FaultyDevice::tearDown() {
    if (!loop_.empty()) run({"losetup", "-d", loop_});
    loop_.clear();
    stopNbdfuse(fuse_, fuseFile_.parent_path());
}

}  // namespace tamsel::test
