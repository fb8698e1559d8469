// tamsel-cli salvage: what the filter leaves out is told, and --hidden
// takes hidden files in; what no option copies is told as such.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/Process.h"
#include "support/TempDir.h"

namespace tamsel {
namespace {

using namespace tamsel::test;

const std::string kCli = TAMSEL_CLI;

TEST(SalvageCli, LeftOutFilesAreCountedAndHiddenOnesCanBeTakenIn) {
    // Salvage reads a mounted folder; on a disk the output beside it would be refused.
    TempDir dir(kNoDiskFolder);
    const fs::path card = dir / "card";
    writeFile(card / "DCIM" / "IMG_1.JPG", randomBytes(3000, 1));
    writeFile(card / ".hidden.jpg", "x");
    writeFile(card / "notes.txt", "x");
    auto preview = run({kCli, "salvage", card.string(), (dir / "out").string(), "--dry-run"});
    EXPECT_EQ(preview.exitCode, 0) << preview.output;
    EXPECT_NE(preview.output.find("下見の結果: 1 件・"), std::string::npos) << preview.output;
    EXPECT_NE(preview.output.find("・対象外 2 件"), std::string::npos) << preview.output;
    EXPECT_NE(preview.output.find("--hidden"), std::string::npos) << "the way to take them in is told";

    auto hidden = run({kCli, "salvage", card.string(), (dir / "out").string(), "--hidden"});
    EXPECT_EQ(hidden.exitCode, 0) << hidden.output;
    EXPECT_NE(hidden.output.find("完了: 2 件コピー・対象外 1 件"), std::string::npos) << hidden.output;
    EXPECT_EQ(readText(dir / "out" / ".hidden.jpg"), "x");

    // Into its own source: refused, nothing written there.
    for (const fs::path& into : {card, card / "rescued"}) {
        auto self = run({kCli, "salvage", card.string(), into.string()});
        EXPECT_EQ(self.exitCode, 1);
        EXPECT_NE(self.output.find("保存先とコピー元が重なっています"), std::string::npos) << self.output;
    }
    EXPECT_FALSE(fs::exists(card / "salvage_log.csv"));
    EXPECT_FALSE(fs::exists(card / "rescued"));
}

TEST(SalvageCli, APipeIsToldApartFromWhatTheOptionsWouldTakeIn) {
    TempDir dir(kNoDiskFolder);
    const fs::path card = dir / "card";
    writeFile(card / "IMG_1.JPG", "photo");
    ASSERT_EQ(::mkfifo((card / "pipe").c_str(), 0644), 0);
    auto r = run({kCli, "salvage", card.string(), (dir / "out").string()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("完了: 1 件コピー・1 件は特殊ファイルのためコピーしません"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("--all-files"), std::string::npos) << "no option would copy it: " << r.output;
}

}  // namespace
}  // namespace tamsel
