// `tamsel-cli recover` of a session that found a great many files (a card
// full of small photos): its time and its peak memory (the child's
// ru_maxrss). The records point into a small generated image, so most of
// the time goes to the list and to making the files, not to reading.
//
//   bench_recover [RECORDS]   (1000000 by default)
// TAMSEL_BENCH_CLI names another tamsel-cli to measure (an older build).
// The session and the recovered files are made under TMPDIR and removed.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/carve/FoundList.h"
#include "engine/carve/Session.h"
#include "engine/common/Files.h"
#include "engine/reading/FileSource.h"
#include "engine/reading/SourceIdentity.h"

namespace fs = std::filesystem;
using namespace tamsel;

namespace {

constexpr std::int64_t kImageBytes = 1 << 20;

// A session as a scan of `image` leaves it: its source record and found
// list (every 10th file damaged, in the scan's words).
void writeSession(const fs::path& session, const fs::path& image, std::int64_t records) {
    fs::create_directories(session);
    {
        FileSource source(image.string(), 0);
        writeAtomically(session / Session::kIdentityName, SourceIdentity::of(source, image.string()).encode() + "\n");
        source.close();
    }
    std::ofstream list(session / Session::kFoundName, std::ios::binary);
    CarvedFile f;
    for (std::int64_t i = 1; i <= records; ++i) {
        f.index = i;
        f.length = 1 + i % 64;
        f.offset = (i * 4096) % (kImageBytes - f.length);
        f.ext = i % 7 == 0 ? "mp4" : "jpg";
        f.fileName = upperCased(f.ext) + "/" + rescuedFileName(i, f.ext);
        f.damaged = i % 10 == 0;
        f.note = f.damaged ? std::optional<std::string>("途中で切れています") : std::nullopt;
        list << CarvedFileExtractor::encode(f) << '\n';
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::int64_t records = argc > 1 ? std::atoll(argv[1]) : 1000000;
    const char* other = std::getenv("TAMSEL_BENCH_CLI");
    const std::string cli = other && *other ? other : TAMSEL_CLI;
    const fs::path root = fs::temp_directory_path() / ("tamsel-bench-recover-" + std::to_string(::getpid()));
    const fs::path image = root / "card.img";
    const fs::path session = root / "session";
    const fs::path dest = root / "out";
    fs::create_directories(dest);
    {
        std::vector<char> bytes(kImageBytes);
        std::mt19937 rng(7);
        for (auto& b : bytes) b = static_cast<char>(rng());
        std::ofstream(image, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    writeSession(session, image, records);
    std::fprintf(stderr, "%lld records written; recovering with %s\n", static_cast<long long>(records), cli.c_str());

    const auto started = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        if (!::freopen("/dev/null", "w", stdout) || !::freopen("/dev/null", "w", stderr)) ::_exit(126);
        ::execl(cli.c_str(), cli.c_str(), "recover", session.c_str(), dest.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("records %lld  exit %d  time %.1f s  peak RSS %.1f MiB\n", static_cast<long long>(records),
                WIFEXITED(status) ? WEXITSTATUS(status) : -1, seconds, static_cast<double>(usage.ru_maxrss) / 1024.0);
    std::fflush(stdout);
    std::error_code ec;
    fs::remove_all(root, ec);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
