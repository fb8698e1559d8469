// External programs run by absolute path, in a clean environment, with
// nothing of ours open in them; system errors told in Japanese.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "engine/common/Error.h"
#include "platform/linux/Program.h"
#include "support/TempDir.h"

namespace tamsel {
namespace {

using namespace tamsel::test;

TEST(RunProgram, TheChildSeesOnlyStandardDescriptors) {
    TempDir dir;
    writeFile(dir / "source.img", "x");
    // Opened the careless way, as a device or a session file could be.
    const int leaked = ::open((dir / "source.img").c_str(), O_RDONLY);
    ASSERT_GE(leaked, 3);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const auto ls = platform::findProgram({"/bin/ls", "/usr/bin/ls"});
    ASSERT_TRUE(ls);
    const auto result = platform::runProgram(*ls, {"-l", "/proc/self/fd"});
    ::close(leaked);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exitCode, 0);
    std::istringstream lines(result->output);
    std::string line;
    int entries = 0;
    while (std::getline(lines, line)) {
        const auto arrow = line.find(" -> ");
        if (arrow == std::string::npos) continue;
        ++entries;
        const auto nameStart = line.rfind(' ', arrow - 1) + 1;
        const int fd = std::stoi(line.substr(nameStart, arrow - nameStart));
        const std::string target = line.substr(arrow + 4);
        // 0-2 are ours to give; any other is the one ls opened to list the folder.
        if (fd > 2) {
            EXPECT_EQ(target.rfind("/proc/", 0), 0u) << line;
        }
        EXPECT_EQ(target.find("source.img"), std::string::npos) << line;
        EXPECT_EQ(target.find("pipe:"), fd == 1 ? 0u : std::string::npos) << line;
    }
    EXPECT_GE(entries, 3) << result->output;
    EXPECT_LE(entries, 4) << result->output;
}

TEST(RunProgram, CleanEnvironmentAbsolutePathsOnly) {
    ::setenv("TAMSEL_SECRET_TEST", "1", 1);
    const auto env = platform::findProgram({"/usr/bin/env", "/bin/env"});
    ASSERT_TRUE(env);
    const auto result = platform::runProgram(*env, {});
    ::unsetenv("TAMSEL_SECRET_TEST");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->output, "LC_ALL=C\nPATH=/usr/sbin:/usr/bin:/sbin:/bin\n");

    EXPECT_FALSE(platform::runProgram("env", {}));  // never looked up through PATH
    const auto missing = platform::runProgram("/nonexistent/tamsel-tool", {});
    EXPECT_TRUE(!missing || missing->exitCode == 127);
    const auto failing = platform::runProgram("/bin/sh", {"-c", "echo out; echo err >&2; exit 3"});
    ASSERT_TRUE(failing);
    EXPECT_EQ(failing->exitCode, 3);
    EXPECT_EQ(failing->output, "out\n");
    EXPECT_EQ(platform::findProgram({"/nonexistent/a", "relative/sh", "/bin/sh"}), "/bin/sh");
    EXPECT_EQ(platform::findProgram({"/nonexistent/a"}), std::nullopt);
}

TEST(ErrorText, SystemErrorsInJapaneseByCause) {
    for (int code : {ENOENT, EACCES, EPERM, ENOSPC, EDQUOT, EROFS, EIO, ENOTDIR, EISDIR, EEXIST, ENXIO, ENODEV, ENOMEDIUM,
                     EBUSY, ENAMETOOLONG, ELOOP, EINVAL, EMFILE, ENOMEM}) {
        const std::string text = errorText(code);
        EXPECT_FALSE(text.empty()) << code;
        // Japanese: every such text has multi-byte characters and no English words.
        EXPECT_TRUE(static_cast<unsigned char>(text[0]) >= 0x80) << code << ": " << text;
        EXPECT_EQ(text.find("No such"), std::string::npos);
    }
    EXPECT_NE(errorText(ENOSPC), errorText(EDQUOT));
    EXPECT_NE(errorText(EIO), errorText(ENOENT));
    EXPECT_EQ(errorText(12345), "システムエラー(番号 12345)");
    FileError e(ENOENT, "/media/card/DCIM", "開けませんでした");
    EXPECT_EQ(e.description(), "/media/card/DCIM を開けませんでした: ファイルまたはフォルダがありません");
}

}  // namespace
}  // namespace tamsel
