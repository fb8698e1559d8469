#include "engine/common/Utf8.h"

namespace tamsel {

std::pair<char32_t, std::size_t> decodeUtf8At(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return {c, 1};
    std::size_t len;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3, cp = c & 0x0F;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4, cp = c & 0x07;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    } else {
        return {0, 0};
    }
    if (i + len > s.size()) return {0, 0};
    for (std::size_t k = 1; k < len; ++k) {
        const unsigned char t = b(i + k);
        if (t < (k == 1 ? lo : 0x80) || t > (k == 1 ? hi : 0xBF)) return {0, 0};
        cp = (cp << 6) | (t & 0x3F);
    }
    return {cp, len};
}

bool isValidUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = decodeUtf8At(s, i).second;
        if (n == 0) return false;
        i += n;
    }
    return true;
}

}  // namespace tamsel
