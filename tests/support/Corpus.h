#pragma once
#include <cstdint>
#include <filesystem>
#include <vector>

namespace tamsel::test {

// The folder of real camera and phone files (tests/data/corpus).
std::filesystem::path corpusDir();
// Every file of the corpus (SOURCES.md left out), sorted by path.
std::vector<std::filesystem::path> corpusFiles();

// False for the RW2 file, whose sensor data its publisher cut out while its
// directories still give the full length: only its JPEG preview is found whole.
bool carvesWhole(const std::filesystem::path& file);
// Bytes at a corpus file's end that a carver cannot tell from what follows
// it: the file is carved without them.
std::int64_t trailingBytes(const std::filesystem::path& file);

}  // namespace tamsel::test
