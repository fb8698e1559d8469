// Every carver at every signature hit of arbitrary bytes, and the volume
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
        if (r && (r->length < 0 || r->ext.empty())) __builtin_trap();
        (void)at;
    };
    for (const auto& [at, kind] : findSignatures({data, size})) {
        switch (kind) {
            case SigKind::jpeg: check(carve::carveJPEG(source, at), at); break;
            case SigKind::png: check(carve::carvePNG(source, at), at); break;
            case SigKind::bmff: check(carve::carveBMFF(source, at), at); break;
            case SigKind::riff: check(carve::carveRIFF(source, at), at); break;
            case SigKind::tiffLE: check(carve::carveTIFF(source, at, true), at); break;
            case SigKind::tiffBE: check(carve::carveTIFF(source, at, false), at); break;
        }
    }
    // The carvers are also handed starts the search would not give them.
    if (size > 0) {
        check(carve::carveTIFF(source, 0, data[0] & 1), 0);
        check(carve::carveBMFF(source, 0), 0);
        check(carve::scanJPEGEnd(source, 0, 0), 0);
        // A card's first sectors: partition tables and boot sectors.
        (void)volumeSerialOf(source, {data, size});
    }
    return 0;
}
