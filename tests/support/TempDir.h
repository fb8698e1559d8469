#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tamsel::test {

namespace fs = std::filesystem;

// A memory file system: a folder there lies on no disk, so the same-disk
// guard lets a test copy from one folder there to another.
inline const fs::path kNoDiskFolder = "/dev/shm";

// A fresh folder under the system temp folder, removed on destruction.
class TempDir {
public:
    TempDir();
    // Under `parent` instead, e.g. a memory file system that holds no disk.
    explicit TempDir(const fs::path& parent);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

void writeFile(const fs::path& path, std::string_view data);
void writeFile(const fs::path& path, const std::vector<std::uint8_t>& data);
std::vector<std::uint8_t> readFile(const fs::path& path);
std::string readText(const fs::path& path);

// Deterministic pseudo-random bytes.
std::vector<std::uint8_t> randomBytes(std::size_t count, std::uint64_t seed);

// A sparse image of `size` bytes with 64 KiB of real data every 8 MiB.
void writeSparseMedium(const fs::path& path, std::int64_t size);

}  // namespace tamsel::test
