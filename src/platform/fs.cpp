// Directory look-ups and path normalisation over the standard file-system library.
#include "platform/fs.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace talvek {

static char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

static bool is_separator(char c) {
#if defined(_WIN32)
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

bool find_dir_entry(const std::string& dir, std::string_view name, std::string* real_name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name)
        if (is_separator(c) || c == '\0') return false;
    fs::path base = dir.empty() ? fs::path(".") : fs::path(dir);
    std::error_code ec;
    if (fs::exists(fs::symlink_status(base / fs::path(std::string(name)), ec))) {
        *real_name = std::string(name);
        return true;
    }
    fs::directory_iterator it(base, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::string entry = it->path().filename().string();
        if (equal_ignoring_case(entry, name)) {
            *real_name = entry;
            return true;
        }
    }
    return false;
}

std::string normal_path(const std::string& path) {
    std::error_code ec;
    fs::path abs = fs::absolute(fs::path(path), ec);
    if (ec) abs = fs::path(path);
    std::string s = abs.lexically_normal().string();
    // A path to a directory keeps no trailing separator, except the root itself.
    while (s.size() > 1 && is_separator(s.back()) && !(s.size() == 3 && s[1] == ':')) s.pop_back();
    return s;
}

std::string dir_part(std::string_view path) {
    for (size_t i = path.size(); i > 0; i--)
        if (is_separator(path[i - 1])) return std::string(path.substr(0, i));
    return std::string();
}

}  // namespace talvek
