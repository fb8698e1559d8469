// The whole scan loop over arbitrary bytes, some of them unreadable.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "engine/carve/Carver.h"
#include "engine/carve/FoundList.h"
#include "engine/reading/MemorySource.h"

using namespace tamsel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::filesystem::path session =
        std::filesystem::temp_directory_path() / ("tamsel-fuzz-scan-" + std::to_string(::getpid()));
    std::vector<BadRange> bad;
    if (size >= 4) bad.push_back({data[0] * 16, data[1] * 4 + 1});
    auto source = std::make_shared<MemorySource>(std::vector<std::uint8_t>(data, data + size), "fuzz", bad);
    std::error_code ec;
    std::filesystem::remove_all(session, ec);
    Carver carver(source, session, CarveOutputMode::probeOnly, nullptr);
    auto summary = carver.run();
    std::int64_t end = 0;
    for (const auto& f : Session::foundIn(session)) {
        // Found files never overlap and never leave the source.
        if (f.offset < end || f.length < 1 || f.offset + f.length > source->size()) __builtin_trap();
        end = f.offset + f.length;
    }
    if (summary.bytesScanned != source->size()) __builtin_trap();
    return 0;
}
