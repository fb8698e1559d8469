// What a card's FAT or exFAT file system remembers of its files, read from
// real file systems: made by mkfs, filled by mtools or the exFAT FUSE driver.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <tuple>

#include "engine/carve/Carver.h"
#include "engine/carve/Damage.h"
#include "engine/carve/FoundList.h"
#include "engine/filesystem/FileSystemEntries.h"
#include "engine/reading/FileSource.h"
#include "engine/reading/MemorySource.h"
#include "support/Corpus.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace tamsel::filesystem {
namespace {

using namespace tamsel::test;
using Content = std::vector<std::uint8_t>;

// Zone-less times are read in this machine's zone: run in one that is not UTC.
class FileSystemEntries : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "JST-9", 1);
        ::tzset();
        ::setenv("MTOOLS_SKIP_CHECK", "1", 1);
    }
    void TearDown() override {
        ::unsetenv("TZ");
        ::tzset();
    }
};

std::vector<Volume> volumesOf(const fs::path& image) {
    FileSource source(image.string(), 0);
    return readVolumes(source, CancellationToken::none());
}

const FileEntry* find(const Volume& volume, const std::string& path) {
    for (const auto& f : volume.files)
        if (f.path == path) return &f;
    std::string listing;
    for (const auto& f : volume.files) listing += "\n  " + f.path;
    ADD_FAILURE() << path << " is not among the " << volume.kind << " files:" << listing;
    return nullptr;
}

std::int64_t leAt(const Content& b, std::int64_t at, int bytes) {
    std::int64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | b[static_cast<std::size_t>(at + i)];
    return v;
}

std::int64_t mtimeOf(const fs::path& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mtime;
}

// How much of a file its extents give: nothing, one run known without the
// table, or the runs its chain gives.
enum class Whole { no, run, chain };

// The entry's size and deleted flag, the file's start at `offset`, and the
// whole file along its extents or no extents.
void expectFile(const Content& image, const Volume& volume, const std::string& path, const Content& content,
                bool deleted, Whole whole) {
    SCOPED_TRACE(volume.kind + " " + path);
    const FileEntry* f = find(volume, path);
    if (!f) return;
    EXPECT_EQ(f->size, static_cast<std::int64_t>(content.size()));
    EXPECT_EQ(f->deleted, deleted);
    const auto head = std::min<std::int64_t>(f->size, volume.clusterBytes);
    ASSERT_GE(f->offset, 0);
    ASSERT_LE(f->offset + head, static_cast<std::int64_t>(image.size()));
    EXPECT_TRUE(std::equal(content.begin(), content.begin() + head, image.begin() + f->offset));
    Content along;
    for (const auto& e : f->extents) along.insert(along.end(), image.begin() + e.offset, image.begin() + e.offset + e.length);
    if (whole != Whole::no)
        EXPECT_TRUE(along == content) << f->extents.size() << " extents";
    else
        EXPECT_TRUE(f->extents.empty());
    EXPECT_EQ(f->fromChain, whole == Whole::chain);
}

TEST_F(FileSystemEntries, FatKeepsNamesFoldersBytesTimesAndDeletedFilesOfEveryType) {
    for (const char* tool : {"mkfs.vfat", "mcopy", "mmd", "mdel", "mdeltree"})
        if (!haveTool(tool)) GTEST_SKIP() << tool << " is not installed (dosfstools, mtools)";
    // FAT12 on 1 MiB and FAT16 on 32 MiB of 2 KiB clusters, FAT32 on 40 MiB of 512-byte ones.
    for (const auto& [bits, kib, sectors] :
         {std::tuple{"12", "1024", "4"}, {"16", "32768", "4"}, {"32", "40960", "1"}}) {
        const std::string kind = std::string("fat") + bits;
        SCOPED_TRACE(kind);
        TempDir dir;
        const std::string img = (dir / "card.img").string();
        ASSERT_EQ(run({"mkfs.vfat", "-F", bits, "-s", sectors, "-C", img, kib}).exitCode, 0);
        std::map<std::string, Content> files = {
            {"IMG_0001.JPG", randomBytes(9000, 1)},  {"夏の写真 2021.jpg", randomBytes(3000, 2)},
            {"DEL_0002.JPG", randomBytes(9000, 3)},  {"消した動画.mov", randomBytes(500, 4)},
            {"photo one.jpg", randomBytes(2500, 5)}, {"lost one.jpg", randomBytes(700, 6)},
            {"reused.jpg", randomBytes(400, 7)},     {"new.jpg", randomBytes(400, 8)}};
        for (const auto& [name, content] : files) writeFile(dir / name, content);
        ASSERT_EQ(run({"touch", "-d", "2021-03-04 05:06:08", (dir / "IMG_0001.JPG").string()}).exitCode, 0);
        auto m = [&](std::vector<std::string> args) {
            args.insert(args.begin() + 1, {"-i", img});
            auto r = run(args);
            ASSERT_EQ(r.exitCode, 0) << args[0] << ": " << r.output;
        };
        auto put = [&](const std::string& name, const std::string& to) { m({"mcopy", "-m", (dir / name).string(), "::/" + to}); };
        m({"mmd", "::/DCIM", "::/DCIM/100CANON", "::/DCIM/101CANON"});
        // new.jpg takes the first free cluster, the one reused.jpg had.
        put("reused.jpg", "DCIM/101CANON/reused.jpg");
        m({"mdel", "::/DCIM/101CANON/reused.jpg"});
        put("new.jpg", "DCIM/new.jpg");
        m({"mmd", "::/Old Photos", "::/GONE", "::/GONE/SUB"});
        for (const char* name : {"IMG_0001.JPG", "夏の写真 2021.jpg", "DEL_0002.JPG", "消した動画.mov"})
            put(name, std::string("DCIM/100CANON/") + name);
        put("photo one.jpg", "Old Photos/photo one.jpg");
        put("lost one.jpg", "GONE/SUB/lost one.jpg");
        m({"mdel", "::/DCIM/100CANON/DEL_0002.JPG", "::/DCIM/100CANON/消した動画.mov"});
        m({"mdeltree", "::/Old Photos", "::/GONE"});

        // GONE's entry no longer leads to it: SUB can only be found by looking.
        Content image = readFile(img);
        const Content gone = {0xE5, 'O', 'N', 'E', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0x10};
        auto at = std::search(image.begin(), image.end(), gone.begin(), gone.end());
        ASSERT_NE(at, image.end());
        at[11] = 0x20;
        writeFile(img, image);

        auto volumes = volumesOf(img);
        ASSERT_EQ(volumes.size(), 1u);
        const Volume& v = volumes[0];
        EXPECT_EQ(v.kind, kind);
        EXPECT_EQ(v.offset, 0);
        const std::string d = "DCIM/100CANON/";
        expectFile(image, v, d + "IMG_0001.JPG", files["IMG_0001.JPG"], false, Whole::chain);
        expectFile(image, v, d + "夏の写真 2021.jpg", files["夏の写真 2021.jpg"], false, Whole::chain);
        // Deletion clears the chain: a deleted file's start only, unless one cluster holds it all.
        expectFile(image, v, d + "_EL_0002.JPG", files["DEL_0002.JPG"], true, Whole::no);
        expectFile(image, v, d + "消した動画.mov", files["消した動画.mov"], true, Whole::run);
        expectFile(image, v, "Old Photos/photo one.jpg", files["photo one.jpg"], true,
                   v.clusterBytes >= 2500 ? Whole::run : Whole::no);
        expectFile(image, v, "DCIM/new.jpg", files["new.jpg"], false, Whole::run);
        // A deleted file whose cluster a live one now holds has no extents
        // (on FAT32 mtools goes on after the last cluster it gave instead).
        const FileEntry *reused = find(v, "DCIM/101CANON/_eused.jpg"), *taker = find(v, "DCIM/new.jpg");
        if (reused && taker && v.kind != "fat32") {
            EXPECT_EQ(reused->offset, taker->offset) << "new.jpg should have taken reused.jpg's cluster";
            EXPECT_TRUE(reused->extents.empty());
        }
        const std::regex lost("<lost>/[0-9]+/_UB/lost one.jpg");
        EXPECT_EQ(std::count_if(v.files.begin(), v.files.end(), [&](const FileEntry& f) {
                      return std::regex_match(f.path, lost) && f.deleted && f.size == 700;
                  }),
                  1);
        if (const FileEntry* f = find(v, d + "IMG_0001.JPG")) {
            ASSERT_TRUE(f->modified);
            EXPECT_LE(std::abs(*f->modified - mtimeOf(dir / "IMG_0001.JPG")), 2);  // FAT keeps even seconds
        }
        EXPECT_EQ(v.unreadableDirectoryBytes, 0);
    }
}

// Some drivers leave a deleted file's chain in place; exfat-fuse clears it.
// The table from before the deletion is put back, as those would leave it.
TEST_F(FileSystemEntries, ExfatKeepsWholeAndFragmentedFilesLiveAndDeleted) {
    for (const char* tool : {"mkfs.exfat", "mount.exfat-fuse", "losetup"})
        if (!haveTool(tool)) GTEST_SKIP() << tool << " is not installed (exfatprogs, exfat-fuse, util-linux)";
    if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "FUSE is not available (/dev/fuse)";
    TempDir dir;
    const fs::path img = dir / "card.img", mnt = dir / "mnt";
    writeFile(img, Content(32 << 20, 0));
    ASSERT_EQ(run({"mkfs.exfat", img.string()}).exitCode, 0);
    fs::create_directories(mnt);
    auto lo = run({"losetup", "-f", "--show", img.string()});
    if (lo.exitCode != 0) GTEST_SKIP() << "no loop device: " << lo.output;
    const std::string device = lo.output.substr(0, lo.output.find('\n'));
    auto session = [&](const std::function<void()>& work) {
        auto mounted = run({"mount.exfat-fuse", device, mnt.string()});
        ASSERT_EQ(mounted.exitCode, 0) << mounted.output;
        work();
        ASSERT_EQ(run({"umount", mnt.string()}).exitCode, 0);
    };
    std::map<std::string, Content> files = {{"DCIM/one.jpg", randomBytes(100000, 1)},
                                            {"DCIM/日本語の写真.jpg", randomBytes(5000, 2)},
                                            {"DCIM/OLD/in.jpg", randomBytes(3000, 3)}};
    // A photo and another file appended in turn, so that neither lies in one piece.
    const Content photo = readFile(corpusDir() / "jpg/exif-org_nikon-e950.jpg");
    Content a, b;
    session([&] {
        for (const auto& [name, content] : files) writeFile(mnt / name, content);
        for (int i = 0; i < 4; ++i) {
            for (auto [name, content] : {std::pair<const char*, Content*>{"DCIM/a.jpg", &a}, {"DCIM/b.bin", &b}}) {
                const std::size_t quarter = photo.size() / 4, from = quarter * static_cast<std::size_t>(i);
                auto piece = content == &a ? Content(photo.begin() + static_cast<std::ptrdiff_t>(from),
                                                     i == 3 ? photo.end() : photo.begin() + static_cast<std::ptrdiff_t>(from + quarter))
                                           : randomBytes(40000, static_cast<std::uint64_t>(11 + i * 2));
                std::ofstream(mnt / name, std::ios::binary | std::ios::app)
                    .write(reinterpret_cast<const char*>(piece.data()), static_cast<std::streamsize>(piece.size()));
                content->insert(content->end(), piece.begin(), piece.end());
            }
        }
        ASSERT_EQ(run({"touch", "-d", "2023-05-06 07:08:09", (mnt / "DCIM/one.jpg").string()}).exitCode, 0);
    });
    const std::int64_t oneTime = 1683324489;  // 2023-05-06 07:08:09 in JST
    const Content before = readFile(img);
    session([&] {
        fs::remove(mnt / "DCIM/one.jpg");
        fs::remove(mnt / "DCIM/a.jpg");
        fs::remove_all(mnt / "DCIM/OLD");
    });
    run({"losetup", "-d", device});
    Content image = readFile(img);
    const std::int64_t sector = std::int64_t{1} << image[108];
    const std::int64_t fat = leAt(image, 80, 4) * sector;
    std::copy_n(before.begin() + fat, leAt(image, 84, 4) * sector, image.begin() + fat);
    writeFile(img, image);

    auto volumes = volumesOf(img);
    ASSERT_EQ(volumes.size(), 1u);
    const Volume& v = volumes[0];
    EXPECT_EQ(v.kind, "exfat");
    expectFile(image, v, "DCIM/one.jpg", files["DCIM/one.jpg"], true, Whole::run);
    expectFile(image, v, "DCIM/日本語の写真.jpg", files["DCIM/日本語の写真.jpg"], false, Whole::run);
    expectFile(image, v, "DCIM/OLD/in.jpg", files["DCIM/OLD/in.jpg"], true, Whole::run);
    expectFile(image, v, "DCIM/a.jpg", a, true, Whole::chain);
    expectFile(image, v, "DCIM/b.bin", b, false, Whole::chain);
    if (const FileEntry* f = find(v, "DCIM/one.jpg")) {
        ASSERT_TRUE(f->modified);
        EXPECT_EQ(*f->modified, oneTime);
    }
    // The scan finds the photo's start and takes the rest from the chain:
    // the photo comes back whole, and says how.
    auto source = std::make_shared<FileSource>(img.string(), 0);
    Carver(source, dir / "session", CarveOutputMode::probeOnly, nullptr).run();
    const auto found = Session::foundIn(dir / "session");
    auto it = std::ranges::find(found, std::optional<std::string>("DCIM/a.jpg"), &CarvedFile::originalPath);
    ASSERT_NE(it, found.end());
    EXPECT_GE(it->runs.size(), 2u);
    EXPECT_NE(it->note.value_or("").find(damage::kAssembled), std::string::npos);
    EXPECT_FALSE(it->damaged);
    Content whole;
    for (Bytes piece; (piece = preadFound(*source, *it, static_cast<std::int64_t>(whole.size()), 1 << 20)).size() > 0;)
        whole.insert(whole.end(), piece.span().begin(), piece.span().end());
    EXPECT_TRUE(whole == photo);
}

TEST_F(FileSystemEntries, VolumesAreFoundInPartitionsAndThroughBackupBootSectors) {
    for (const char* tool : {"mkfs.vfat", "mcopy", "sfdisk", "mkfs.exfat", "truncate"})
        if (!haveTool(tool)) GTEST_SKIP() << tool << " is not installed (dosfstools, mtools, fdisk, exfatprogs)";
    TempDir dir;
    const Content hello = randomBytes(3000, 9);
    writeFile(dir / "hello.jpg", hello);
    // An image of `mib` MiB, partitioned by `table` (none when empty), with a
    // FAT volume holding hello.jpg at each start sector.
    auto card = [&](const std::string& name, int mib, const std::string& table,
                    const std::vector<std::tuple<std::int64_t, std::string, std::string>>& volumes) {
        const std::string img = (dir / name).string();
        EXPECT_EQ(run({"truncate", "-s", std::to_string(mib) + "M", img}).exitCode, 0);
        if (!table.empty()) {
            EXPECT_EQ(shell("printf '" + table + "' | sfdisk -q " + img).exitCode, 0);
        }
        for (const auto& [start, fatBits, kib] : volumes) {
            EXPECT_EQ(run({"mkfs.vfat", "--offset", std::to_string(start), "-F", fatBits, "-s", "1", img, kib}).exitCode, 0);
            auto copied = run({"mcopy", "-i", img + "@@" + std::to_string(start * 512), (dir / "hello.jpg").string(),
                               "::/hello.jpg"});
            EXPECT_EQ(copied.exitCode, 0) << copied.output;
        }
        return img;
    };
    auto expectVolumes = [&](RandomAccessSource& source, const std::vector<std::pair<std::int64_t, std::string>>& want) {
        const Content image = readFile(source.displayName());
        auto volumes = readVolumes(source, CancellationToken::none());
        ASSERT_EQ(volumes.size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(volumes[i].offset, want[i].first * 512);
            EXPECT_EQ(volumes[i].kind, want[i].second);
            if (want[i].second != "exfat") expectFile(image, volumes[i], "hello.jpg", hello, false, Whole::chain);
        }
    };
    // MBR: a primary partition, and a logical one in the extended partition.
    FileSource mbr(card("mbr.img", 48, "label: dos\\nstart=2048, size=20480, type=c\\nstart=24576, type=5\\n"
                                        "start=26624, size=20480, type=e\\n",
                        {{2048, "16", "10240"}, {26624, "16", "10240"}}),
                   0);
    expectVolumes(mbr, {{2048, "fat16"}, {26624, "fat16"}});
    FileSource gpt(card("gpt.img", 64, "label: gpt\\nstart=2048, size=81920\\n", {{2048, "32", "40960"}}), 0);
    expectVolumes(gpt, {{2048, "fat32"}});

    // A main boot sector worn to zeros: FAT32's backup in sector 6, exFAT's in sector 12.
    const std::string fat32 = card("fat32.img", 48, "", {{0, "32", "40960"}});
    const std::string exfat = (dir / "exfat.img").string();
    ASSERT_EQ(run({"truncate", "-s", "8M", exfat}).exitCode, 0);
    ASSERT_EQ(run({"mkfs.exfat", exfat}).exitCode, 0);
    for (const auto& img : {fat32, exfat}) {
        Content image = readFile(img);
        std::fill_n(image.begin(), 512, 0);
        writeFile(img, image);
    }
    FileSource worn(fat32, 0), wornExfat(exfat, 0);
    expectVolumes(worn, {{0, "fat32"}});
    expectVolumes(wornExfat, {{0, "exfat"}});

    // An unreadable root folder reads as empty, and its bytes are counted.
    Content image = readFile(fat32);
    const std::int64_t root = (leAt(image, 3072 + 14, 2) + 2 * leAt(image, 3072 + 36, 4)) * 512;
    MemorySource unreadable(image, "unreadable", {{root, 512}});
    auto volumes = readVolumes(unreadable, CancellationToken::none());
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_TRUE(volumes[0].files.empty());
    EXPECT_EQ(volumes[0].unreadableDirectoryBytes, 512);
}

}  // namespace
}  // namespace tamsel::filesystem
