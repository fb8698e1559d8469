#include "engine/carve/Damage.h"

#include <algorithm>

namespace tamsel::damage {

namespace {
constexpr const char* kSeparator = "・";
}

std::string overwritten(int percentFrom) {
    std::string text = "後半が別のデータで上書きされています";
    if (percentFrom >= 0) text += "(約 " + std::to_string(std::clamp(percentFrom, 0, 99)) + "% から)";
    return text;
}

std::string corrupt(int percentFrom) {
    std::string text = kCorrupt;
    if (percentFrom >= 0) text += "(約 " + std::to_string(std::clamp(percentFrom, 0, 99)) + "% から)";
    return text;
}

std::string joined(const std::vector<std::string>& notes) {
    std::string out;
    for (const auto& n : notes) out = added(out, n);
    return out;
}

std::string added(const std::string& existing, const std::string& note) {
    if (note.empty()) return existing;
    if (existing.empty()) return note;
    // Already said (as a whole part between separators).
    std::size_t from = 0;
    while (from <= existing.size()) {
        const auto sep = existing.find(kSeparator, from);
        if (existing.compare(from, (sep == std::string::npos ? existing.size() : sep) - from, note) == 0 &&
            (sep == std::string::npos ? existing.size() : sep) - from == note.size())
            return existing;
        if (sep == std::string::npos) break;
        from = sep + std::string(kSeparator).size();
    }
    return existing + kSeparator + note;
}

Chance chanceOf(bool damaged, const std::string& note) {
    if (!damaged) return Chance::high;
    if (note.find(kUnreadable) != std::string::npos || note.find(kNoIndex) != std::string::npos) return Chance::low;
    return Chance::medium;
}

std::string inTodaysWords(const std::string& note) {
    std::string out;
    std::size_t from = 0;
    while (from <= note.size()) {
        const auto sep = note.find(kSeparator, from);
        std::string part = note.substr(from, sep == std::string::npos ? std::string::npos : sep - from);
        if (part == "不良セクタ含む") part = kBadSectors;
        if (part == "末尾欠け" || part == "末尾欠けの可能性" || part == "EOIなし") part = kCutShort;
        out = added(out, part);
        if (sep == std::string::npos) break;
        from = sep + std::string(kSeparator).size();
    }
    return out;
}

}  // namespace tamsel::damage
