// ASCII letter case, the one way names are compared ignoring case (DLL names, folder entries,
// API-set names), and the file name a DLL name stands for.
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

// The file name the loader looks for when a DLL is asked for by name: backslashes become '/';
// on the last component a trailing '.' is dropped (no extension) and a name without any '.'
// gets ".dll".
inline std::string dll_file_name(std::string_view name) {
    std::string s(name);
    for (char& c : s)
        if (c == '\\') c = '/';
    size_t slash = s.rfind('/');
    std::string_view last = std::string_view(s).substr(slash == std::string::npos ? 0 : slash + 1);
    if (!last.empty() && last.back() == '.')
        s.pop_back();
    else if (last.find('.') == std::string_view::npos)
        s += ".dll";
    return s;
}

}  // namespace talvek
