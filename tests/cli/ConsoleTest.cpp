// Terminal text: what reaches the screen is safe, and fits it.

#include <gtest/gtest.h>

#include "cli/Console.h"
#include "engine/common/Formatting.h"

namespace tamsel::cli {
namespace {

TEST(TerminalEscape, ControlsAndBrokenBytesBecomeVisible) {
    EXPECT_EQ(escapeForTerminal("a\x1b]0;owned\x07z"), "a\\x1b]0;owned\\x07z");
    EXPECT_EQ(escapeForTerminal("\x1b[2J\r\n\t"), "\\x1b[2J\\x0d\\x0a\\x09");
    EXPECT_EQ(escapeForTerminal(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(escapeForTerminal("del\x7f"), "del\\x7f");
    // C1 controls (CSI U+009B) as encoded characters, and as lone bytes.
    EXPECT_EQ(escapeForTerminal("x\xc2\x9b" "2J"), "x\\u009b2J");
    EXPECT_EQ(escapeForTerminal("x\x9b" "2J"), "x\\x9b2J");
    // Invalid UTF-8: overlong, surrogate, truncated, past U+10FFFF.
    EXPECT_EQ(escapeForTerminal("\xc0\xaf"), "\\xc0\\xaf");
    EXPECT_EQ(escapeForTerminal("\xed\xa0\x80"), "\\xed\\xa0\\x80");
    EXPECT_EQ(escapeForTerminal("ok\xe3\x81"), "ok\\xe3\\x81");
    EXPECT_EQ(escapeForTerminal("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");
    // A right-to-left override would reorder what follows it on screen.
    EXPECT_EQ(escapeForTerminal("photo\u202egpj.exe"), "photo\\u202egpj.exe");
}

TEST(TerminalEscape, ValidTextPassesUnchanged) {
    for (const char* s : {"", "DCIM/100CANON/IMG_0001.JPG", "写真/運動会 2024/ＩＭＧ①.jpg", "café ñ", "😀 emoji",
                          "が (か + ゙)", "𠮷野家"})
        EXPECT_EQ(escapeForTerminal(s), s) << s;
    EXPECT_EQ(printablePath("/media/カード/\x1b[31m.jpg"), "/media/カード/\\x1b[31m.jpg");
}

TEST(DisplayWidth, CountsTerminalColumns) {
    EXPECT_EQ(displayWidth(""), 0);
    EXPECT_EQ(displayWidth("abc 123"), 7);
    EXPECT_EQ(displayWidth("スキャン中"), 10);
    EXPECT_EQ(displayWidth("ｽｷｬﾝ"), 4);  // halfwidth katakana
    EXPECT_EQ(displayWidth("ＡＢ"), 4);    // fullwidth Latin
    EXPECT_EQ(displayWidth("、。「」"), 8);
    EXPECT_EQ(displayWidth("한국"), 4);
    EXPECT_EQ(displayWidth("𠮷"), 2);
    EXPECT_EQ(displayWidth("😀"), 2);
    EXPECT_EQ(displayWidth("e\u0301"), 1);       // combining acute
    EXPECT_EQ(displayWidth("か\u3099"), 2);      // combining dakuten
    EXPECT_EQ(displayWidth("12.3 MB/秒"), 10);
    EXPECT_EQ(displayWidth("é"), 1);
    EXPECT_EQ(displayWidth("\xff"), 1);  // a stray byte still takes a cell once escaped or not
}

TEST(DisplayWidth, CutsOnlyBetweenCharacters) {
    EXPECT_EQ(cutToWidth("スキャン中", 5), "スキ");
    EXPECT_EQ(cutToWidth("スキャン中", 4), "スキ");
    EXPECT_EQ(cutToWidth("aスキ", 2), "a");
    EXPECT_EQ(cutToWidth("abc", 10), "abc");
    EXPECT_EQ(cutToWidth("か\u3099き", 2), "か\u3099");
}

TEST(ProgressFit, DropsLowerPriorityFieldsFirst) {
    const std::vector<ProgressField> fields{{"スキャン中 [####....]  50.0%", 0},
                                            {"12.34 GB / 64 GB", 3},
                                            {"35.2 MB/秒", 4},
                                            {"残り 約 25 分", 2},
                                            {"見つかったファイル 1234 件", 1}};
    const std::string all = fitFields(fields, 200);
    EXPECT_EQ(all, "スキャン中 [####....]  50.0%  12.34 GB / 64 GB  35.2 MB/秒  残り 約 25 分  見つかったファイル 1234 件");
    const int full = displayWidth(all);
    EXPECT_EQ(fitFields(fields, full), all);
    // One column short: the speed (rank 4) goes, the rest keeps its order.
    EXPECT_EQ(fitFields(fields, full - 1),
              "スキャン中 [####....]  50.0%  12.34 GB / 64 GB  残り 約 25 分  見つかったファイル 1234 件");
    EXPECT_EQ(fitFields(fields, 60), "スキャン中 [####....]  50.0%  見つかったファイル 1234 件");
    for (int columns = 1; columns <= full; ++columns)
        EXPECT_LE(displayWidth(fitFields(fields, columns)), columns) << columns;
    // Only the essential field left and still too wide: cut between characters.
    EXPECT_EQ(fitFields({{"スキャン中 [####]", 0}}, 9), "スキャ...");
    EXPECT_EQ(fitFields({{"スキャン中 [####]", 0}}, 8), "スキ...");
    // Empty fields take no room and no separator.
    EXPECT_EQ(fitFields({{"a", 0}, {"", 2}, {"b", 1}}, 80), "a  b");
}

TEST(ProgressFit, RemainingTimeWhenTheTotalIsKnown) {
    EXPECT_EQ(formatRemaining(0, 0, 1e6), "");
    EXPECT_EQ(formatRemaining(50, 100, 0), "");
    EXPECT_EQ(formatRemaining(100, 100, 1e6), "");
    EXPECT_EQ(formatRemaining(0, 45'000'000, 1e6), "残り 約 45 秒");
    EXPECT_EQ(formatRemaining(0, 150'000'000, 1e6), "残り 約 3 分");
    EXPECT_EQ(formatRemaining(0, 180'000'000, 1e6), "残り 約 3 分");
    EXPECT_EQ(formatRemaining(0, 3'600'000'000, 1e6), "残り 約 1 時間");
    EXPECT_EQ(formatRemaining(0, 5'400'000'000, 1e6), "残り 約 1 時間 30 分");
}

}  // namespace
}  // namespace tamsel::cli
