// A whole carve scan of a page-cached card image of real photos and videos
// (2.25 GiB unless TAMSEL_BENCH_SCAN_MIB says otherwise), against one plain
// sequential read of the same image in 8 MiB reads (as dd bs=8M). Besides
// the time: how many bytes the scan asked of the medium, per byte of the
// image, and the process's peak memory. Run each benchmark alone for its
// own peak, e.g.
//   bench_scan --benchmark_filter=WholeScan --benchmark_repetitions=5

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/carve/Carver.h"
#include "engine/reading/CountingSource.h"
#include "engine/reading/FileSource.h"

namespace {

namespace fs = std::filesystem;

std::int64_t imageSize() {
    static const std::int64_t size = [] {
        const char* mib = std::getenv("TAMSEL_BENCH_SCAN_MIB");
        const std::int64_t n = mib ? std::atoll(mib) : 0;
        return (n > 0 ? n : 2304) << 20;
    }();
    return size;
}

std::vector<fs::path> corpusFiles() {
    std::vector<fs::path> out;
    for (const auto& e : fs::recursive_directory_iterator(TAMSEL_CORPUS_DIR))
        if (e.is_regular_file() && e.path().extension() != ".md") out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

void warm(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    std::vector<char> buf(8 << 20);
    while (::read(fd, buf.data(), buf.size()) > 0) {
    }
    ::close(fd);
}

// The corpus over and over, each file on a 4 KiB cluster boundary, as on a full card.
const std::string& imagePath() {
    static const std::string path = [] {
        const std::int64_t size = imageSize();
        std::string p = (fs::temp_directory_path() / ("tamsel-bench-scan-" + std::to_string(size >> 20) + ".img")).string();
        if (!fs::exists(p) || static_cast<std::int64_t>(fs::file_size(p)) != size) {
            // Written piecewise so that the image does not count in the scan's memory peak.
            std::ofstream out(p, std::ios::binary | std::ios::trunc);
            std::int64_t at = 0;
            const auto files = corpusFiles();
            const std::vector<char> zeros(4096, 0);
            for (std::size_t k = 0; !files.empty(); ++k) {
                std::ifstream in(files[k % files.size()], std::ios::binary);
                std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
                if (at + static_cast<std::int64_t>(bytes.size()) + 4096 > size) break;
                out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
                const std::int64_t pad = (4096 - static_cast<std::int64_t>(bytes.size()) % 4096) % 4096;
                out.write(zeros.data(), pad);
                at += static_cast<std::int64_t>(bytes.size()) + pad;
            }
            for (; at < size; at += 4096) out.write(zeros.data(), 4096);
        }
        return p;
    }();
    return path;
}

double peakMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void PlainSequentialRead(benchmark::State& state) {
    std::vector<char> buf(8 << 20);
    warm(imagePath());
    for (auto _ : state) {
        int fd = ::open(imagePath().c_str(), O_RDONLY);
        while (::read(fd, buf.data(), buf.size()) > 0) {
        }
        ::close(fd);
        benchmark::DoNotOptimize(buf.data());
    }
    state.counters["peak_rss_MiB"] = peakMiB();
    state.SetBytesProcessed(state.iterations() * imageSize());
}

void WholeScan(benchmark::State& state) {
    const fs::path session = fs::temp_directory_path() / ("tamsel-bench-scan-session-" + std::to_string(::getpid()));
    std::int64_t found = 0;
    std::int64_t bytesRead = 0;
    std::int64_t reads = 0;
    warm(imagePath());
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(session);
        state.ResumeTiming();
        auto counting = std::make_shared<tamsel::CountingSource>(std::make_shared<tamsel::FileSource>(imagePath(), 2));
        tamsel::Carver carver(counting, session, tamsel::CarveOutputMode::probeOnly, nullptr);
        found = carver.run().filesFound;
        bytesRead = counting->bytesRead();
        reads = counting->reads();
    }
    fs::remove_all(session);
    state.counters["files"] = static_cast<double>(found);
    state.counters["read_ratio"] = static_cast<double>(bytesRead) / static_cast<double>(imageSize());
    state.counters["reads"] = static_cast<double>(reads);
    state.counters["peak_rss_MiB"] = peakMiB();
    state.SetBytesProcessed(state.iterations() * imageSize());
}

}  // namespace

BENCHMARK(PlainSequentialRead)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(WholeScan)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK_MAIN();
