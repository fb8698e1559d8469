// Every row's carver at every signature hit of arbitrary bytes, and the volume
// serial read from a card's first sectors.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/carve/Formats.h"
#include "engine/carve/SignatureSearch.h"
#include "engine/reading/MemorySource.h"
#include "engine/reading/SourceIdentity.h"

using namespace tamsel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemorySource source(std::vector<std::uint8_t>(data, data + size));
    auto check = [&](const std::optional<carve::CarveResult>& r, std::int64_t at) {
        if (r && (r->length < 0 || !carve::isCarvedExtension(r->ext))) __builtin_trap();
        (void)at;
    };
    for (const auto& [at, format] : findSignatures({data, size})) check(format->carve(source, at), at);
    // The carvers are also handed starts the search would not give them.
    if (size > 0) {
        for (const auto& format : carve::formats())
            if (format.carve) check(format.carve(source, 0), 0);
        check(carve::scanJPEGEnd(source, 0, 0), 0);
        // A card's first sectors: partition tables and boot sectors.
        (void)volumeSerialOf(source, {data, size});
    }
    return 0;
}
