// The format carvers on hand-built files: where each says a file ends.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <set>

#include "carve/ByteBuilder.h"
#include "engine/carve/Carver.h"
#include "engine/carve/Formats.h"
#include "engine/carve/SignatureSearch.h"
#include "engine/reading/FileSource.h"
#include "support/Corpus.h"
#include "support/TempDir.h"

namespace tamsel::carve {
namespace {

using test::ByteBuilder;
using test::TempDir;

std::optional<CarveResult> jpegAt0(const ByteBuilder& b) { return carveJPEG(*b.source(), 0); }
CarveResult result(std::int64_t length, const char* ext, std::optional<std::string> note = std::nullopt) {
    return CarveResult{length, ext, std::move(note)};
}
// A length the file's structure does not vouch for: the scan searches on from `searchFrom`.
CarveResult unconfirmed(std::int64_t length, const char* ext, std::optional<std::string> note, std::int64_t searchFrom) {
    return CarveResult{length, ext, std::move(note), false, searchFrom};
}

// A file of `size` bytes holding the pieces at their offsets and holes
// between them: limits of 256 MiB without building 256 MiB in memory.
std::shared_ptr<FileSource> sparse(const fs::path& file, std::int64_t size, const std::vector<std::pair<std::int64_t, ByteBuilder>>& pieces) {
    std::ofstream out(file, std::ios::binary);
    for (const auto& [at, b] : pieces) out.seekp(at).write(reinterpret_cast<const char*>(b.bytes.data()), static_cast<std::streamsize>(b.size()));
    out.close();
    fs::resize_file(file, static_cast<std::uintmax_t>(size));
    return std::make_shared<FileSource>(file.string(), 0);
}

// The table and the search -----------------------------------------------------

TEST(FormatTable, RowsCanBeSearchedForAndNameEachExtensionOnce) {
    std::set<std::string_view> names;
    for (const Format& f : formats()) {
        EXPECT_EQ(f.signatures.empty(), f.carve == nullptr) << f.name << ": a signature needs a carver and a carver a signature";
        for (const Signature& s : f.signatures) {
            EXPECT_GE(s.bytes.size(), 2u) << f.name;
            // The scan finds a start before a step's end by reading this far past it.
            EXPECT_LE(s.at + static_cast<std::int64_t>(s.bytes.size()), Carver::kOverlap) << f.name;
        }
        for (const Extension& e : f.extensions) {
            EXPECT_TRUE(names.insert(e.name).second) << e.name << " named twice";
            EXPECT_EQ(lowerCasedExtension(e.name), e.name);
            EXPECT_EQ(isCarvedExtension(std::string(e.name)), e.carved && f.carve != nullptr) << e.name;
        }
    }
}

// The three instruction sets against a plain search, over noise that holds
// every signature at block seams, at the window's edges and before its start.
TEST(SignatureSearch, EveryPathFindsWhatAPlainSearchFinds) {
    std::mt19937 random(7);
    std::vector<std::uint8_t> window(70000);
    for (auto& b : window) b = static_cast<std::uint8_t>(random());
    std::size_t where = 0;
    for (const Format& f : formats())
        for (const Signature& s : f.signatures)
            for (std::size_t at : {where, where + 15, where + 31, where + 4001, window.size() - s.bytes.size()}) {
                std::copy(s.bytes.begin(), s.bytes.end(), window.begin() + static_cast<std::ptrdiff_t>(at));
                where = (where + 997) % 60000;
            }
    std::vector<SignatureHit> plain;
    for (std::size_t m = 0; m < window.size(); ++m)
        for (const Format& f : formats())
            for (const Signature& s : f.signatures)
                if (m + s.bytes.size() <= window.size() && std::equal(s.bytes.begin(), s.bytes.end(), window.begin() + static_cast<std::ptrdiff_t>(m)) &&
                    static_cast<std::int64_t>(m) >= s.at)
                    plain.emplace_back(static_cast<std::int64_t>(m) - s.at, &f);
    std::sort(plain.begin(), plain.end());
    ASSERT_GE(plain.size(), 20u);
    for (auto path : {SearchPath::scalar, SearchPath::ssse3, SearchPath::avx2})
        EXPECT_EQ(findSignaturesWith(path, window), plain) << static_cast<int>(path);
}

// Header walk -----------------------------------------------------------------

ByteBuilder soi() { return ByteBuilder().raw({0xFF, 0xD8}); }
// A baseline frame header (SOF0) for a 1x1 grey image: 13 bytes.
ByteBuilder frame(ByteBuilder b, std::uint8_t marker = 0xC0) {
    b.raw({0xFF, marker}).be16(11).raw({8, 0, 1, 0, 1, 1, 1, 0x11, 0});
    return b;
}
// A start-of-scan segment: 10 bytes.
ByteBuilder scanHeader(ByteBuilder b) {
    b.raw({0xFF, 0xDA}).be16(8).fill(6, 0x01);
    return b;
}
ByteBuilder withScan() { return scanHeader(frame(soi())); }
constexpr std::int64_t kScanData = 2 + 13 + 10;

TEST(JpegCarver, NotAPhotoWithoutAFrameAndAScanOrWithBrokenMarkers) {
    // The four bytes every exFAT up-case table holds, and their kin.
    EXPECT_EQ(jpegAt0(soi().raw({0xFF, 0xD9, 0, 0})), std::nullopt);
    EXPECT_EQ(jpegAt0(frame(soi()).raw({0xFF, 0xD9, 0, 0})), std::nullopt);
    EXPECT_EQ(jpegAt0(scanHeader(soi()).fill(2000, 0x11).raw({0xFF, 0xD9})), std::nullopt);
    // DHT, JPG and DAC lie among the frame markers but are none.
    for (std::uint8_t m : {std::uint8_t{0xC4}, std::uint8_t{0xC8}, std::uint8_t{0xCC}})
        EXPECT_EQ(jpegAt0(scanHeader(frame(soi(), m)).fill(2000, 0x11).raw({0xFF, 0xD9})), std::nullopt) << int(m);
    // A progressive frame (SOF2) with its scan is a photo.
    ByteBuilder progressive = scanHeader(frame(soi(), 0xC2));
    progressive.fill(100, 0x11).raw({0xFF, 0xD9});
    EXPECT_EQ(jpegAt0(progressive), result(static_cast<std::int64_t>(progressive.size()), "jpg"));

    // Four bytes must be readable at every marker.
    EXPECT_EQ(jpegAt0(frame(soi()).raw({0xFF, 0xDA, 0x00})), std::nullopt);
    EXPECT_EQ(jpegAt0(soi().raw({0xFF, 0xD8, 0xFF, 0xD9, 0, 0})), std::nullopt) << "a second start marker";
    for (int len : {0, 1}) {
        EXPECT_EQ(jpegAt0(soi().raw({0xFF, 0xE0}).be16(len).fill(64)), std::nullopt);
        EXPECT_EQ(jpegAt0(frame(soi()).raw({0xFF, 0xDA}).be16(len).fill(2000, 0x11)), std::nullopt);
    }
    EXPECT_EQ(jpegAt0(soi().raw({0x00, 0xD9, 0, 0})), std::nullopt) << "no marker where one must be";
}

TEST(JpegCarver, WalkStopsAfter256Steps) {
    // Frame, 254 restart markers and the scan: 256 steps.
    ByteBuilder ok = frame(soi());
    for (int i = 0; i < 254; ++i) ok.raw({0xFF, static_cast<std::uint8_t>(0xD0 + i % 8)});
    EXPECT_EQ(jpegAt0(scanHeader(ok).raw({0x11, 0xFF, 0xD9})), result(2 + 13 + 254 * 2 + 10 + 3, "jpg"));
    ByteBuilder tooMany = frame(soi());
    for (int i = 0; i < 255; ++i) tooMany.raw({0xFF, 0x01});
    EXPECT_EQ(jpegAt0(scanHeader(tooMany).raw({0x11, 0xFF, 0xD9})), std::nullopt);
}

// Entropy-coded data ---------------------------------------------------------

TEST(JpegCarver, StuffedBytesRestartMarkersAndChunkSeamsDoNotHideTheEnd) {
    ByteBuilder b = withScan();
    b.raw({0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD0, 0x56, 0xFF, 0xD7, 0x78, 0xFF, 0xD9});
    const auto length = static_cast<std::int64_t>(b.size());
    EXPECT_EQ(jpegAt0(b.fill(100, 0x55)), result(length, "jpg"));
    // An end marker split across read chunks, counted from the scan data's start.
    EXPECT_EQ(jpegAt0(withScan().fill(0x100000 - 1, 0x22).raw({0xFF, 0xD9}).fill(64, 0x33)), result(kScanData + 0x100000 + 1, "jpg"));
}

// Without an end: cut where the next photo starts or the source ends, if
// longer than 1024 bytes; never longer than 256 MiB.
TEST(JpegCarver, APhotoWithoutItsEndIsCutShort) {
    const auto cut = [](std::int64_t length) { return unconfirmed(length, "jpg", "途中で切れています", kScanData); };
    for (std::int64_t distance : {5000, 1000}) {
        ByteBuilder b = withScan();
        b.padTo(static_cast<std::size_t>(distance), 0x44).raw({0xFF, 0xD8, 0xFF, 0xE0}).fill(3000, 0x44);
        EXPECT_EQ(jpegAt0(b), distance > 1024 ? std::optional(cut(distance)) : std::nullopt) << distance;
    }
    EXPECT_EQ(jpegAt0(withScan().padTo(1025, 0x44)), cut(1025));
    EXPECT_EQ(jpegAt0(withScan().padTo(1024, 0x44)), std::nullopt);
    TempDir dir;
    EXPECT_EQ(carveJPEG(*sparse(dir / "big", 0x10000000 + 4096, {{0, withScan()}}), 0), cut(0x10000000));
}

// PNG --------------------------------------------------------------------------

ByteBuilder pngChunk(ByteBuilder b, std::string_view type, std::uint32_t length) {
    b.be32(length).text(type).fill(length, 0x7F).be32(0x12345678);
    return b;
}
ByteBuilder pngSignature() { return ByteBuilder().raw({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}); }

TEST(PngCarver, EndsAfterTheEndChunkWithin256MiBAndRejectsBadChunks) {
    EXPECT_EQ(carvePNG(*pngChunk(pngChunk(pngSignature(), "IHD1", 13), "IEND", 0).source(), 0), std::nullopt);
    EXPECT_EQ(carvePNG(*pngChunk(pngChunk(pngSignature(), "IH R", 13), "IEND", 0).source(), 0), std::nullopt);
    ByteBuilder cut = pngChunk(pngSignature(), "IHDR", 13);
    cut.be32(100).text("IDAT").fill(50, 0x7F);
    EXPECT_EQ(carvePNG(*cut.source(), 0), std::nullopt);
    // A chunk header, then the IEND header placed by the chunk's length.
    TempDir dir;
    const std::uint32_t exact = 0x10000000 - 8 - 12 - 12;
    for (std::uint32_t length : {exact, exact + 1}) {
        const std::int64_t end = 8 + 12 + std::int64_t{length};
        auto source = sparse(dir / "png", end + 12, {{0, pngSignature().be32(length).text("IDAT")}, {end, ByteBuilder().be32(0).text("IEND").be32(0)}});
        EXPECT_EQ(carvePNG(*source, 0), length == exact ? std::optional(result(0x10000000, "png")) : std::nullopt);
    }
}

// RIFF ------------------------------------------------------------------------

ByteBuilder riff(std::string_view form, std::uint32_t size) { return ByteBuilder().text("RIFF").le32(size).text(form); }
// A RIFF whose one chunk fills it exactly.
ByteBuilder filled(std::string_view form, std::uint32_t size) {
    ByteBuilder b = riff(form, size);
    b.text("data").le32(size - 12).fill(size - 12, 0x5A);
    return b;
}

TEST(RiffCarver, LengthFromTheHeaderOnlyWhenItsChunksFillIt) {
    EXPECT_EQ(carveRIFF(*filled("WEBP", 20).padTo(40).source(), 0), result(28, "webp"));
    // Past the source's end: cut short there.
    ByteBuilder cut = filled("WAVE", 100);
    cut.bytes.resize(50);
    EXPECT_EQ(carveRIFF(*cut.source(), 0), unconfirmed(50, "wav", "途中で切れています", 12));
    // Chunks that do not add up, or a size no such file has (a recording cut
    // off): the length says nothing, and the scan looks inside.
    EXPECT_EQ(carveRIFF(*riff("WAVE", 100).padTo(300).source(), 0), unconfirmed(108, "wav", std::nullopt, 12));
    ByteBuilder huge = filled("WAVE", 100);
    huge.bytes[4] = 0xF0, huge.bytes[5] = huge.bytes[6] = huge.bytes[7] = 0xFF;
    EXPECT_EQ(carveRIFF(*huge.padTo(300).source(), 0).value_or(CarveResult{}).confirmed, false);
    // Tiny sizes and other forms.
    EXPECT_EQ(carveRIFF(*riff("WAVE", 3).padTo(40).source(), 0), std::nullopt);
    EXPECT_EQ(carveRIFF(*riff("WAVE", 0).padTo(40).source(), 0), std::nullopt);
    EXPECT_EQ(carveRIFF(*riff("CDDA", 20).padTo(40).source(), 0), std::nullopt);
    EXPECT_EQ(carveRIFF(*riff("WAV", 20).padTo(11).source(), 0), std::nullopt);
}

TEST(RiffCarver, OnlyAviJoinsFollowingAvixContainers) {
    ByteBuilder avi = filled("AVI ", 100);
    avi.append(filled("AVIX", 50).bytes).append(filled("AVIX", 20).bytes).append(filled("AVI ", 40).bytes).padTo(400);
    EXPECT_EQ(carveRIFF(*avi.source(), 0), result(108 + 58 + 28, "avi"));

    ByteBuilder webp = filled("WEBP", 100);
    webp.append(filled("AVIX", 50).bytes).padTo(300);
    EXPECT_EQ(carveRIFF(*webp.source(), 0), result(108, "webp"));
}

// ISO-BMFF -------------------------------------------------------------------

ByteBuilder box(ByteBuilder b, std::string_view type, std::uint32_t size) {
    b.be32(size).text(type).fill(size - 8, 0x5A);
    return b;
}
ByteBuilder ftyp(std::string_view brand, std::uint32_t size = 24) {
    ByteBuilder b;
    b.be32(size).text("ftyp").text(brand).be32(0);
    if (size > 16) b.fill(size - 16, 0x20);
    return b;
}

TEST(BmffCarver, WalksTopLevelBoxesToTheFirstUnknownOne) {
    ByteBuilder b = box(box(box(ftyp("qt  "), "wide", 8), "mdat", 1000), "moov", 500);
    b.fill(100, 0);
    EXPECT_EQ(carveBMFF(*b.source(), 0), result(1532, "mov"));
    EXPECT_EQ(carveBMFF(*box(ftyp("isom"), "moov", 64).padTo(200).source(), 0), result(88, "mp4"));
    // Another file's first box right behind ends the walk.
    ByteBuilder two = box(ftyp("isom"), "moov", 64);
    two.append(box(ftyp("isom"), "mdat", 64).bytes);
    EXPECT_EQ(carveBMFF(*two.source(), 0), result(88, "mp4"));
    // No media box, or no plausible ftyp first.
    EXPECT_EQ(carveBMFF(*box(box(ftyp("isom"), "free", 16), "skip", 16).padTo(200).source(), 0), std::nullopt);
    EXPECT_EQ(carveBMFF(*box(ftyp("isom", 12), "mdat", 64).padTo(200).source(), 0), std::nullopt);
    EXPECT_EQ(carveBMFF(*box(ftyp("isom", 5000), "mdat", 64).padTo(6000).source(), 0), std::nullopt);
    EXPECT_EQ(carveBMFF(*box(box(ByteBuilder(), "moov", 64), "mdat", 64).padTo(200).source(), 0), std::nullopt);
}

TEST(BmffCarver, BoxSizesThatCannotBeFollowed) {
    // A media box whose size field is too small: seen, but the walk stops before it.
    ByteBuilder small = ftyp("isom", 32);
    small.be32(3).text("mdat").fill(100, 0x11);
    EXPECT_EQ(carveBMFF(*small.source(), 0), result(32, "mp4"));

    // Size 0 means "to the end of the file", which no structure confirms:
    // the scan looks inside the box for the next file.
    ByteBuilder toEnd = ftyp("isom");
    toEnd.be32(0).text("mdat").fill(1000, 0x11);
    EXPECT_EQ(carveBMFF(*toEnd.source(), 0), unconfirmed(static_cast<std::int64_t>(toEnd.size()), "mp4", std::nullopt, 24 + 8));

    // Larger than what is left: cut short at the end.
    ByteBuilder over = ftyp("isom");
    over.be32(1100).text("mdat").fill(1000, 0x11);
    EXPECT_EQ(carveBMFF(*over.source(), 0),
              unconfirmed(static_cast<std::int64_t>(over.size()), "mp4", "途中で切れています", 24 + 8));

    // 64-bit sizes: implausibly small, and 3 GiB with little left.
    for (std::uint64_t large : {std::uint64_t{8}, std::uint64_t{3} << 30}) {
        ByteBuilder b = ftyp("isom");
        b.be32(1).text("mdat").be64(large).fill(4000, 0x11);
        EXPECT_EQ(carveBMFF(*b.source(), 0),
                  unconfirmed(static_cast<std::int64_t>(b.size()), "mp4", "途中で切れています", 24 + 16));
    }
}

TEST(BmffCarver, ExtensionFollowsTheMajorBrand) {
    // The corpus holds the common brands; these are the lookalikes.
    const std::vector<std::pair<std::string, std::string>> brands{{"heix", "heic"}, {"avis", "avif"}, {"HEIC", "mp4"}, {"M4AX", "mp4"}};
    for (const auto& [brand, ext] : brands)
        EXPECT_EQ(carveBMFF(*box(ftyp(brand), "mdat", 64).padTo(200).source(), 0), result(88, ext.c_str())) << brand;
    ByteBuilder high;
    high.be32(24).text("ftyp").raw({0x80, 0x90, 0xFF, 0xC3}).be32(0).fill(8, 0);
    EXPECT_EQ(carveBMFF(*box(high, "mdat", 64).padTo(200).source(), 0), result(88, "mp4"));
}

// TIFF and RAW ------------------------------------------------------------------

struct Entry {
    std::uint16_t tag, type;
    std::uint32_t count, value;
};

// A TIFF with one IFD at offset 8, entries as given, then padding to `size`.
ByteBuilder tiff(bool le, const std::vector<Entry>& entries, std::size_t size, std::uint32_t next = 0,
                 std::string_view bytes8and9 = "") {
    ByteBuilder b;
    auto u16 = [&](std::uint32_t v) { le ? b.le16(v) : b.be16(v); };
    auto u32 = [&](std::uint32_t v) { le ? b.le32(v) : b.be32(v); };
    b.text(le ? "II" : "MM");
    u16(42);
    u32(bytes8and9.empty() ? 8 : 16);
    if (!bytes8and9.empty()) b.text(bytes8and9).padTo(16);
    u16(static_cast<std::uint32_t>(entries.size()));
    for (const Entry& e : entries) {
        u16(e.tag);
        u16(e.type);
        u32(e.count);
        if (e.type == 3 && e.count == 1) {
            u16(e.value);
            u16(0);
        } else {
            u32(e.value);
        }
    }
    u32(next);
    b.padTo(size, 0x66);
    return b;
}

std::vector<Entry> stripped(std::uint32_t offset, std::uint32_t count) {
    return {{0x0100, 3, 1, 640}, {0x0101, 3, 1, 480}, {0x0103, 3, 1, 1},      {0x0106, 3, 1, 2}, {0x0111, 4, 1, offset},
            {0x0115, 3, 1, 3},   {0x0116, 3, 1, 480}, {0x0117, 4, 1, count}, {0x011C, 3, 1, 1}, {0x0128, 3, 1, 2}};
}

TEST(TiffCarver, RawKindFromHeaderMarkDngVersionAndMake) {
    EXPECT_EQ(carveTIFF(*tiff(true, stripped(1000, 5000), 7000, 0, "CR").source(), 0)->ext, "cr2");
    EXPECT_EQ(carveTIFF(*tiff(false, stripped(1000, 5000), 7000, 0, "CR").source(), 0)->ext, "tif");

    auto withMake = [](std::string make, bool dng) {
        auto entries = stripped(1000, 5000);
        make.push_back('\0');
        entries.push_back({0x010F, 2, static_cast<std::uint32_t>(make.size()), 900});
        if (dng) entries.push_back({0xC612, 1, 4, 0x00000401});
        ByteBuilder b = tiff(true, entries, 7000);
        std::copy(make.begin(), make.end(), b.bytes.begin() + 900);
        return carveTIFF(*b.source(), 0)->ext;
    };
    EXPECT_EQ(withMake("Canon", false), "cr2");
    EXPECT_EQ(withMake("SONY", false), "arw");
    EXPECT_EQ(withMake("FUJIFILM", false), "tif");
    EXPECT_EQ(withMake("NIKON CORPORATION", true), "dng");
}

TEST(TiffCarver, RejectsImplausibleStructures) {
    // Three entries only; and a furthest byte at exactly 512.
    EXPECT_EQ(carveTIFF(*tiff(true, {{0x0111, 4, 1, 1000}, {0x0117, 4, 1, 5000}, {0x0100, 3, 1, 1}}, 7000).source(), 0),
              std::nullopt);
    EXPECT_EQ(carveTIFF(*tiff(true, stripped(500, 12), 7000).source(), 0), std::nullopt);
    // Strips past the end of the source.
    EXPECT_EQ(carveTIFF(*tiff(true, stripped(1000, 50000), 20000).source(), 0), std::nullopt);
    // First IFD offsets out of range.
    for (std::uint32_t first : {4u, 0x20000000u}) {
        ByteBuilder b = tiff(true, stripped(1000, 5000), 7000);
        for (int i = 0; i < 4; ++i) b.bytes[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(first >> (8 * i));
        EXPECT_EQ(carveTIFF(*b.source(), 0), std::nullopt) << first;
    }
    // Entry counts no directory has.
    for (int count : {0, 600}) {
        ByteBuilder b = tiff(true, stripped(1000, 5000), 20000);
        b.bytes[8] = static_cast<std::uint8_t>(count & 0xFF), b.bytes[9] = static_cast<std::uint8_t>(count >> 8);
        EXPECT_EQ(carveTIFF(*b.source(), 0), std::nullopt) << count;
    }
}

TEST(TiffCarver, LoopsOversizedEntriesAndUnpairedValues) {
    // IFD0 pointing back at itself is examined once.
    EXPECT_EQ(carveTIFF(*tiff(true, stripped(1000, 5000), 7000, 8).source(), 0), result(6000, "tif"));

    // An entry of 800,000,000 bytes is ignored: only three real entries remain.
    EXPECT_EQ(carveTIFF(*tiff(true, {{0x0111, 4, 1, 1000}, {0x0117, 4, 1, 5000}, {0x0100, 3, 1, 1}, {0x9999, 5, 100000000, 600}},
                              7000).source(), 0),
              std::nullopt);

    // Three strip offsets, two counts: the third strip does not count.
    auto entries = stripped(0, 0);
    entries[4] = {0x0111, 4, 3, 600};
    entries[7] = {0x0117, 4, 2, 640};
    ByteBuilder b = tiff(true, entries, 40000);
    auto put = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b.bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    put(600, 1000), put(604, 2000), put(608, 30000);
    put(640, 100), put(644, 200);
    EXPECT_EQ(carveTIFF(*b.source(), 0), result(2200, "tif"));

    // An embedded JPEG's offset without its length does not extend the file.
    auto jpegOnly = stripped(1000, 5000);
    jpegOnly.push_back({0x0201, 4, 1, 20000});
    EXPECT_EQ(carveTIFF(*tiff(true, jpegOnly, 30000).source(), 0), result(6000, "tif"));
    jpegOnly.push_back({0x0202, 4, 1, 3000});
    EXPECT_EQ(carveTIFF(*tiff(true, jpegOnly, 30000).source(), 0), result(23000, "tif"));
}

TEST(RawCarvers, OlympusByItsTiffDirectoriesAndFujifilmByTheFurthestPieceItsHeaderPlaces) {
    for (bool le : {true, false}) {
        ByteBuilder orf = tiff(le, stripped(1000, 5000), 7000);
        orf.bytes[2] = le ? 'R' : 'O';  // "IIRO", "MMOR"
        orf.bytes[3] = le ? 'O' : 'R';
        EXPECT_EQ(carveORF(*orf.source(), 0), result(6000, "orf")) << le;
    }
    auto raf = [](std::string_view version, std::uint32_t previewAt) {
        ByteBuilder b;
        b.text("FUJIFILMCCD-RAW 0201FF392201").padTo(0x3C).text(version).padTo(0x54);
        b.be32(previewAt).be32(100).be32(0x100).be32(50).be32(0x200).be32(1000);
        return b.padTo(0x94);
    };
    EXPECT_EQ(carveRAF(*raf("0106", 0x94).padTo(2000, 0x66).source(), 0), result(0x200 + 1000, "raf"));
    EXPECT_EQ(carveRAF(*raf("0106", 0x94).padTo(1000, 0x66).source(), 0), unconfirmed(1000, "raf", "途中で切れています", 1000));
    EXPECT_EQ(carveRAF(*raf("01x6", 0x94).padTo(2000).source(), 0), std::nullopt);
    EXPECT_EQ(carveRAF(*raf("0106", 0x10).padTo(2000).source(), 0), std::nullopt) << "a piece inside the header";
}

// GIF and BMP ---------------------------------------------------------------------

// A 2x2 GIF: colour table, a control extension, one picture, the trailer.
ByteBuilder gif(bool withPicture = true) {
    ByteBuilder b;
    b.text("GIF89a").le16(2).le16(2).raw({0x80, 0, 0}).fill(6, 0x33);
    b.raw({0x21, 0xF9, 4, 0, 10, 0, 0, 0});
    if (withPicture) b.raw({0x2C}).le16(0).le16(0).le16(2).le16(2).raw({0, 2, 3, 0x44, 0x01, 0x05, 0});
    return b.raw({0x3B});
}

TEST(GifCarver, EndsAtItsTrailerOrCutShortBehindItsLastWholeBlock) {
    const auto length = static_cast<std::int64_t>(gif().size());
    EXPECT_EQ(carveGIF(*gif().source(), 0), result(length, "gif")) << "the trailer is the source's last byte";
    EXPECT_EQ(carveGIF(*gif().fill(100, 0x3B).source(), 0), result(length, "gif"));
    ByteBuilder overwritten = gif();
    overwritten.bytes.back() = 0x99;
    overwritten.fill(100, 0x99);
    EXPECT_EQ(carveGIF(*overwritten.source(), 0), unconfirmed(length - 1, "gif", "途中で切れています", length - 1));
    EXPECT_EQ(carveGIF(*gif(false).fill(100).source(), 0), std::nullopt) << "no picture";
    ByteBuilder version = gif();
    version.bytes[4] = '8';
    EXPECT_EQ(carveGIF(*version.source(), 0), std::nullopt);
}

// A BMP of 3x2 pixels at 24 bits (rows of 12 bytes) behind a 40-byte header.
ByteBuilder bmp(std::uint32_t fileSize, std::int32_t height = 2, std::uint16_t bits = 24, std::uint32_t compression = 0) {
    ByteBuilder b;
    b.text("BM").le32(fileSize).le32(0).le32(54);
    b.le32(40).le32(3).le32(static_cast<std::uint32_t>(height)).le16(1).le16(bits).le32(compression).le32(0).fill(16);
    return b.fill(24, 0x77);
}

TEST(BmpCarver, EndsBehindItsPixelsOrWhereItsPaddedSizeSays) {
    EXPECT_EQ(carveBMP(*bmp(78).fill(50, 0x42).source(), 0), result(78, "bmp"));
    EXPECT_EQ(carveBMP(*bmp(80).fill(50, 0x42).source(), 0), result(80, "bmp")) << "padded by the writer";
    EXPECT_EQ(carveBMP(*bmp(0).fill(50, 0x42).source(), 0), result(78, "bmp")) << "no size given";
    EXPECT_EQ(carveBMP(*bmp(0x7FFFFFF0).fill(50, 0x42).source(), 0), result(78, "bmp")) << "a size no pixels fill";
    EXPECT_EQ(carveBMP(*bmp(78, -2).fill(50, 0x42).source(), 0), result(78, "bmp")) << "top down";
    ByteBuilder cut = bmp(78);
    cut.bytes.resize(60);
    EXPECT_EQ(carveBMP(*cut.source(), 0), unconfirmed(60, "bmp", "途中で切れています", 60));
    // Bytes that merely start with "BM".
    EXPECT_EQ(carveBMP(*bmp(78, 2, 7).fill(50).source(), 0), std::nullopt);
    EXPECT_EQ(carveBMP(*bmp(78, 0).fill(50).source(), 0), std::nullopt);
    EXPECT_EQ(carveBMP(*bmp(78, 2, 8, 1).fill(50).source(), 0), std::nullopt) << "run lengths without their size";
    ByteBuilder planes = bmp(78);
    planes.bytes[26] = 2;
    EXPECT_EQ(carveBMP(*planes.fill(50).source(), 0), std::nullopt);
}

// MP3, transport streams, Matroska ------------------------------------------------

// MPEG-1 layer III, 128 kbit/s at 44.1 kHz: frames of 417 bytes.
ByteBuilder& frames(ByteBuilder& b, int count, std::uint8_t rateBits = 0x90) {
    for (int i = 0; i < count; ++i) b.raw({0xFF, 0xFB, rateBits, 0x00}).fill(413, 0x21);
    return b;
}

TEST(Mp3Carver, FramesAreWalkedFromTheTagToAnOldTagOrTheFirstThatIsNoFrame) {
    ByteBuilder tagged;
    tagged.text("ID3").raw({3, 0, 0, 0, 0, 0, 20}).fill(20);
    frames(tagged, 10).text("TAG").fill(125, 0x20);
    const auto length = static_cast<std::int64_t>(tagged.size());
    EXPECT_EQ(carveMP3(*tagged.fill(500, 0x00).source(), 0), result(length, "mp3"));
    // Another sample rate is another stream.
    ByteBuilder changed;
    frames(changed, 9);
    frames(changed, 3, 0x94);
    EXPECT_EQ(carveMP3(*changed.source(), 0), result(9 * 417, "mp3"));
    // Without a tag a start must be several frames.
    ByteBuilder few;
    EXPECT_EQ(carveMP3(*frames(few, 7).fill(500, 0x11).source(), 0), std::nullopt);
    ByteBuilder cut;
    frames(cut, 9).bytes.resize(9 * 417 - 100);
    EXPECT_EQ(carveMP3(*cut.source(), 0), unconfirmed(9 * 417 - 100, "mp3", "途中で切れています", 9 * 417 - 100));
    ByteBuilder badTag;
    badTag.text("ID3").raw({3, 0, 0, 0, 0, 0x80, 20}).fill(20);
    EXPECT_EQ(carveMP3(*frames(badTag, 10).source(), 0), std::nullopt) << "a tag size that is not syncsafe";
}

ByteBuilder packets(int count, int size, int syncAt) {
    ByteBuilder b;
    for (int i = 0; i < count; ++i) b.fill(static_cast<std::size_t>(syncAt), 0x12).raw({0x47, 0x40}).fill(static_cast<std::size_t>(size - syncAt - 2), 0x10);
    return b;
}

TEST(TsCarver, TheStreamEndsWhereThePacketRhythmStops) {
    EXPECT_EQ(carveTS(*packets(6, 188, 0).fill(400, 0x55).source(), 0), result(6 * 188, "ts"));
    EXPECT_EQ(carveM2TS(*packets(6, 188, 0).fill(400, 0x55).source(), 0), std::nullopt) << "no time stamps";
    EXPECT_EQ(carveTS(*packets(4, 188, 0).fill(400, 0x55).source(), 0), std::nullopt) << "too few packets to believe";
    ByteBuilder cut = packets(6, 192, 4);
    cut.bytes.resize(5 * 192 + 50);
    EXPECT_EQ(carveM2TS(*cut.source(), 0), unconfirmed(5 * 192 + 50, "mts", "途中で切れています", 5 * 192 + 50));
    // Two recordings back to back: the second's tables count from zero again.
    for (const auto& [file, carve] : {std::pair{"ts/clip.ts", &carveTS}, std::pair{"mts/clip.mts", &carveM2TS}}) {
        ByteBuilder twice;
        const auto bytes = tamsel::test::readFile(tamsel::test::corpusDir() / file);
        for (int i = 0; i < 2; ++i) twice.bytes.insert(twice.bytes.end(), bytes.begin(), bytes.end());
        EXPECT_EQ(carve(*twice.source(), 0)->length, static_cast<std::int64_t>(twice.bytes.size() / 2)) << file;
    }
}

ByteBuilder ebmlHeader(std::string_view docType) {
    ByteBuilder b;
    b.raw({0x1A, 0x45, 0xDF, 0xA3}).raw({0x80 | int(docType.size() + 3)}).raw({0x42, 0x82}).raw({0x80 | int(docType.size())}).text(docType);
    return b;
}
// An element with a one-byte size.
ByteBuilder& element(ByteBuilder& b, std::initializer_list<int> id, int size) {
    return b.raw(id).raw({0x80 | size}).fill(static_cast<std::size_t>(size), 0x31);
}
constexpr std::initializer_list<int> kInfo{0x15, 0x49, 0xA9, 0x66};

TEST(EbmlCarver, SegmentsOfGivenAndUnknownSizeAndClustersOfUnknownSize) {
    // A live recording: segment and clusters of unknown size, blocks in them.
    ByteBuilder live = ebmlHeader("webm");
    live.raw({0x18, 0x53, 0x80, 0x67, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    element(live, kInfo, 10);
    for (int c = 0; c < 2; ++c) {
        live.raw({0x1F, 0x43, 0xB6, 0x75, 0xFF});
        element(live, {0xE7}, 1);
        for (int k = 0; k < 3; ++k) element(live, {0xA3}, 40);
    }
    const auto walked = static_cast<std::int64_t>(live.size());
    EXPECT_EQ(carveEBML(*ByteBuilder(live).fill(300, 0).source(), 0), result(walked, "webm"));
    EXPECT_EQ(carveEBML(*live.source(), 0), unconfirmed(walked, "webm", "途中で切れています", walked));

    // A size given and filled by the segment's elements.
    ByteBuilder sized = ebmlHeader("matroska");
    sized.raw({0x18, 0x53, 0x80, 0x67, 0x80 | 25});
    element(sized, kInfo, 10);
    element(sized, {0xEC}, 8);
    const auto whole = static_cast<std::int64_t>(sized.size());
    EXPECT_EQ(carveEBML(*ByteBuilder(sized).fill(300, 0x1A).source(), 0), result(whole, "mkv"));
    // One its elements do not fill may hold another file.
    ByteBuilder unfilled = sized;
    unfilled.bytes[static_cast<std::size_t>(whole) - 10] = 0;
    EXPECT_EQ(carveEBML(*unfilled.fill(300, 0x1A).source(), 0), unconfirmed(whole, "mkv", std::nullopt, whole - 10));
    EXPECT_EQ(carveEBML(*ebmlHeader("text").raw({0x18, 0x53, 0x80, 0x67, 0x80 | 24}).fill(300).source(), 0), std::nullopt);
}

}  // namespace
}  // namespace tamsel::carve
