// Paths and files over the standard file-system library (readdir and lstat on POSIX systems).
#include "platform/fs.h"

#include <sys/stat.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <climits>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace talvek {

bool is_path_separator(char c) {
#if defined(_WIN32)
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

size_t system_path_limit() {
#if defined(_WIN32)
    return 32767;
#else
    return PATH_MAX - 1;
#endif
}

std::string path_too_long(const std::string& path) {
    return "the path is longer than the system allows (" + std::to_string(system_path_limit()) + " bytes): " + path;
}

bool is_folder(const std::string& path) {
    std::error_code ec;
#if defined(_WIN32)
    return fs::is_directory(fs::path(windows_long_path(path)), ec);
#else
    return fs::is_directory(fs::path(path), ec);
#endif
}

#if defined(_WIN32)
std::wstring windows_long_path(const std::string& path) {
    int n = MultiByteToWideChar(CP_ACP, 0, path.data(), int(path.size()), nullptr, 0);
    std::wstring w(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, path.data(), int(path.size()), &w[0], n);
    if (w.size() < MAX_PATH || w.compare(0, 4, L"\\\\?\\") == 0) return w;
    DWORD need = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
    std::wstring full(need, L'\0');
    DWORD got = need ? GetFullPathNameW(w.c_str(), need, &full[0], nullptr) : 0;
    if (got == 0 || got >= need) return w;
    full.resize(got);
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}
#endif

FILE* open_for_reading(const char* path) {
#if defined(_WIN32)
    return _wfopen(windows_long_path(path).c_str(), L"rb");
#else
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, "rb");
    if (!f) close(fd);
    return f;
#endif
}

bool is_regular_file(FILE* f) {
#if defined(_WIN32)
    struct _stat64 st;
    return _fstat64(_fileno(f), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
#else
    struct stat st;
    return fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
#endif
}

std::string normal_path(const std::string& path) {
    std::error_code ec;
    fs::path abs = fs::absolute(fs::path(path), ec);
    if (ec) abs = fs::path(path);
    std::string s = abs.lexically_normal().string();
    // A path to a directory keeps no trailing separator, except the root itself.
    while (s.size() > 1 && is_path_separator(s.back()) && !(s.size() == 3 && s[1] == ':')) s.pop_back();
    return s;
}

std::string dir_part(std::string_view path) {
    for (size_t i = path.size(); i > 0; i--)
        if (is_path_separator(path[i - 1])) return std::string(path.substr(0, i));
    return std::string();
}

std::string_view base_name(std::string_view path) {
    for (size_t i = path.size(); i > 0; i--)
        if (is_path_separator(path[i - 1])) return path.substr(i);
    return path;
}

}  // namespace talvek
