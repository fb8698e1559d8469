// Imaging to a file on a real disk against dd bs=4M conv=fdatasync: the
// copy's durability points must not stall it. The source is a page-cached
// 1 GiB image file; both write into the temporary folder, which must be
// disk-backed (not tmpfs).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "engine/imaging/DiskImager.h"
#include "engine/reading/FileSource.h"

namespace {

namespace fs = std::filesystem;
constexpr std::int64_t kImageSize = 1LL << 30;

// Gives the disk space back when the benchmark ends.
struct RemoveOnExit {
    fs::path dir;
    ~RemoveOnExit() {
        std::error_code ec;
        if (!dir.empty()) fs::remove_all(dir, ec);
    }
};

fs::path folder() {
    static RemoveOnExit cleanup;
    static const fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / ("tamsel-bench-disk-" + std::to_string(::getpid()));
        fs::create_directories(d);
        cleanup.dir = d;
        return d;
    }();
    return dir;
}

bool diskBacked() {
    struct statfs st {};
    return ::statfs(folder().c_str(), &st) == 0 && st.f_type != TMPFS_MAGIC && st.f_type != RAMFS_MAGIC;
}

const std::string& sourcePath() {
    static const std::string path = [] {
        std::string p = (folder() / "source.img").string();
        int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char> chunk(4 << 20);
        for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 131 + 7);
        for (std::int64_t done = 0; done < kImageSize; done += static_cast<std::int64_t>(chunk.size()))
            if (::write(fd, chunk.data(), chunk.size()) < 0) std::abort();
        ::fsync(fd);
        ::close(fd);
        return p;
    }();
    return path;
}

void DdBs4MFdatasync(benchmark::State& state) {
    if (!diskBacked()) return state.SkipWithError("the temporary folder is not on a disk");
    const std::string command = "dd if=" + sourcePath() + " of=" + (folder() / "dd.img").string() +
                                " bs=4M conv=fdatasync status=none";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove(folder() / "dd.img");
        ::sync();
        state.ResumeTiming();
        if (std::system(command.c_str()) != 0) state.SkipWithError("dd failed");
    }
    fs::remove(folder() / "dd.img");
    state.SetBytesProcessed(state.iterations() * kImageSize);
}

void DiskImagerToDisk(benchmark::State& state) {
    if (!diskBacked()) return state.SkipWithError("the temporary folder is not on a disk");
    (void)sourcePath();
    const fs::path image = folder() / "rescue.img";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove(tamsel::RawImageOutput::progressURL(image));
        fs::remove(image);
        ::sync();
        state.ResumeTiming();
        auto source = std::make_shared<tamsel::FileSource>(sourcePath(), 2);
        tamsel::RawImageOutput out(image, tamsel::SourceIdentity::of(*source->duplicate(), sourcePath()));
        tamsel::DiskImager(source, out, nullptr).run();
    }
    state.SetBytesProcessed(state.iterations() * kImageSize);
}

}  // namespace

BENCHMARK(DdBs4MFdatasync)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();
BENCHMARK(DiskImagerToDisk)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();
BENCHMARK_MAIN();
