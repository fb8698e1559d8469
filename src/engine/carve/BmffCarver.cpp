#include <array>
#include <cstring>
#include <limits>
#include <set>
#include <string>

#include "engine/carve/ByteReaders.h"
#include "engine/carve/Damage.h"
#include "engine/carve/Formats.h"

namespace tamsel::carve {

const std::set<std::string>& bmffTopBoxes() {
    static const std::set<std::string> boxes{"moov", "mdat", "free", "skip", "wide", "pnot", "moof", "mfra",
                                             "meta", "uuid", "styp", "sidx", "ssix", "prft", "emsg", "junk", "pdin"};
    return boxes;
}

namespace {
constexpr int kMaxBoxes = 200001;
constexpr std::uint32_t kMinFtyp = 16;
constexpr std::uint32_t kMaxFtyp = 4096;

std::string brandOf(const Bytes& b) {
    std::string s;
    for (std::uint8_t c : b) {
        if (c >= 0x80) return {};
        s.push_back(static_cast<char>(c));
    }
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

std::string extensionForBrand(const std::string& brand) {
    if (brand == "qt") return "mov";
    if (brand == "heic" || brand == "heix" || brand == "hevc" || brand == "mif1" || brand == "msf1") return "heic";
    if (brand == "avif" || brand == "avis") return "avif";
    if (brand == "crx") return "cr3";
    if (brand.rfind("3g2", 0) == 0) return "3g2";
    if (brand.rfind("3g", 0) == 0) return "3gp";
    if (brand == "M4A") return "m4a";
    if (brand.rfind("M4V", 0) == 0) return "m4v";
    return "mp4";
}
}  // namespace

std::optional<CarveResult> carveBMFF(RandomAccessSource& source, std::int64_t at) {
    const std::int64_t size = source.size();
    std::int64_t pos = at;
    int boxes = 0;
    bool sawMedia = false;
    // Where the search goes on when a box's size cannot be believed: inside it.
    std::optional<std::int64_t> unconfirmedFrom;
    bool toTheEnd = false;
    std::string brand;
    while (boxes < kMaxBoxes) {
        Bytes b = source.pread(pos, 16);
        if (b.size() < 8) break;
        const std::uint32_t size32 = beU32(b.span(), 0);
        const std::string type(reinterpret_cast<const char*>(b.data() + 4), 4);
        if (boxes == 0) {
            if (!holdsSignature(format("bmff"), b.span()) || size32 < kMinFtyp || size32 > kMaxFtyp) return std::nullopt;
            brand = brandOf(source.pread(at + 8, 4));
        } else if (bmffTopBoxes().count(type) == 0) {
            break;  // another file's first box among them
        }
        if (type == "moov" || type == "mdat" || type == "moof") sawMedia = true;
        std::int64_t boxSize = 0;
        if (size32 == 1) {
            if (b.size() < 16) break;
            const std::uint64_t large = beU64(b.span(), 8);
            if (large < 16 || large > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                unconfirmedFrom = pos + 16;
                pos = size;
                break;
            }
            boxSize = static_cast<std::int64_t>(large);
        } else if (size32 == 0) {
            // "To the end of the file": what an interrupted recording leaves.
            unconfirmedFrom = pos + 8;
            toTheEnd = true;
            pos = size;
            break;
        } else if (size32 < 8) {
            break;
        } else {
            boxSize = size32;
        }
        if (boxSize > size - pos) {
            unconfirmedFrom = pos + (size32 == 1 ? 16 : 8);
            pos = size;
            break;
        }
        pos += boxSize;
        ++boxes;
    }
    if (!sawMedia) return std::nullopt;
    if (!unconfirmedFrom) return CarveResult{pos - at, extensionForBrand(brand), std::nullopt};
    return CarveResult{pos - at, extensionForBrand(brand), toTheEnd ? std::nullopt : std::optional<std::string>(damage::kCutShort),
                       false, *unconfirmedFrom - at};
}

}  // namespace tamsel::carve
