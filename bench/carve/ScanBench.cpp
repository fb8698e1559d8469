// A whole carve scan of a page-cached 512 MiB card image full of real photos
// and videos, against one plain sequential read of the same image.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "engine/carve/Carver.h"
#include "engine/reading/FileSource.h"

namespace {

namespace fs = std::filesystem;
constexpr std::int64_t kImageSize = 512LL << 20;

std::vector<fs::path> corpusFiles() {
    std::vector<fs::path> out;
    for (const auto& e : fs::recursive_directory_iterator(TAMSEL_CORPUS_DIR))
        if (e.is_regular_file() && e.path().extension() != ".md") out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

// The corpus over and over, each file on a 4 KiB cluster boundary, as on a full card.
const std::string& imagePath() {
    static const std::string path = [] {
        std::string p = (fs::temp_directory_path() / "tamsel-bench-scan.img").string();
        if (!fs::exists(p) || fs::file_size(p) != kImageSize) {
            // Written piecewise so that the image does not count in the scan's memory peak.
            std::ofstream out(p, std::ios::binary | std::ios::trunc);
            std::int64_t at = 0;
            const auto files = corpusFiles();
            const std::vector<char> zeros(4096, 0);
            for (std::size_t k = 0; !files.empty(); ++k) {
                std::ifstream in(files[k % files.size()], std::ios::binary);
                std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
                if (at + static_cast<std::int64_t>(bytes.size()) + 4096 > kImageSize) break;
                out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
                const std::int64_t pad = (4096 - static_cast<std::int64_t>(bytes.size()) % 4096) % 4096;
                out.write(zeros.data(), pad);
                at += static_cast<std::int64_t>(bytes.size()) + pad;
            }
            for (; at < kImageSize; at += 4096) out.write(zeros.data(), 4096);
        }
        int fd = ::open(p.c_str(), O_RDONLY);
        std::vector<char> buf(8 << 20);
        while (::read(fd, buf.data(), buf.size()) > 0) {
        }
        ::close(fd);
        return p;
    }();
    return path;
}

void PlainSequentialRead(benchmark::State& state) {
    std::vector<char> buf(8 << 20);
    (void)imagePath();
    for (auto _ : state) {
        int fd = ::open(imagePath().c_str(), O_RDONLY);
        while (::read(fd, buf.data(), buf.size()) > 0) {
        }
        ::close(fd);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(state.iterations() * kImageSize);
}

void WholeScan(benchmark::State& state) {
    const fs::path session = fs::temp_directory_path() / "tamsel-bench-scan-session";
    std::int64_t found = 0;
    (void)imagePath();
    for (auto _ : state) {
        fs::remove_all(session);
        auto source = std::make_shared<tamsel::FileSource>(imagePath(), 2);
        tamsel::Carver carver(source, session, tamsel::CarveOutputMode::probeOnly, nullptr);
        found = carver.run().filesFound;
    }
    fs::remove_all(session);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["files"] = static_cast<double>(found);
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    state.SetBytesProcessed(state.iterations() * kImageSize);
}

}  // namespace

BENCHMARK(PlainSequentialRead)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(WholeScan)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK_MAIN();
