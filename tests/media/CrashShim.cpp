// Loaded into a thumbnail worker with LD_PRELOAD: every JPEG header read
// crashes the worker (a segmentation fault, as a decoder bug met by a
// hostile file would cause; the sandbox leaves no way to raise a signal).
#include <cstdint>

extern "C" int jpeg_read_header(void*, int) {
    volatile std::uintptr_t address = 16;
    *reinterpret_cast<volatile int*>(address) = 1;
    return 0;
}
