// ASCII letter case, the one way names are compared ignoring case (DLL names, folder entries,
// API-set names).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace talvek {

// A character, or a UTF-16 unit, with A-Z lowered; every other value unchanged.
constexpr uint32_t ascii_lower(uint32_t c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }
inline char ascii_lower(char c) { return char(ascii_lower(uint32_t(uint8_t(c)))); }

inline std::string ascii_lower(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = ascii_lower(c);
    return r;
}

inline bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

}  // namespace talvek
