#include "support/Corpus.h"

#include <algorithm>

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
    return out;
}

}  // namespace tamsel::test
