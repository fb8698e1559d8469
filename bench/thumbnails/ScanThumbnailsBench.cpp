// A whole scan of a 512 MiB card image of the corpus with thumbnails on and
// off, each in its own process: the scan's own time, the wait for the
// thumbnail workers to finish, thumbnails per second, the bytes read from
// the card against its size, and peak memory of the scan and of the
// largest worker.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "CorpusCard.h"
#include "engine/carve/Carver.h"
#include "engine/reading/CountingSource.h"
#include "engine/reading/FileSource.h"
#include "media/ScanThumbnails.h"

namespace {

namespace fs = std::filesystem;
constexpr std::int64_t kImageSize = 512LL << 20;
using Clock = std::chrono::steady_clock;

std::string imagePath() { return tamsel::bench::corpusCardImage("tamsel-bench-thumbs.img", kImageSize); }

// `waitForDrain` false: the worker is stopped once the scan ends, for runs that
// only measure how the scan itself is slowed.
void runOnce(const std::string& image, bool thumbnails, bool waitForDrain) {
    const fs::path session = fs::temp_directory_path() / ((thumbnails ? "tamsel-bench-thumbs-on-" : "tamsel-bench-thumbs-off-") +
                                                         std::to_string(getpid()));
    std::error_code ec;
    fs::remove_all(session, ec);
    auto file = std::make_shared<tamsel::FileSource>(image, 2);
    auto source = std::make_shared<tamsel::CountingSource>(file);
    auto second = std::make_shared<tamsel::CountingSource>(file->duplicate());
    std::optional<tamsel::media::ScanThumbnails> thumbs;
    tamsel::CancellationToken token;
    tamsel::Session opened = tamsel::Session::open(session, tamsel::Session::Lock::exclusive, true);
    if (thumbnails) thumbs.emplace(second, opened, token);
    tamsel::Carver carver(source, opened, tamsel::CarveOutputMode::probeOnly, [&](const tamsel::CarveProgress& p) {
        if (thumbs && p.newFile) thumbs->push(*p.newFile, p.newFileBytes);
    });
    if (thumbs) carver.handOverBytes([&](std::int64_t length) { return thumbs->wantsBytes(length); });
    const auto start = Clock::now();
    const auto summary = carver.run();
    const auto scanned = Clock::now();
    std::int64_t made = 0;
    if (thumbs) {
        if (!waitForDrain) token.cancel();
        thumbs->scanEnded();
        thumbs->finishAndWait();
        made = thumbs->counts().made;
    }
    const auto end = Clock::now();
    const double scan = std::chrono::duration<double>(scanned - start).count();
    const double drain = std::chrono::duration<double>(end - scanned).count();
    const double whole = std::chrono::duration<double>(end - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    if (thumbnails && !waitForDrain) {
        std::printf("thumbnails on  scan %.2f s (%.0f MiB/s)  files %lld  (worker stopped at the scan's end)\n", scan,
                    static_cast<double>(kImageSize) / 1048576.0 / scan, static_cast<long long>(summary.filesFound));
        std::fflush(stdout);
        fs::remove_all(session, ec);
        return;
    }
    rusage children{};
    getrusage(RUSAGE_CHILDREN, &children);
    const double readFactor = static_cast<double>(source->bytesRead() + second->bytesRead()) / static_cast<double>(kImageSize);
    std::printf("thumbnails %-3s scan %.2f s (%.0f MiB/s)  files %lld  drain wait %.2f s  thumbnails %lld (%.1f/s over the session)  "
                "read %.3fx the card  peak RSS %.0f MiB (largest worker %.0f MiB)\n",
                thumbnails ? "on" : "off", scan, static_cast<double>(kImageSize) / 1048576.0 / scan,
                static_cast<long long>(summary.filesFound), drain, static_cast<long long>(made),
                whole > 0 ? static_cast<double>(made) / whole : 0.0, readFactor, static_cast<double>(usage.ru_maxrss) / 1024.0,
                static_cast<double>(children.ru_maxrss) / 1024.0);
    std::fflush(stdout);
    fs::remove_all(session, ec);
}

}  // namespace

int main() {
    const std::string image = imagePath();
    // Scan times vary from run to run on a shared machine: several of each,
    // alternating; only the first run with thumbnails waits for the drain.
    for (int run = 0; run < 10; ++run) {
        const bool on = run % 2 == 1;
        // Page-cached image, a fresh process per run so each peak is its own.
        int fd = ::open(image.c_str(), O_RDONLY);
        std::vector<char> buf(8 << 20);
        while (::read(fd, buf.data(), buf.size()) > 0) {
        }
        ::close(fd);
        const pid_t pid = fork();
        if (pid == 0) {
            runOnce(image, on, run == 1);
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
    }
    return 0;
}
