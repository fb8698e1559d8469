#pragma once
// Linux block-device queries behind the reading layer.

#include <cstdint>

namespace tamsel::platform {

struct BlockGeometry {
    std::uint32_t blockSize = 0;  // logical block size (BLKSSZGET), 0 if unknown
    std::uint64_t byteCount = 0;  // device size in bytes (BLKGETSIZE64), 0 if unknown
};

BlockGeometry queryBlockGeometry(int fd);

// Switches the descriptor to unbuffered reads when the device accepts them
// (checked with one aligned read); returns whether it did.
bool enableDirectIO(int fd, std::int64_t alignment, std::int64_t size);

}  // namespace tamsel::platform
