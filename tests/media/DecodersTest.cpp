// What a thumbnail worker makes of real files, in this process: upright
// pictures of every kind, reading only what the bounds allow, videos
// within their bounds, a RAW file with real pixels, colours as an
// independent reader sees them.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <tiffio.h>

#include "media/decode/CarveRangeLoader.h"
#include "media/decode/VideoFrame.h"
#include "MediaTestSupport.h"
#include "support/Corpus.h"
#include "support/Process.h"

namespace tamsel {
namespace {

using namespace tamsel::test;

double meanDifference(const media::RgbImage& a, const media::RgbImage& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i) sum += std::abs(a.pixels[i] - b.pixels[i]);
    return sum / static_cast<double>(a.pixels.size());
}

TEST(Thumbnail, EveryExifOrientationComesOutUpright) {
    for (const std::string shape : {"landscape", "portrait"}) {
        std::vector<media::RgbImage> thumbs;
        for (int o = 1; o <= 8; ++o) {
            const auto bytes = readFile(corpusDir() / "jpg" / ("orientation_" + shape + "_" + std::to_string(o) + ".jpg"));
            thumbs.push_back(thumbnailOf(bytes, "jpg"));
            ASSERT_FALSE(thumbs.back().empty()) << shape << o;
        }
        const auto& upright = thumbs[0];
        EXPECT_EQ(upright.width > upright.height, shape == "landscape");
        EXPECT_LE(std::max(upright.width, upright.height), 640);
        for (int o = 2; o <= 8; ++o) {
            const auto& t = thumbs[static_cast<std::size_t>(o - 1)];
            ASSERT_EQ(t.width, upright.width) << shape << " orientation " << o;
            ASSERT_EQ(t.height, upright.height) << shape << " orientation " << o;
            // Each picture carries its own number; the scene must match the upright one far
            // better than any mirrored or turned-over version of it does.
            const double d = meanDifference(t, upright);
            for (int wrong : {2, 3, 4}) {
                const double other = meanDifference(media::oriented(t, wrong), upright);
                EXPECT_LT(d * 2, other) << shape << " orientation " << o << " is not upright (vs " << wrong << ")";
            }
        }
    }
}

TEST(Thumbnail, APhotoIsReadOnlyUpToItsBoundAndAudioNotAtAll) {
    auto bytes = readFile(corpusDir() / "jpg" / "Nikon_D70.jpg");
    media::ThumbnailLimits limits;
    limits.photoBytes = static_cast<std::int64_t>(bytes.size());
    // Listed far longer than the bound: only the bound is read and the picture still comes.
    bytes.resize(bytes.size() + 2 * 1048576, 0x5A);
    WatchedRange file(bytes);
    EXPECT_FALSE(thumbnailOf(file, "jpg", limits).empty());
    for (const auto& r : file.reads()) EXPECT_LE(r.offset + r.length, limits.photoBytes);
    WatchedRange audio(bytes);
    EXPECT_TRUE(thumbnailOf(audio, "wav").empty());
    EXPECT_TRUE(audio.reads().empty());
    // Unreadable stretches read as zeros: no picture of any kind.
    for (const char* ext : {"jpg", "heic", "mp4", "dng", "png"})
        EXPECT_TRUE(thumbnailOf(std::vector<std::uint8_t>(500000, 0), ext).empty()) << ext;
}

// A small video made by ffmpeg: by default white with a black box at the top
// left. Rotation tags only survive a stream copy, so they are added by a remux.
constexpr const char* kBoxed = "color=c=white:s=320x240:d=1:r=10,drawbox=x=0:y=0:w=120:h=90:color=black:t=fill";
std::vector<std::uint8_t> makeVideo(const TempDir& dir, const std::string& name, const std::string& options,
                                    const std::string& remux = "", const std::string& picture = kBoxed) {
    const auto out = dir / name;
    const auto plain = dir / ("plain-" + name);
    auto r = shell("ffmpeg -v error -y -f lavfi -i '" + picture + "' -c:v mpeg4 -q:v 3 " + options + " '" +
                   (remux.empty() ? out : plain).string() + "' 2>&1");
    if (r.exitCode == 0 && !remux.empty())
        r = shell("ffmpeg -v error -y -i '" + plain.string() + "' -c copy " + remux + " " + options + " '" +
                  out.string() + "' 2>&1");
    if (r.exitCode != 0) ADD_FAILURE() << r.output;
    return readFile(out);
}

struct VideoCase {
    const char* name;
    const char* options;
    const char* remux;
    int width, height, darkQuadrant;
};

TEST(Thumbnail, VideosThumbnailUprightReadInPieces) {
    if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is missing (tools/install-deps installs it)";
    TempDir work;
    const VideoCase cases[] = {
        // Where the box lands is where ffmpeg's own player shows it: the
        // display matrix of "rotate=90" turns the picture a quarter counter-clockwise.
        {"moov-at-end.mp4", "", "", 320, 240, 0},
        {"faststart.mov", "-movflags +faststart", "", 320, 240, 0},
        {"rotated.mp4", "", "-metadata:s:v:0 rotate=90", 240, 320, 2},
        {"rotated-270.mov", "-movflags +faststart", "-metadata:s:v:0 rotate=270", 240, 320, 1},
        {"turned-over.mp4", "", "-metadata:s:v:0 rotate=180", 320, 240, 3},
        {"plain.avi", "", "", 320, 240, 0},
    };
    for (const auto& c : cases) {
        const auto bytes = makeVideo(work, c.name, c.options, c.remux);
        ASSERT_FALSE(bytes.empty());
        WatchedRange file(bytes);
        const auto img = thumbnailOf(file, fs::path(c.name).extension().string().substr(1));
        EXPECT_EQ(img.width, c.width) << c.name;
        EXPECT_EQ(img.height, c.height) << c.name;
        EXPECT_EQ(darkestQuadrant(img), c.darkQuadrant) << c.name << " is not upright";
        for (const auto& r : file.reads()) EXPECT_LE(r.length, media::CarveRangeLoader::kPiece) << c.name;
    }
}

TEST(Thumbnail, DamagedOrSlowVideosGiveNoPictureWithinTheBound) {
    if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is missing (tools/install-deps installs it)";
    TempDir work;
    const auto whole = makeVideo(work, "v.mp4", "");
    ASSERT_FALSE(whole.empty());
    // Cut before its index (the moov at the end): nothing to show.
    EXPECT_TRUE(thumbnailOf(std::vector<std::uint8_t>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2)), "mp4")
                    .empty());

    // Served so slowly that the first frame does not come within the time bound.
    media::ThumbnailLimits slow;
    slow.videoTime = std::chrono::milliseconds(150);
    WatchedRange slowFile(whole, std::chrono::milliseconds(400));
    EXPECT_TRUE(thumbnailOf(slowFile, "mp4", slow).empty());

    // A long stretch of noise listed as a video stops at the byte bound.
    media::ThumbnailLimits small;
    small.videoBytes = 2 * 1048576;
    WatchedRange noise(randomBytes(10 * 1048576, 7));
    EXPECT_TRUE(thumbnailOf(noise, "mts", small).empty());
    std::int64_t total = 0;
    for (const auto& r : noise.reads()) total += r.length;
    EXPECT_LE(total, small.videoBytes);
}

TEST(Thumbnail, GifAndBmpThumbnailThroughTheImageDecoders) {
    if (!haveTool("convert")) GTEST_SKIP() << "ImageMagick's convert is missing (tools/install-deps installs it)";
    TempDir work;
    for (const char* name : {"picture.gif", "picture.bmp", "animated.gif"}) {
        // White with a black box at the top left; the animation's second frame is all black.
        const std::string second = std::string(name) == "animated.gif" ? " -size 900x600 xc:black" : "";
        const auto r = shell("convert -size 900x600 xc:white -fill black -draw 'rectangle 0,0 300,200'" + second + " '" +
                             (work / name).string() + "' 2>&1");
        ASSERT_EQ(r.exitCode, 0) << r.output;
        const auto img = thumbnailOf(readFile(work / name), fs::path(name).extension().string().substr(1));
        EXPECT_EQ(img.width, 640) << name;
        EXPECT_EQ(img.height, 427) << name;
        EXPECT_EQ(darkestQuadrant(img), 0) << name << ": the right way up";
        EXPECT_GT(quadrantMean(img, 3), 200) << name << ": the first picture, not a later one";
    }
}

TEST(CarveRangeLoader, ServesTheFileInPieces) {
    const std::int64_t length = 5 * 1048576 + 3;
    std::vector<std::uint8_t> data(static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31);
    WatchedRange source(data);
    media::CarveRangeLoader loader(source, 64 * 1048576);
    std::vector<std::uint8_t> buf(1 << 16);
    std::int64_t total = 0;
    for (int n; (n = loader.read(buf.data(), static_cast<int>(buf.size()))) > 0;) {
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(buf[static_cast<std::size_t>(i)], data[static_cast<std::size_t>(total + i)]);
        total += n;
    }
    EXPECT_EQ(total, length);
    EXPECT_EQ(loader.seek(length + 100, SEEK_SET), length + 100);
    EXPECT_EQ(loader.read(buf.data(), 10), 0) << "past the end gives nothing";
    EXPECT_EQ(loader.seek(-1, SEEK_SET), -1);
    EXPECT_EQ(loader.seek(-4, SEEK_END), length - 4);
    EXPECT_EQ(loader.read(buf.data(), 100), 4);
    ASSERT_EQ(source.reads().size(), 2u) << "the last 4 bytes lie in the second piece";
    for (const auto& r : source.reads()) {
        EXPECT_LE(r.length, media::CarveRangeLoader::kPiece);
        EXPECT_LE(r.offset + r.length, length);
    }
    EXPECT_EQ(media::CarveRangeLoader::containerHint("MOV"), "mov");
    EXPECT_EQ(media::CarveRangeLoader::containerHint("m2ts"), "mpegts");
    EXPECT_EQ(media::CarveRangeLoader::containerHint("avi"), "avi");
}

// A TIFF written through libtiff, or a linear DNG with real pixels: a red
// top half over a blue bottom half, stored turned (orientation 6: stored
// column 0 is the picture's top).
std::vector<std::uint8_t> makeTurnedTiff(const fs::path& path, std::uint32_t w, std::uint32_t h, bool dng) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif) return {};
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, dng ? 16 : 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, dng ? 34892 : PHOTOMETRIC_RGB);  // LinearRaw
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_RIGHTTOP);
    if (dng) {
        static const std::uint8_t version[4] = {1, 4, 0, 0};
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        TIFFSetField(tif, TIFFTAG_MAKE, "Test");
        TIFFSetField(tif, TIFFTAG_MODEL, "Linear");
        TIFFSetField(tif, TIFFTAG_DNGVERSION, version);
        TIFFSetField(tif, TIFFTAG_DNGBACKWARDVERSION, version);
        TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, "Test Linear");
    }
    const int high = dng ? 60000 : 250, low = dng ? 2000 : 10;
    std::vector<std::uint16_t> wide(w * 3);
    std::vector<std::uint8_t> narrow(w * 3);
    for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
            const bool top = x < w / 2;
            for (std::uint32_t c = 0; c < 3; ++c)
                wide[x * 3 + c] = static_cast<std::uint16_t>(c == (top ? 0u : 2u) ? high : low);
        }
        std::copy(wide.begin(), wide.end(), narrow.begin());
        TIFFWriteScanline(tif, dng ? static_cast<void*>(wide.data()) : narrow.data(), y, 0);
    }
    TIFFClose(tif);
    return readFile(path);
}

TEST(Thumbnail, ATurnedTiffAndARawFileWithRealPixelsComeOutUpright) {
    TempDir work;
    // The TIFF is larger than a thumbnail, so it is shrunk before it is turned.
    for (const bool dng : {false, true}) {
        const auto bytes = makeTurnedTiff(work / "turned", dng ? 300 : 1600, dng ? 200 : 1000, dng);
        ASSERT_FALSE(bytes.empty());
        const auto img = thumbnailOf(bytes, dng ? "dng" : "tif");
        EXPECT_EQ(img.width, dng ? 200 : 400) << dng;
        EXPECT_EQ(img.height, dng ? 300 : 640) << dng;
        ASSERT_FALSE(img.empty());
        const auto& p = img.pixels;
        const std::size_t topLeft = 0, bottomLeft = static_cast<std::size_t>((img.height - 1) * img.width) * 3;
        EXPECT_GT(p[topLeft], p[topLeft + 2] + 100) << dng << ": the red half belongs at the top";
        EXPECT_GT(p[bottomLeft + 2], p[bottomLeft] + 100) << dng << ": the blue half at the bottom";
    }
}

// ImageMagick's picture of a file, turned as its EXIF says (-auto-orient),
// shrunk to fit `w` x `h`: the reference for colours and for which way is up.
media::RgbImage uprightByImageMagick(const fs::path& file, int w, int h, const TempDir& work) {
    const auto out = work / "upright.ppm";
    const auto r = shell("convert '" + file.string() + "[0]' -auto-orient -resize " + std::to_string(w) + "x" +
                         std::to_string(h) + " -depth 8 '" + out.string() + "' 2>&1");
    if (r.exitCode != 0) return {};
    const auto bytes = readFile(out);
    // Binary PPM: "P6\n<w> <h>\n255\n" then the pixels.
    const std::string head(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(bytes.size(), 32)));
    int maxval = 0, used = 0;
    media::RgbImage image;
    if (std::sscanf(head.c_str(), "P6 %d %d %d%n", &image.width, &image.height, &maxval, &used) != 3 || maxval != 255)
        return {};
    image.pixels.assign(bytes.begin() + used + 1, bytes.end());
    return image.pixels.size() == static_cast<std::size_t>(image.width * image.height * 3) ? image : media::RgbImage{};
}

TEST(Thumbnail, EveryHeifAndAvifStandsAndColoursAsImageMagickShowsThem) {
    if (!haveTool("convert")) GTEST_SKIP() << "ImageMagick's convert is missing (tools/install-deps installs it)";
    // Turns from the container (irot), from EXIF, from both agreeing or from
    // neither; a wrong matrix, range or turn moves the mean far beyond JPEG's own loss.
    TempDir work;
    std::vector<fs::path> files;
    for (const char* dir : {"heic", "avif"})
        for (const auto& entry : fs::directory_iterator(corpusDir() / dir)) files.push_back(entry.path());
    ASSERT_GE(files.size(), 8u);
    for (const auto& name : files) {
        const auto ours = thumbnailOf(readFile(name), "heic");
        ASSERT_FALSE(ours.empty()) << name;
        const auto theirs = uprightByImageMagick(name, ours.width, ours.height, work);
        ASSERT_FALSE(theirs.empty()) << name;
        EXPECT_NEAR(theirs.width, ours.width, 1) << name << ": turned the wrong way";
        EXPECT_NEAR(theirs.height, ours.height, 1) << name << ": turned the wrong way";
        // The phone's own 240x320 thumbnail item serves instead of its 12-megapixel grid;
        // being its own (sharper) rendering, only each quadrant's colour is compared.
        const bool phone = name.filename() == "iphone_13_pro_max.HEIC";
        EXPECT_TRUE(!phone || std::max(ours.width, ours.height) == 320) << name;
        if (theirs.width == ours.width && theirs.height == ours.height && !phone) {
            EXPECT_LT(meanDifference(ours, theirs), 8.0) << name;
            continue;
        }
        for (int q = 0; q < 4; ++q)
            for (int c = 0; c < 3; ++c) EXPECT_NEAR(quadrantMean(ours, q, c), quadrantMean(theirs, q, c), 8.0) << name << " " << q << c;
    }
}

TEST(Thumbnail, AClipThatFadesInIsShownByAFrameWithSomethingOnIt) {
    if (!haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is missing (tools/install-deps installs it)";
    TempDir work;
    struct Case {
        std::string name;
        std::vector<std::uint8_t> bytes;
        bool blankThroughout;
    };
    std::vector<Case> cases;
    // The corpus's 3GP clips open on a white frame and fade their logo in.
    for (const char* n : {"3gp/sample.3gp", "3gp/sample_3GPP2.3g2"}) cases.push_back({n, readFile(corpusDir() / n), false});
    const std::string fading = "color=c=white:s=320x240:d=3:r=15,drawbox=x=0:y=0:w=120:h=90:color=black:t=fill,fade=t=in:st=0:d=1.5:color=";
    cases.push_back({"from-black.mp4", makeVideo(work, "from-black.mp4", "", "", fading + "black"), false});
    cases.push_back({"from-white.mov", makeVideo(work, "from-white.mov", "", "", fading + "white"), false});
    // Nothing but one colour: still a thumbnail, the honest one.
    cases.push_back({"grey.mp4", makeVideo(work, "grey.mp4", "", "", "color=c=gray:s=320x240:d=6:r=15"), true});
    for (const auto& c : cases) {
        ASSERT_FALSE(c.bytes.empty()) << c.name;
        const std::string ext = fs::path(c.name).extension().string().substr(1);
        const auto img = thumbnailOf(c.bytes, ext);
        ASSERT_FALSE(img.empty()) << c.name;
        if (c.blankThroughout) {
            EXPECT_LT(media::brightnessSpread(img), 3.0) << c.name;
        } else {
            EXPECT_GT(media::brightnessSpread(img), 12.0) << c.name << " came out as one colour";
        }
    }
}

}  // namespace
}  // namespace tamsel
