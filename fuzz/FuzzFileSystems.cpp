// A card's partition table, boot sectors and folders are read before anything
// else, whatever state the card is in.

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/filesystem/FileSystemEntries.h"
#include "engine/reading/MemorySource.h"

using namespace tamsel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<BadRange> bad;
    if (size >= 4) bad.push_back({data[2] * 256, data[3] * 64 + 1});
    MemorySource source(std::vector<std::uint8_t>(data, data + size), "fuzz", bad);
    const auto volumes = filesystem::readVolumes(source, CancellationToken::none());
    for (const auto& v : volumes) {
        if (v.offset < 0 || v.offset >= source.size() || v.clusterBytes < 512 || v.unreadableDirectoryBytes < 0)
            __builtin_trap();
        for (const auto& f : v.files) {
            if (f.size < 0 || f.offset < -1) __builtin_trap();
            // Each step of the path is a name of its own: none empty, none "." or "..".
            for (std::size_t from = 0;;) {
                const std::size_t end = std::min(f.path.find('/', from), f.path.size());
                const std::string_view step(f.path.data() + from, end - from);
                if (step.empty() || step == "." || step == "..") __builtin_trap();
                if (end == f.path.size()) break;
                from = end + 1;
            }
            // Extents start where the entry says and add up to its size.
            std::int64_t total = 0;
            for (const auto& e : f.extents) {
                if (e.offset < 0 || e.length < 1) __builtin_trap();
                total += e.length;
            }
            if (!f.extents.empty() && (total != f.size || f.extents[0].offset != f.offset)) __builtin_trap();
        }
    }
    return 0;
}
