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
        if (cp->identity && !again->identity->matches(*cp->identity)) __builtin_trap();
    }
    return 0;
}
