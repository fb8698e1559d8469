#include "support/TempDir.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <stdexcept>

#include "engine/common/Files.h"

namespace tamsel::test {

TempDir::TempDir() : TempDir(fs::temp_directory_path()) {}

TempDir::TempDir(const fs::path& parent) {
    std::string tmpl = (parent / "tamsel-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void writeFile(const fs::path& path, std::string_view data) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void writeFile(const fs::path& path, const std::vector<std::uint8_t>& data) {
    writeFile(path, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

std::vector<std::uint8_t> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string readText(const fs::path& path) {
    auto v = readFile(path);
    return {v.begin(), v.end()};
}

std::vector<std::uint8_t> randomBytes(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::uint8_t> out(count);
    std::size_t i = 0;
    while (i + 8 <= count) {
        auto v = rng();
        for (int k = 0; k < 8; ++k) out[i++] = static_cast<std::uint8_t>(v >> (8 * k));
    }
    while (i < count) out[i++] = static_cast<std::uint8_t>(rng());
    return out;
}

void writeSparseMedium(const fs::path& path, std::int64_t size) {
    constexpr std::int64_t kEvery = 8 << 20;
    UniqueFd fd = openForWriting(path, O_CREAT | O_TRUNC);
    if (::ftruncate(fd.get(), size) != 0) throw std::runtime_error("cannot size " + path.string());
    for (std::int64_t at = 0; at < size; at += kEvery)
        writeAllAt(fd.get(), randomBytes(64 * 1024, static_cast<std::uint64_t>(at)), at, path);
}

}  // namespace tamsel::test
