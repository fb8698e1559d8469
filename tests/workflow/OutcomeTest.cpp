#include <gtest/gtest.h>

#include <cerrno>

#include "engine/common/Error.h"
#include "support/TempDir.h"
#include "workflow/Outcome.h"

using namespace tamsel;

TEST(OutOfSpace, IsRecognisedDirectlyAndThroughNestedErrors) {
    FileError full(ENOSPC, "/media/card/x.img", "書き込めませんでした");
    EXPECT_TRUE(isOutOfSpaceError(full));
    EXPECT_FALSE(isOutOfSpaceError(FileError(EIO, "/x", "書き込めませんでした")));
    EXPECT_TRUE(isOutOfSpaceError(std::system_error(ENOSPC, std::generic_category())));
    // An error whose underlying error's underlying error is "no space left".
    try {
        try {
            try {
                throw full;
            } catch (...) {
                std::throw_with_nested(Error("記録できませんでした"));
            }
        } catch (...) {
            std::throw_with_nested(Error("スキャンを続けられません"));
        }
    } catch (const std::exception& e) {
        EXPECT_TRUE(isOutOfSpaceError(e));
        EXPECT_EQ(failureMessage(e, true), kOutOfSpaceResumable);
        EXPECT_EQ(failureMessage(e, false), kOutOfSpace);
    }
    EXPECT_EQ(failureMessage(Error("ほかの理由"), true), "ほかの理由");
}

TEST(RunFolders, CarryTheirPrefixAndTheLocalTimeAndFreeSpaceIsKnownForAnExistingFolderOnly) {
    std::tm tm{};
    tm.tm_year = 124, tm.tm_mday = 31, tm.tm_hour = 23, tm.tm_min = tm.tm_sec = 59, tm.tm_isdst = -1;
    auto when = std::chrono::system_clock::from_time_t(std::mktime(&tm));
    EXPECT_EQ(sessionFolderName(when), "staging_20240131_235959");
    EXPECT_EQ(recoveryFolderName(when), "復元済み_20240131_235959");
    EXPECT_GT(freeSpace("/tmp").value_or(0), 0);
    EXPECT_FALSE(freeSpace("/nonexistent/folder").has_value());
}

// Two runs in the same second, or a name already taken by anything (a
// planted link included), give the run a folder of its own.
TEST(RunFolders, AreMadeByTheRunAloneWithASuffixWhenTaken) {
    tamsel::test::TempDir dir;
    auto first = createRunFolder(dir / "out", "staging_20260101_120000");
    auto second = createRunFolder(dir / "out", "staging_20260101_120000");
    EXPECT_EQ(first.path, dir / "out" / "staging_20260101_120000");
    EXPECT_EQ(second.path, dir / "out" / "staging_20260101_120000_2");
    std::filesystem::create_directories(dir / "victim");
    std::filesystem::create_symlink(dir / "victim", dir / "out" / "復元済み_20260101_120000");
    auto third = createRunFolder(dir / "out", "復元済み_20260101_120000");
    EXPECT_EQ(third.path, dir / "out" / "復元済み_20260101_120000_2");
    EXPECT_TRUE(third.fd);
    EXPECT_TRUE(std::filesystem::is_empty(dir / "victim"));
}
