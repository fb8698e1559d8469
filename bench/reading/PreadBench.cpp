// Throughput of 8 MiB positional reads through FileSource against a plain
// read loop over the same page-cached image.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "engine/reading/FileSource.h"

namespace {

constexpr std::int64_t kWindow = 8 << 20;
constexpr std::int64_t kImageSize = 512LL << 20;

const std::string& imagePath() {
    static const std::string path = [] {
        std::string p = (std::filesystem::temp_directory_path() / "tamsel-bench-pread.img").string();
        if (!std::filesystem::exists(p) || std::filesystem::file_size(p) != kImageSize) {
            int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            std::vector<char> chunk(1 << 20);
            for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 131 + 7);
            for (std::int64_t done = 0; done < kImageSize; done += static_cast<std::int64_t>(chunk.size()))
                if (::write(fd, chunk.data(), chunk.size()) < 0) std::abort();
            ::close(fd);
        }
        // Warm the page cache.
        int fd = ::open(p.c_str(), O_RDONLY);
        std::vector<char> buf(kWindow);
        while (::read(fd, buf.data(), buf.size()) > 0) {
        }
        ::close(fd);
        return p;
    }();
    return path;
}

void PlainReadLoop(benchmark::State& state) {
    std::vector<char> buf(kWindow);
    for (auto _ : state) {
        int fd = ::open(imagePath().c_str(), O_RDONLY);
        while (::read(fd, buf.data(), buf.size()) > 0) {
        }
        ::close(fd);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(state.iterations() * kImageSize);
}

void FileSourcePread(benchmark::State& state) {
    tamsel::FileSource src(imagePath(), 2);
    for (auto _ : state) {
        for (std::int64_t pos = 0; pos < src.size(); pos += kWindow) {
            tamsel::Bytes b = src.pread(pos, kWindow);
            benchmark::DoNotOptimize(b.data());
        }
    }
    state.SetBytesProcessed(state.iterations() * kImageSize);
}

}  // namespace

BENCHMARK(PlainReadLoop)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(FileSourcePread)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_MAIN();
