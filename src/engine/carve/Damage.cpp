#include "engine/carve/Damage.h"

#include <algorithm>
#include <string_view>

namespace tamsel::damage {

namespace {

constexpr std::string_view kSeparator = "・";

// The parts of a note, as they were joined.
std::vector<std::string> partsOf(const std::string& note) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
        const auto sep = note.find(kSeparator, from);
        parts.push_back(note.substr(from, sep == std::string::npos ? std::string::npos : sep - from));
        if (sep == std::string::npos) return parts;
        from = sep + kSeparator.size();
    }
}

// "text(約 60% から)", or the text alone when the place is not known.
std::string from(std::string text, int percentFrom) {
    if (percentFrom >= 0) text += "(約 " + std::to_string(std::clamp(percentFrom, 0, 99)) + "% から)";
    return text;
}

}  // namespace

std::string overwritten(int percentFrom) { return from("後半が別のデータで上書きされています", percentFrom); }

std::string corrupt(int percentFrom) { return from(kCorrupt, percentFrom); }

std::string joined(const std::vector<std::string>& notes) {
    std::string out;
    for (const auto& n : notes) out = added(out, n);
    return out;
}

std::string added(const std::string& existing, const std::string& note) {
    if (note.empty()) return existing;
    if (existing.empty()) return note;
    // Already said (as a whole part between separators).
    const auto parts = partsOf(existing);
    if (std::find(parts.begin(), parts.end(), note) != parts.end()) return existing;
    return existing + std::string(kSeparator) + note;
}

Chance chanceOf(bool damaged, const std::string& note) {
    if (!damaged) return Chance::high;
    if (note.find(kUnreadable) != std::string::npos || note.find(kNoIndex) != std::string::npos) return Chance::low;
    return Chance::medium;
}

std::string inTodaysWords(const std::string& note) {
    std::string out;
    for (std::string part : partsOf(note)) {
        if (part == "不良セクタ含む") part = kBadSectors;
        if (part == "末尾欠け" || part == "末尾欠けの可能性" || part == "EOIなし") part = kCutShort;
        out = added(out, part);
    }
    return out;
}

}  // namespace tamsel::damage
