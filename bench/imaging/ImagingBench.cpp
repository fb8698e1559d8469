// Imaging a page-cached 1 GiB image file against dd bs=4M of the same file.
// bench_imaging writes into a memory-backed folder (/dev/shm when there is
// one), so that the comparison is of the copying itself, not of the disk's
// mood. bench_imaging_disk (TAMSEL_BENCH_ON_DISK) writes into the temporary
// folder, which must be disk-backed: there the copy's durability points
// must not stall it, against dd conv=fdatasync.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "engine/imaging/DiskImager.h"
#include "engine/reading/BadRangeMap.h"
#include "engine/reading/FileSource.h"

namespace {

namespace fs = std::filesystem;
constexpr std::int64_t kImageSize = 1LL << 30;
#ifdef TAMSEL_BENCH_ON_DISK
constexpr bool kOnDisk = true;
#else
constexpr bool kOnDisk = false;
#endif

// The space is given back when the benchmark ends.
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
        fs::path d = kOnDisk ? fs::temp_directory_path() / ("tamsel-bench-disk-" + std::to_string(::getpid()))
                             : (fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
                                   "tamsel-bench-imaging";
        fs::create_directories(d);
        cleanup.dir = d;
        return d;
    }();
    return dir;
}

// Why the folder does not suit this benchmark, or nothing.
const char* unsuitableFolder() {
    if (!kOnDisk) return nullptr;
    struct statfs st {};
    const bool disk = ::statfs(folder().c_str(), &st) == 0 && st.f_type != TMPFS_MAGIC && st.f_type != RAMFS_MAGIC;
    return disk ? nullptr : "the temporary folder is not on a disk";
}

const std::string& sourcePath() {
    static const std::string path = [] {
        std::string p = (folder() / "source.img").string();
        if (!fs::exists(p) || fs::file_size(p) != kImageSize) {
            int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            std::vector<char> chunk(4 << 20);
            for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 131 + 7);
            for (std::int64_t done = 0; done < kImageSize; done += static_cast<std::int64_t>(chunk.size()))
                if (::write(fd, chunk.data(), chunk.size()) < 0) std::abort();
            ::fsync(fd);
            ::close(fd);
        }
        int fd = ::open(p.c_str(), O_RDONLY);
        std::vector<char> buf(4 << 20);
        while (::read(fd, buf.data(), buf.size()) > 0) {
        }
        ::close(fd);
        return p;
    }();
    return path;
}

void DdBs4M(benchmark::State& state) {
    if (const char* why = unsuitableFolder()) return state.SkipWithError(why);
    const std::string command = "dd if=" + sourcePath() + " of=" + (folder() / "dd.img").string() +
                                " bs=4M conv=fdatasync status=none";
    for (auto _ : state) {
        // Each run starts with no write-back left over from the one before.
        state.PauseTiming();
        fs::remove(folder() / "dd.img");
        ::sync();
        state.ResumeTiming();
        if (std::system(command.c_str()) != 0) state.SkipWithError("dd failed");
    }
    fs::remove(folder() / "dd.img");
    state.SetBytesProcessed(state.iterations() * kImageSize);
}

void DiskImagerRun(benchmark::State& state) {
    if (const char* why = unsuitableFolder()) return state.SkipWithError(why);
    (void)sourcePath();
    const fs::path image = folder() / "rescue.img";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove(tamsel::RawImageOutput::progressPath(image));
        fs::remove(image);
        ::sync();
        state.ResumeTiming();
        auto source = std::make_shared<tamsel::FileSource>(sourcePath(), 2);
        tamsel::RawImageOutput out(image, tamsel::SourceIdentity::of(*source->duplicate(), sourcePath()));
        tamsel::DiskImager(source, out, nullptr).run();
    }
    fs::remove(image);
    fs::remove(tamsel::mapfilePath(image.string()));
    fs::remove(tamsel::badRangeMapPath(image.string()));
    state.SetBytesProcessed(state.iterations() * kImageSize);
}

}  // namespace

#ifdef TAMSEL_BENCH_ON_DISK
BENCHMARK(DdBs4M)->Name("DdBs4MFdatasync")->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();
BENCHMARK(DiskImagerRun)->Name("DiskImagerToDisk")->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();
#else
BENCHMARK(DdBs4M)->Unit(benchmark::kMillisecond)->Iterations(4)->UseRealTime();
BENCHMARK(DiskImagerRun)->Unit(benchmark::kMillisecond)->Iterations(4)->UseRealTime();
#endif
BENCHMARK_MAIN();
