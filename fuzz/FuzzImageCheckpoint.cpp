// An image's checkpoint as a crash, an older version or another program may
// leave it beside the image.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/imaging/DiskImager.h"

using namespace tamsel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto cp = ImageCheckpoint::decode(text)) {
        if (cp->position < 0) __builtin_trap();
        // Whatever decodes encodes back to the same position and source.
        auto again = ImageCheckpoint::decode(cp->encode());
        if (!again || again->position != cp->position || again->identity.has_value() != cp->identity.has_value())
            __builtin_trap();
        // The record comes back as it was (an older or unreadable one matches
        // nothing, itself included, so equality of the text is the test).
        if (cp->identity && again->identity->encode() != cp->identity->encode()) __builtin_trap();
        // A map of passes covers the source exactly and survives the round trip.
        if (cp->state.has_value() != again->state.has_value()) __builtin_trap();
        if (cp->state) {
            if (!cp->identity || cp->state->map.size() != cp->identity->size) __builtin_trap();
            if (cp->state->map.blocks() != again->state->map.blocks() || cp->state->phase != again->state->phase ||
                cp->state->phasePos != again->state->phasePos || cp->state->phasePos > cp->identity->size)
                __builtin_trap();
            std::int64_t at = 0;
            for (const auto& b : cp->state->map.blocks()) {
                if (b.offset != at || b.length < 1) __builtin_trap();
                at = b.end();
            }
            if (at != cp->identity->size) __builtin_trap();
        }
    }
    return 0;
}
