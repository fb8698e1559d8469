#pragma once
// A card image of the corpus's files over and over, each on a 4 KiB cluster
// boundary as on a full card, zeros after the last: made once in the
// temporary folder and reused while it has the size asked for. Written
// piecewise, so that making it does not count in a bench's memory peak.

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tamsel::bench {

inline std::string corpusCardImage(const std::string& name, std::int64_t size) {
    namespace fs = std::filesystem;
    const std::string path = (fs::temp_directory_path() / name).string();
    if (fs::exists(path) && static_cast<std::int64_t>(fs::file_size(path)) == size) return path;
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(TAMSEL_CORPUS_DIR))
        if (e.is_regular_file() && e.path().extension() != ".md") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::int64_t at = 0;
    const std::vector<char> zeros(4096, 0);
    for (std::size_t k = 0; !files.empty(); ++k) {
        std::ifstream in(files[k % files.size()], std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        if (at + static_cast<std::int64_t>(bytes.size()) + 4096 > size) break;
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        const std::int64_t pad = (4096 - static_cast<std::int64_t>(bytes.size()) % 4096) % 4096;
        out.write(zeros.data(), pad);
        at += static_cast<std::int64_t>(bytes.size()) + pad;
    }
    for (; at < size; at += 4096) out.write(zeros.data(), 4096);
    return path;
}

}  // namespace tamsel::bench
