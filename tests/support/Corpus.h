#pragma once
#include <cstdint>
#include <filesystem>
#include <vector>

namespace tamsel::test {

// The folder of real camera and phone files (tests/data/corpus).
std::filesystem::path corpusDir();
// Every file of the corpus (SOURCES.md left out), sorted by path.
std::vector<std::filesystem::path> corpusFiles();

// False for RAW files whose header is no TIFF signature (RW2 "IIU", RAF
// "FUJIFILMCCD-RAW"): only the JPEG preview inside them can be found.
bool carvesWhole(const std::filesystem::path& file);
// Bytes at a corpus file's end that a carver cannot tell from what follows
// it: the file is carved without them.
std::int64_t trailingBytes(const std::filesystem::path& file);

}  // namespace tamsel::test
