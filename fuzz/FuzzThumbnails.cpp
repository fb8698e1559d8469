// What a thumbnail worker does with arbitrary bytes (the photo and video
// paths; the last byte picks the extension the carver would have given),
// and the worker's side of the protocol it is spoken to in.

#include <cstdint>
#include <vector>

#include "media/WorkerProtocol.h"
#include "media/decode/Thumbnail.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* const kExts[] = {"jpg", "png", "webp", "tif", "heic", "avif", "dng", "cr2", "nef", "cr3",
                                        "mp4", "mov", "avi", "3gp", "mts", "mkv", "gif", "bmp"};
    if (size < 1) return 0;
    const std::span<const std::uint8_t> bytes(data, size);
    (void)tamsel::media::protocol::decodeJob(bytes);
    (void)tamsel::media::protocol::decodeRead(bytes);
    (void)tamsel::media::protocol::decodeResult(bytes);
    const char* ext = kExts[data[size - 1] % (sizeof kExts / sizeof kExts[0])];
    tamsel::media::MemoryRange file(bytes);
    tamsel::media::ThumbnailLimits limits;
    limits.videoTime = std::chrono::milliseconds(2000);
    (void)tamsel::media::makeThumbnail(file, ext, limits);
    return 0;
}
