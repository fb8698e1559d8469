#pragma once
// One vocabulary for damage, used by the window, the command line and the
// reports: a found file is 良好 or 一部破損, and its note says in plain
// words what was found.

#include <cstddef>
#include <string>
#include <vector>

namespace tamsel::damage {

// No note is longer: a verdict from a worker or a session file that is, is refused.
inline constexpr std::size_t kMaxNoteBytes = 1024;

inline constexpr const char* kGood = "良好";
inline constexpr const char* kDamaged = "一部破損";

inline constexpr const char* kBadSectors = "不良セクタを含む";
inline constexpr const char* kCutShort = "途中で切れています";
// Not damage: a file in pieces put back together from the card's file system.
inline constexpr const char* kAssembled = "分かれていた断片をファイルシステムの記録からつなぎ合わせました";
inline constexpr const char* kIndexOutside = "索引が範囲外を指しています";
inline constexpr const char* kCorrupt = "データの一部が壊れています";
inline constexpr const char* kUnreadable = "中身を読み取れません";
inline constexpr const char* kNoIndex = "再生に必要な索引がありません";
// "後半が別のデータで上書きされています(約 60% から)"; without a place when it is not known.
std::string overwritten(int percentFrom = -1);
// "データの一部が壊れています(約 40% から)"; likewise.
std::string corrupt(int percentFrom = -1);

// Notes joined with "・", each once, in the order given.
std::string joined(const std::vector<std::string>& notes);
// Adds `note` to an existing note (if it is not there yet).
std::string added(const std::string& existing, const std::string& note);

// How likely a file is to be of use once recovered, from its note: high
// when whole, low when nothing of it can be shown or played.
enum class Chance { high, medium, low };
Chance chanceOf(bool damaged, const std::string& note);

// Notes of older versions, in today's words.
std::string inTodaysWords(const std::string& note);

}  // namespace tamsel::damage
