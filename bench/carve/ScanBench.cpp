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

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "CorpusCard.h"
#include "engine/carve/Carver.h"
#include "engine/carve/SignatureSearch.h"
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

void warm(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    std::vector<char> buf(8 << 20);
    while (::read(fd, buf.data(), buf.size()) > 0) {
    }
    ::close(fd);
}

const std::string& imagePath() {
    static const std::string path =
        tamsel::bench::corpusCardImage("tamsel-bench-scan-" + std::to_string(imageSize() >> 20) + ".img", imageSize());
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

// The signature search alone over 64 MiB of the card, through each path.
void SignatureSearch(benchmark::State& state) {
    std::vector<std::uint8_t> bytes(64 << 20);
    int fd = ::open(imagePath().c_str(), O_RDONLY);
    const auto got = ::pread(fd, bytes.data(), bytes.size(), 0);
    ::close(fd);
    if (got != static_cast<ssize_t>(bytes.size())) return state.SkipWithError("the card image is too small");
    const auto path = static_cast<tamsel::SearchPath>(state.range(0));
    std::size_t hits = 0;
    for (auto _ : state) hits = tamsel::findSignaturesWith(path, bytes).size();
    state.counters["hits"] = static_cast<double>(hits);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}

}  // namespace

BENCHMARK(SignatureSearch)->Arg(int(tamsel::SearchPath::scalar))->Arg(int(tamsel::SearchPath::ssse3))->Arg(int(tamsel::SearchPath::avx2))->Unit(benchmark::kMillisecond);
BENCHMARK(PlainSequentialRead)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(WholeScan)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK_MAIN();
