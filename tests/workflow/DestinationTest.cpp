// The user's destination: only its last level is ever made.

#include <gtest/gtest.h>

#include "engine/common/Error.h"
#include "support/TempDir.h"
#include "workflow/Destination.h"

using namespace tamsel;
using namespace tamsel::test;

namespace {

std::string reason(const fs::path& dest, bool create) {
    try {
        create ? prepareDestinationFolder(dest) : checkDestinationFolder(dest);
    } catch (const Error& e) {
        return e.description();
    }
    return {};
}

}  // namespace

TEST(DestinationFolder, OnlyTheLastLevelIsCreatedAndCheckingCreatesNothing) {
    TempDir dir;
    EXPECT_EQ(reason(dir / "out", true), "");
    EXPECT_TRUE(fs::is_directory(dir / "out"));
    EXPECT_EQ(reason(dir / "out", true), "");  // an existing folder is fine
    EXPECT_EQ(reason(dir.path() / "slash/", true), "");
    EXPECT_TRUE(fs::is_directory(dir / "slash"));

    // A mistyped or unmounted path: nothing is made, the message names the parent.
    const std::string why = reason(dir / "backup" / "photos", true);
    EXPECT_EQ(why.rfind("保存先の親フォルダ " + (dir / "backup").string() + " がありません。", 0), 0u) << why;
    EXPECT_FALSE(fs::exists(dir / "backup"));
    EXPECT_NE(reason(dir.path() / "a" / "b" / "c/", true), "");
    EXPECT_FALSE(fs::exists(dir / "a"));

    writeFile(dir / "file", "x");
    EXPECT_NE(reason(dir / "file", true).find("フォルダではありません"), std::string::npos);
    EXPECT_NE(reason(dir / "file" / "sub", true).find("保存先の親フォルダ"), std::string::npos);

    // Checking creates nothing.
    EXPECT_EQ(reason(dir / "preview", false), "");
    EXPECT_FALSE(fs::exists(dir / "preview"));
    EXPECT_NE(reason(dir / "no" / "preview", false), "");
}
