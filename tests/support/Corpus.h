#pragma once
#include <filesystem>
#include <vector>

namespace tamsel::test {

// The shared folder of real camera and phone files.
std::filesystem::path corpusDir();
// Every file of the corpus (SOURCES.md left out), sorted by path.
std::vector<std::filesystem::path> corpusFiles();

}  // namespace tamsel::test
