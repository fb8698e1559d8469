#include "support/Corpus.h"

#include <algorithm>
#include <stdexcept>

namespace tamsel::test {

std::filesystem::path corpusDir() { return TAMSEL_CORPUS_DIR; }

std::vector<std::filesystem::path> corpusFiles() {
    std::vector<std::filesystem::path> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(corpusDir(), ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file() && it->path().filename() != "SOURCES.md") out.push_back(it->path());
    }
    std::sort(out.begin(), out.end());
    // An empty list would let every corpus test pass having checked nothing.
    if (out.empty()) throw std::runtime_error("no corpus files in " + corpusDir().string());
    return out;
}

bool carvesWhole(const std::filesystem::path& file) {
    return file.extension() != ".rw2";
}

std::int64_t trailingBytes(const std::filesystem::path& file) {
    // One byte after the end-of-image marker, written by the camera.
    if (file.filename() == "exif-org_olympus-d320l.jpg") return 1;
    // "<data>Non-TIFF data test", appended and referenced by no directory.
    if (file.filename() == "CanonRaw.cr2") return 18;
    return 0;
}

}  // namespace tamsel::test
