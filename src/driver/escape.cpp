// The one escaper of names, with a rule per output.
#include "driver/escape.h"

#include <cstdint>
#include <cstdio>

namespace talvek {

size_t utf8_len(std::string_view s, size_t i) {
    uint8_t c = uint8_t(s[i]);
    if (c < 0x80) return 1;
    size_t n;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2, cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3, cp = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4, cp = c & 0x07u;
    } else {
        return 0;
    }
    if (s.size() - i < n) return 0;
    for (size_t k = 1; k < n; k++) {
        uint8_t d = uint8_t(s[i + k]);
        if ((d & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (d & 0x3Fu);
    }
    if (n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return 0;
    if (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return 0;
    return n;
}

std::string escaped(std::string_view s, ESCAPE_FOR to) {
    std::string r;
    r.reserve(s.size());
    char hex[12];
    for (size_t i = 0; i < s.size();) {
        uint8_t c = uint8_t(s[i]);
        size_t n = to == ESCAPE_TERMINAL ? 1 : utf8_len(s, i);
        if (to == ESCAPE_TERMINAL && (c < 0x20 || c == 0x7F)) {
            snprintf(hex, sizeof hex, "\\x%02X", unsigned(c));
            r += hex;
        } else if (to != ESCAPE_TERMINAL && (n == 0 || c < 0x20)) {
            if (to == ESCAPE_DOT)
                snprintf(hex, sizeof hex, "\\\\x%02X", unsigned(c));
            else
                snprintf(hex, sizeof hex, n == 0 ? "\\udc%02x" : "\\u%04x", unsigned(c));
            r += hex;
            n = 1;
        } else {
            if (c == '\\' || (c == '"' && to != ESCAPE_TERMINAL)) r += '\\';
            r.append(s.data() + i, n);
        }
        i += n;
    }
    return r;
}

std::string shown(std::string_view name, bool fTerminal) {
    return fTerminal ? escaped(name, ESCAPE_TERMINAL) : std::string(name);
}

}  // namespace talvek
