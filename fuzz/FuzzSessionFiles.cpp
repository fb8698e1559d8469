// The files a session folder keeps, as a crash or another program may leave
// them: found-list lines, checkpoints and the source's identity record.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/carve/Checkpoint.h"
#include "engine/carve/FoundList.h"
#include "engine/reading/SourceIdentity.h"

using namespace tamsel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto f = CarvedFileExtractor::decode(text)) {
        // Whatever decodes encodes back to a record that decodes the same.
        auto again = CarvedFileExtractor::decode(CarvedFileExtractor::encode(*f));
        if (!again || again->fileName != f->fileName || again->index != f->index || again->note != f->note)
            __builtin_trap();
        // Only a canonical name inside the destination, and a range that
        // can be added up without overflow.
        if (!CarvedFileExtractor::isSafeRelativeName(*f) || f->fileName.find("..") != std::string::npos ||
            f->fileName.front() == '/' || f->index < 1 || f->offset < 0 || f->length < 1 ||
            f->offset > INT64_MAX - f->length)
            __builtin_trap();
    }
    if (auto check = CarvedFileExtractor::decodeCheck(text)) {
        // A check comes back as it was, for a real record, with words to show or a date.
        auto again = CarvedFileExtractor::decodeCheck(CarvedFileExtractor::encodeCheck(*check));
        if (!again || again->index != check->index || again->note != check->note || again->taken != check->taken ||
            check->index < 1 || (check->note && check->note->empty()) || (!check->note && !check->taken))
            __builtin_trap();
    }
    if (auto c = CarveCheckpoint::decode(text)) {
        auto again = CarveCheckpoint::decode(c->encode());
        if (!again || again->scanPos != c->scanPos || again->sourceName != c->sourceName) __builtin_trap();
        // Every value a resumed scan uses is in range.
        if (c->scanPos < 0 || c->scanPos > c->sourceSize || c->fileIndex < 0 ||
            c->fileIndex > CarveCheckpoint::kMaxFileIndex || c->filesFound < 0 || c->filesFound > c->fileIndex ||
            c->damagedFiles < 0 || c->damagedFiles > c->filesFound)
            __builtin_trap();
        (void)(c->fileIndex + 1);
    }
    if (auto id = SourceIdentity::decode(text)) {
        auto again = SourceIdentity::decode(id->encode());
        if (!again || again->encode() != id->encode() || id->size < 0) __builtin_trap();
        // A record never holds more samples than its size's layout.
        if (!id->samples.empty() && id->samples.size() != SourceIdentity::layout(id->size).size()) __builtin_trap();
    }
    return 0;
}
