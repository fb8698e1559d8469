#include "media/decode/Checks.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string_view>
#include <vector>

#include "engine/carve/ByteReaders.h"
#include "engine/carve/Damage.h"

namespace tamsel::media {

using carve::beU32;
using carve::beU64;
using carve::leU32;
using Span = std::span<const std::uint8_t>;

namespace {

bool is(Span b, std::size_t at, std::string_view four) {
    return at + 4 <= b.size() && std::memcmp(b.data() + at, four.data(), 4) == 0;
}

// PNG --------------------------------------------------------------------------

// Bytes the filtered scanlines of a picture take, or -1 when not a PNG's.
std::int64_t pngRawBytes(std::uint32_t width, std::uint32_t height, int depth, int colour, bool interlaced) {
    int channels = 0;
    switch (colour) {
        case 0: case 3: channels = 1; break;
        case 2: channels = 3; break;
        case 4: channels = 2; break;
        case 6: channels = 4; break;
        default: return -1;
    }
    if (depth != 1 && depth != 2 && depth != 4 && depth != 8 && depth != 16) return -1;
    const std::int64_t bits = std::int64_t{channels} * depth;
    auto bytesOf = [&](std::int64_t w, std::int64_t h) { return w == 0 || h == 0 ? 0 : h * (1 + (w * bits + 7) / 8); };
    if (!interlaced) return bytesOf(width, height);
    // Adam7's seven passes: start and step in x and y.
    static constexpr int kPass[7][4] = {{0, 8, 0, 8}, {4, 8, 0, 8}, {0, 4, 4, 8}, {2, 4, 0, 4},
                                        {0, 2, 2, 4}, {1, 2, 0, 2}, {0, 1, 1, 2}};
    std::int64_t total = 0;
    for (const auto& p : kPass)
        total += bytesOf((std::int64_t{width} - p[0] + p[1] - 1) / p[1], (std::int64_t{height} - p[2] + p[3] - 1) / p[3]);
    return total;
}

// HEIF -------------------------------------------------------------------------

struct Box {
    std::size_t at = 0;       // the box's first byte
    std::size_t body = 0;     // its content's first byte
    std::size_t end = 0;
    char type[5] = {};
};

// The boxes in [from, to), at most `limit` of them; stops at the first that does not fit.
std::vector<Box> boxesIn(Span b, std::size_t from, std::size_t to, std::size_t limit = 4096) {
    std::vector<Box> out;
    std::size_t pos = from;
    while (pos + 8 <= to && out.size() < limit) {
        std::uint64_t size = beU32(b, pos);
        std::size_t header = 8;
        if (size == 1) {
            if (pos + 16 > to) break;
            size = beU64(b, pos + 8);
            header = 16;
        } else if (size == 0) {
            size = to - pos;
        }
        if (size < header || size > to - pos) break;
        Box box{pos, pos + header, pos + static_cast<std::size_t>(size), {}};
        std::memcpy(box.type, b.data() + pos + 4, 4);
        out.push_back(box);
        pos = box.end;
    }
    return out;
}

// By value: the list is often a temporary.
std::optional<Box> find(const std::vector<Box>& boxes, std::string_view type) {
    for (const auto& x : boxes)
        if (type == x.type) return x;
    return std::nullopt;
}

// A reader of a box's fields that notices running past the end.
struct Fields {
    Span b;
    std::size_t pos;
    std::size_t end;
    bool ok = true;
    std::uint64_t take(int bytes) {
        if (bytes == 0) return 0;
        if (!ok || pos + static_cast<std::size_t>(bytes) > end) {
            ok = false;
            return 0;
        }
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v = v << 8 | b[pos + static_cast<std::size_t>(i)];
        pos += static_cast<std::size_t>(bytes);
        return v;
    }
};

struct Extent {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// Whether NAL units of `lengthSize`-byte lengths fill `data` exactly, none
// of them holding 00 00 00, 00 00 01 or 00 00 02 (which emulation
// prevention rules out, and a zeroed stretch produces).
bool nalUnitsChain(Span data, int lengthSize) {
    std::size_t pos = 0;
    while (pos < data.size()) {
        if (pos + static_cast<std::size_t>(lengthSize) > data.size()) return false;
        std::uint64_t n = 0;
        for (int i = 0; i < lengthSize; ++i) n = n << 8 | data[pos + static_cast<std::size_t>(i)];
        pos += static_cast<std::size_t>(lengthSize);
        if (n == 0 || n > data.size() - pos) return false;
        const std::uint8_t* p = data.data() + pos;
        for (std::size_t i = 0; i + 2 < n; ++i)
            if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] <= 2) return false;
        pos += static_cast<std::size_t>(n);
    }
    return true;
}

// Movies -----------------------------------------------------------------------

constexpr std::int64_t kMaxMoov = 64LL << 20;
constexpr int kMaxTopBoxes = 100000;

}  // namespace

Note checkPng(Span file) {
    if (file.size() < 8 + 25) return std::nullopt;
    std::size_t pos = 8;
    std::int64_t expected = -1;
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return std::nullopt;
    std::int64_t inflated = 0;
    bool streamEnded = false, broken = false, sawEnd = false;
    std::vector<std::uint8_t> out(65536);
    while (pos + 12 <= file.size()) {
        const std::uint32_t length = beU32(file, pos);
        if (length > file.size() - pos - 12) break;
        const std::uint32_t crc = static_cast<std::uint32_t>(crc32(0L, file.data() + pos + 4, length + 4));
        if (crc != beU32(file, pos + 8 + length)) {
            broken = true;
            break;
        }
        const Span data = file.subspan(pos + 8, length);
        if (is(file, pos + 4, "IHDR") && length >= 13)
            expected = pngRawBytes(beU32(data, 0), beU32(data, 4), data[8], data[9], data[12] == 1);
        if (is(file, pos + 4, "IDAT") && !streamEnded && !broken) {
            z.next_in = const_cast<Bytef*>(data.data());
            z.avail_in = length;
            while (z.avail_in > 0 && !streamEnded) {
                z.next_out = out.data();
                z.avail_out = static_cast<uInt>(out.size());
                const int rc = inflate(&z, Z_NO_FLUSH);
                inflated += static_cast<std::int64_t>(out.size() - z.avail_out);
                if (rc == Z_STREAM_END) streamEnded = true;
                else if (rc != Z_OK && rc != Z_BUF_ERROR) broken = true;
                if (broken || (expected >= 0 && inflated > expected)) break;
                if (rc == Z_BUF_ERROR && z.avail_in > 0 && z.avail_out > 0) broken = true;
                if (broken) break;
            }
            if (broken || (expected >= 0 && inflated > expected)) {
                broken = true;
                break;
            }
        }
        pos += 12 + length;
        if (is(file, pos - 12 - length + 4, "IEND")) {
            sawEnd = true;
            break;
        }
    }
    inflateEnd(&z);
    if (broken) return std::string(damage::kCorrupt);
    if (!sawEnd) return std::string(damage::kCutShort);
    if (expected >= 0 && (!streamEnded || inflated != expected)) return std::string(damage::kCorrupt);
    return std::nullopt;
}

Note checkHeif(Span file) {
    const auto top = boxesIn(file, 0, file.size());
    const auto meta = find(top, "meta");
    if (!meta) return std::nullopt;
    const auto inMeta = boxesIn(file, meta->body + 4, meta->end);
    const auto iloc = find(inMeta, "iloc");
    if (!iloc) return std::nullopt;

    // Item types (iinf), and which HEVC configuration each item has (iprp).
    std::map<std::uint32_t, std::string> types;
    if (const auto iinf = find(inMeta, "iinf")) {
        Fields f{file, iinf->body, iinf->end};
        const auto version = f.take(1);
        f.take(3);
        f.take(version == 0 ? 2 : 4);
        if (f.ok)
            for (const auto& infe : boxesIn(file, f.pos, iinf->end, 100000)) {
                if (std::string_view(infe.type) != "infe") continue;
                Fields e{file, infe.body, infe.end};
                const auto v = e.take(1);
                e.take(3);
                if (v < 2) continue;
                const auto id = static_cast<std::uint32_t>(e.take(v == 2 ? 2 : 4));
                e.take(2);
                const auto type = e.take(4);
                if (!e.ok) continue;
                std::string t(4, ' ');
                for (int i = 0; i < 4; ++i) t[static_cast<std::size_t>(i)] = static_cast<char>(type >> (24 - 8 * i));
                types[id] = t;
            }
    }
    std::map<std::uint32_t, int> lengthSizes;
    if (const auto iprp = find(inMeta, "iprp")) {
        const auto inIprp = boxesIn(file, iprp->body, iprp->end);
        const auto ipco = find(inIprp, "ipco");
        const auto ipma = find(inIprp, "ipma");
        if (ipco && ipma) {
            const auto properties = boxesIn(file, ipco->body, ipco->end, 100000);
            Fields f{file, ipma->body, ipma->end};
            const auto version = f.take(1);
            const auto flags = f.take(3);
            const auto count = f.take(4);
            for (std::uint64_t i = 0; i < count && f.ok; ++i) {
                const auto id = static_cast<std::uint32_t>(f.take(version < 1 ? 2 : 4));
                const auto n = f.take(1);
                for (std::uint64_t k = 0; k < n && f.ok; ++k) {
                    const auto v = f.take((flags & 1) ? 2 : 1);
                    const auto index = v & ((flags & 1) ? 0x7FFF : 0x7F);
                    if (index < 1 || index > properties.size()) continue;
                    const Box& p = properties[index - 1];
                    if (std::string_view(p.type) == "hvcC" && p.body + 22 <= p.end)
                        lengthSizes[id] = (file[p.body + 21] & 3) + 1;
                }
            }
        }
    }

    Fields f{file, iloc->body, iloc->end};
    const auto version = f.take(1);
    f.take(3);
    const auto sizes = f.take(1);
    const auto more = f.take(1);
    const int offsetSize = static_cast<int>(sizes >> 4), lengthSize = static_cast<int>(sizes & 15);
    const int baseSize = static_cast<int>(more >> 4), indexSize = version >= 1 ? static_cast<int>(more & 15) : 0;
    for (int s : {offsetSize, lengthSize, baseSize, indexSize})
        if (s != 0 && s != 4 && s != 8) return std::nullopt;
    const auto items = f.take(version < 2 ? 2 : 4);
    const std::uint64_t size = file.size();
    bool outside = false, broken = false;
    for (std::uint64_t i = 0; i < items && f.ok; ++i) {
        const auto id = static_cast<std::uint32_t>(f.take(version < 2 ? 2 : 4));
        const auto method = version >= 1 ? f.take(2) & 15 : 0;
        f.take(2);
        const auto base = f.take(baseSize);
        const auto extents = f.take(2);
        std::vector<Extent> list;
        for (std::uint64_t k = 0; k < extents && f.ok; ++k) {
            f.take(indexSize);
            const auto offset = f.take(offsetSize);
            const auto length = f.take(lengthSize);
            list.push_back({base + offset, length});
        }
        if (!f.ok || method != 0) continue;  // idat and item references hold no file offsets
        if (std::any_of(list.begin(), list.end(), [&](const Extent& e) { return e.offset > size || e.length > size - e.offset; })) {
            outside = true;
            continue;
        }
        const auto type = types.find(id);
        const auto ls = lengthSizes.find(id);
        if (type == types.end() || type->second != "hvc1" || ls == lengthSizes.end()) continue;
        // An item in one extent (nearly all) is looked at where it lies; pieces are joined first.
        auto piece = [&](const Extent& e) {
            return file.subspan(static_cast<std::size_t>(e.offset), static_cast<std::size_t>(e.length));
        };
        std::vector<std::uint8_t> joined;
        if (list.size() > 1)
            for (const auto& e : list) joined.insert(joined.end(), piece(e).begin(), piece(e).end());
        const Span data = list.size() == 1 ? piece(list.front()) : Span(joined);
        if (!data.empty() && !nalUnitsChain(data, ls->second)) broken = true;
    }
    if (outside) return std::string(damage::kCutShort);
    if (broken) return std::string(damage::kCorrupt);
    return std::nullopt;
}

Note checkMovie(ByteRange& file) {
    const std::int64_t size = file.length();
    // The top-level boxes, read header by header; the movie box whole.
    std::int64_t pos = 0;
    Bytes moov;
    bool fragmented = false;
    for (int i = 0; i < kMaxTopBoxes && pos + 8 <= size; ++i) {
        const Bytes h = file.read(pos, 16);
        if (h.size() < 8) break;
        std::int64_t boxSize = beU32(h.span(), 0);
        if (boxSize == 1) {
            if (h.size() < 16) break;
            const auto large = beU64(h.span(), 8);
            if (large > static_cast<std::uint64_t>(size)) break;
            boxSize = static_cast<std::int64_t>(large);
        } else if (boxSize == 0) {
            boxSize = size - pos;
        }
        if (boxSize < 8 || boxSize > size - pos) break;
        if (is(h.span(), 4, "moof")) fragmented = true;
        if (is(h.span(), 4, "moov")) {
            if (boxSize > kMaxMoov) return std::nullopt;
            moov = file.read(pos, boxSize);
            if (static_cast<std::int64_t>(moov.size()) < boxSize) return std::nullopt;
        }
        pos += boxSize;
    }
    if (moov.empty()) return fragmented ? std::nullopt : std::optional<std::string>(damage::kNoIndex);
    const Span m = moov.span();
    const auto tracks = boxesIn(m, 8, m.size());
    bool broken = false, walking = true;
    for (const auto& trak : tracks) {
        if (std::string_view(trak.type) != "trak") continue;
        const auto mdia = find(boxesIn(m, trak.body, trak.end), "mdia");
        const auto minf = mdia ? find(boxesIn(m, mdia->body, mdia->end), "minf") : std::nullopt;
        const auto stbl = minf ? find(boxesIn(m, minf->body, minf->end), "stbl") : std::nullopt;
        if (!stbl) continue;
        const auto tables = boxesIn(m, stbl->body, stbl->end);
        // The NAL length size of an AVC or HEVC track (0: not such a track).
        int lengthSize = 0;
        if (const auto stsd = find(tables, "stsd"); stsd && stsd->body + 8 <= stsd->end) {
            const auto entries = boxesIn(m, stsd->body + 8, stsd->end, 1);
            if (!entries.empty()) {
                const std::string_view type(entries.front().type);
                // A visual sample entry's boxes follow its 78 bytes of fields.
                const auto inside = boxesIn(m, std::min(entries.front().body + 78, entries.front().end), entries.front().end);
                const auto avcC = find(inside, "avcC");
                const auto hvcC = find(inside, "hvcC");
                if ((type == "avc1" || type == "avc3") && avcC && avcC->body + 5 <= avcC->end)
                    lengthSize = (m[avcC->body + 4] & 3) + 1;
                if ((type == "hvc1" || type == "hev1") && hvcC && hvcC->body + 22 <= hvcC->end)
                    lengthSize = (m[hvcC->body + 21] & 3) + 1;
            }
        }
        const auto stco = find(tables, "stco");
        const auto co64 = find(tables, "co64");
        const auto stsz = find(tables, "stsz");
        const auto stsc = find(tables, "stsc");
        if ((!stco && !co64) || !stsz || !stsc) continue;
        // Chunk offsets.
        std::vector<std::uint64_t> chunks;
        {
            const Box c = stco ? *stco : *co64;
            Fields f{m, c.body + 4, c.end};
            const auto n = f.take(4);
            const int width = stco ? 4 : 8;
            if (n > (c.end - f.pos) / static_cast<std::size_t>(width)) return std::string(damage::kIndexOutside);
            chunks.reserve(n);
            for (std::uint64_t i = 0; i < n; ++i) chunks.push_back(f.take(width));
        }
        // Sample sizes.
        Fields z{m, stsz->body + 4, stsz->end};
        const auto fixed = z.take(4);
        const auto samples = z.take(4);
        if (!z.ok || (fixed == 0 && samples > (stsz->end - z.pos) / 4)) return std::string(damage::kIndexOutside);
        std::uint64_t sample = 0;
        auto nextSize = [&]() -> std::uint64_t {
            if (sample >= samples) return 0;
            ++sample;
            return fixed != 0 ? fixed : z.take(4);
        };
        // Samples per chunk, run by run.
        Fields s{m, stsc->body + 4, stsc->end};
        const auto runs = s.take(4);
        if (!s.ok || runs > (stsc->end - s.pos) / 12) return std::string(damage::kIndexOutside);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> perChunk;  // first chunk (1-based), samples
        for (std::uint64_t i = 0; i < runs; ++i) {
            const auto first = s.take(4);
            const auto count = s.take(4);
            s.take(4);
            perChunk.emplace_back(first, count);
        }
        std::size_t run = 0;
        std::vector<std::uint64_t> sizes;
        for (std::size_t c = 0; c < chunks.size(); ++c) {
            while (run + 1 < perChunk.size() && perChunk[run + 1].first <= c + 1) ++run;
            const std::uint64_t count = perChunk.empty() ? 0 : perChunk[run].second;
            std::uint64_t bytes = 0;
            sizes.clear();
            for (std::uint64_t k = 0; k < count && sample < samples; ++k) bytes += sizes.emplace_back(nextSize());
            if (chunks[c] > static_cast<std::uint64_t>(size) || bytes > static_cast<std::uint64_t>(size) - chunks[c])
                return std::string(damage::kIndexOutside);
            // The coded stream obeys its own rules, sample by sample, as far
            // as the bytes given reach (a short read ends the walk, no verdict).
            if (lengthSize > 0 && walking && bytes > 0) {
                const Bytes data = file.read(static_cast<std::int64_t>(chunks[c]), static_cast<std::int64_t>(bytes));
                if (data.size() < bytes) {
                    walking = false;
                } else {
                    std::size_t at = 0;
                    for (std::uint64_t sampleSize : sizes) {
                        if (sampleSize > 0 && !nalUnitsChain(data.span().subspan(at, static_cast<std::size_t>(sampleSize)), lengthSize)) {
                            broken = true;
                            walking = false;
                            break;
                        }
                        at += static_cast<std::size_t>(sampleSize);
                    }
                }
            }
            if (sample >= samples) break;
        }
    }
    if (broken) return std::string(damage::kCorrupt);
    return std::nullopt;
}

Note checkAvi(ByteRange& file) {
    const std::int64_t size = file.length();
    std::int64_t pos = 12, movi = -1;
    for (int i = 0; i < kMaxTopBoxes && pos + 12 <= size; ++i) {
        const Bytes h = file.read(pos, 12);
        if (h.size() < 12) break;
        const std::int64_t length = leU32(h.span(), 4);
        if (is(h.span(), 0, "LIST") && is(h.span(), 8, "movi")) movi = pos + 8;
        if (is(h.span(), 0, "idx1") && movi >= 0) {
            const std::int64_t n = std::min<std::int64_t>(length, size - pos - 8) / 16;
            if (n < 1) return std::nullopt;
            const Bytes index = file.read(pos + 8, n * 16);
            if (static_cast<std::int64_t>(index.size()) < n * 16) return std::nullopt;
            const Span x = index.span();
            // Offsets count from the movi list's "movi", or (some writers) from the file's start.
            const std::int64_t base = leU32(x, 8) >= static_cast<std::uint32_t>(movi) ? 0 : movi;
            for (std::int64_t k = 0; k < n; ++k) {
                const std::int64_t at = base + leU32(x, static_cast<std::size_t>(k * 16 + 8));
                const std::int64_t bytes = leU32(x, static_cast<std::size_t>(k * 16 + 12));
                if (at + 8 + bytes > size) return std::string(damage::kIndexOutside);
            }
            return std::nullopt;
        }
        pos += 8 + length + (length & 1);
    }
    return std::nullopt;
}

std::optional<double> flatBottomFrom(const RgbImage& image) {
    if (image.empty() || image.height < 16) return std::nullopt;
    const auto w = static_cast<std::size_t>(image.width);
    const std::uint8_t* last = image.pixels.data() + (static_cast<std::size_t>(image.height) - 1) * w * 3;
    const std::uint8_t r = last[0], g = last[1], b = last[2];
    // Blown-out white and black are what photos hold; zeros decode as neither.
    if (std::max({r, g, b}) <= 8 || std::min({r, g, b}) >= 247) return std::nullopt;
    auto near = [](int a, int v) { return a - v <= 2 && v - a <= 2; };
    int y = image.height;
    while (y > 0) {
        const std::uint8_t* row = image.pixels.data() + static_cast<std::size_t>(y - 1) * w * 3;
        bool flat = true;
        for (std::size_t x = 0; x < w && flat; ++x)
            flat = near(row[3 * x], r) && near(row[3 * x + 1], g) && near(row[3 * x + 2], b);
        if (!flat) break;
        --y;
    }
    const int band = image.height - y;
    if (band < 8 || band * 20 < image.height || y == 0) return std::nullopt;
    return static_cast<double>(y) / image.height;
}

}  // namespace tamsel::media
