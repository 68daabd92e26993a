// The emulated loader of 32-bit x86 Windows images: the DLL search, loading with static
// imports (rolled back whole on failure), exports and forwarders.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/emu_image.h"
#include "platform/fs.h"
#include "platform/loader.h"

namespace talvek {

namespace {

constexpr uint32_t MAX_FORWARDER_HOPS = 32;
constexpr uint32_t MAX_ORDINAL = 0xFFFF;
constexpr uint32_t RESERVED_VALUE = 0xFE37;   // the value a caller reads as a call gate

struct EMU_MODULE {
    void* map = nullptr;
    size_t cbMap = 0;
    EMU_IMAGE img;
    std::string path;
    std::string key;       // the file name in lower case, for the bare-name look-up
    EMU_IMPORTS imports;   // kept only while the module is being loaded
    // The (lookup table, DLL) pairs already resolved while loading: descriptors that share
    // a table and name the same DLL resolve it once, as the outcome cannot differ.
    std::set<std::pair<size_t, const EMU_MODULE*>> resolved;
    ~EMU_MODULE() {
        if (map) munmap(map, cbMap);
    }
};

struct LOADER {
    std::vector<std::unique_ptr<EMU_MODULE>> modules;     // in load order
    std::unordered_map<std::string, EMU_MODULE*> byName;  // first loaded of each file name
    std::unordered_map<std::string, EMU_MODULE*> byPath;
    uint32_t lastError = 0;
    std::string appPathRaw;
    std::string appDir;
};

LOADER g;

// One module on the way of a load: the next import descriptor, and its DLL once found.
struct LOAD_FRAME {
    EMU_MODULE* m;
    size_t iImport;
    EMU_MODULE* dep;
};

std::string ascii_lower(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return r;
}

std::string join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// Backslashes become '/'. On the last component, a trailing '.' is dropped (no extension)
// and a name without any '.' gets ".dll".
std::string dll_file_name(std::string_view name) {
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

bool try_dir(const std::string& dir, const std::string& name, std::string* path) {
    std::string real;
    if (!find_dir_entry(dir, name, &real)) return false;
    *path = normal_path(join(dir, real));
    return true;
}

bool try_dir_list(const char* list, char sep, const std::string& name, std::string* path) {
    if (!list) return false;
    for (const char* p = list;;) {
        const char* end = strchr(p, sep);
        std::string dir(p, end ? size_t(end - p) : strlen(p));
        if (!dir.empty() && try_dir(dir, name, path)) return true;
        if (!end) return false;
        p = end + 1;
    }
}

// The search of a bare name: the application's directory, the current directory,
// WINEPATH (';'-separated), PATH (':'-separated); the first hit wins.
bool search(const std::string& name, std::string* path) {
    if (!g.appDir.empty() && try_dir(g.appDir, name, path)) return true;
    if (try_dir("", name, path)) return true;
    if (try_dir_list(getenv("WINEPATH"), ';', name, path)) return true;
    return try_dir_list(getenv("PATH"), ':', name, path);
}

// Maps the file at path and reads its headers and whole import table; the module is then
// registered as loaded (it counts as loaded while its imports are being loaded).
EMU_MODULE* map_module(const std::string& path, uint32_t* err) {
    *err = LOAD_ERR_BAD_EXE_FORMAT;
    // Non-blocking, so a FIFO or device met by the search cannot stall the run; only a
    // regular file is mapped.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 64 || uint64_t(st.st_size) > SIZE_MAX) {
        close(fd);
        return nullptr;
    }
    auto m = std::make_unique<EMU_MODULE>();
    void* p = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (p == MAP_FAILED) return nullptr;
    m->map = p;
    m->cbMap = size_t(st.st_size);
    BYTE_SPAN file{static_cast<const uint8_t*>(p), m->cbMap};
    if (!emu_parse_image(file, &m->img) || !emu_read_imports(&m->img, &m->imports)) return nullptr;
    m->path = path;
    m->key = ascii_lower(std::string_view(path).substr(path.rfind('/') + 1));
    g.byName.emplace(m->key, m.get());
    g.byPath.emplace(m->path, m.get());
    g.modules.push_back(std::move(m));
    return g.modules.back().get();
}

// The module a name stands for: one already loaded, or a file found and mapped now
// (*fNew). Null with 126 when no file is found, 193 when it is no loadable image.
EMU_MODULE* find_or_map(const std::string& name, bool* fNew, uint32_t* err) {
    *fNew = false;
    std::string file = dll_file_name(name);
    size_t slash = file.rfind('/');
    std::string path;
    if (slash == std::string::npos) {
        auto it = g.byName.find(ascii_lower(file));
        if (it != g.byName.end()) return it->second;
        if (!search(file, &path)) {
            *err = LOAD_ERR_MOD_NOT_FOUND;
            return nullptr;
        }
    } else if (!try_dir(slash == 0 ? "/" : file.substr(0, slash), file.substr(slash + 1), &path)) {
        *err = LOAD_ERR_MOD_NOT_FOUND;
        return nullptr;
    }
    auto it = g.byPath.find(path);
    if (it != g.byPath.end()) return it->second;
    EMU_MODULE* m = map_module(path, err);
    *fNew = m != nullptr;
    return m;
}

// Unloads every module loaded since the first `first`, newest first.
void rollback(size_t first) {
    while (g.modules.size() > first) {
        EMU_MODULE* m = g.modules.back().get();
        auto n = g.byName.find(m->key);
        if (n != g.byName.end() && n->second == m) g.byName.erase(n);
        auto p = g.byPath.find(m->path);
        if (p != g.byPath.end() && p->second == m) g.byPath.erase(p);
        g.modules.pop_back();
    }
}

EMU_MODULE* load_module(const std::string& name, uint32_t* err);

// The value handed out for an export: the module record's address plus the RVA, kept
// clear of 0 and of the call-gate value.
uintptr_t address_of(const EMU_MODULE* m, uint32_t rva) {
    uintptr_t v = reinterpret_cast<uintptr_t>(m) + rva;
    return v == 0 || v == RESERVED_VALUE ? reinterpret_cast<uintptr_t>(m) : v;
}

// "#N" as an ordinal of at most 0xFFFF.
bool parse_ordinal(std::string_view s, uint32_t* ordinal) {
    if (s.size() < 2 || s[0] != '#') return false;
    uint32_t n = 0;
    for (char c : s.substr(1)) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + uint32_t(c - '0');
        if (n > MAX_ORDINAL) return false;
    }
    *ordinal = n;
    return true;
}

// Resolves an entry in m, following forwarders ("DLL.Name" or "DLL.#N", split at the last
// '.') through at most MAX_FORWARDER_HOPS modules, which also ends a forwarder loop.
bool resolve(EMU_MODULE* m, EMU_REF ref, uintptr_t* value) {
    for (uint32_t hops = 0;; hops++) {
        uint32_t idx = 0, rva = 0;
        if (!emu_export_index(&m->img, ref, &idx) || !emu_export_rva(&m->img, idx, &rva)) return false;
        if (!emu_is_forwarder(&m->img, rva)) {
            *value = address_of(m, rva);
            return true;
        }
        std::string_view text;
        if (hops == MAX_FORWARDER_HOPS || !emu_cstr(&m->img, rva, &text)) return false;
        size_t dot = text.rfind('.');
        if (dot == std::string_view::npos || dot == 0 || dot + 1 == text.size()) return false;
        std::string_view entry = text.substr(dot + 1);
        EMU_REF next{false, 0, entry};
        if (entry[0] == '#') {
            next.by_ordinal = true;
            if (!parse_ordinal(entry, &next.ordinal)) return false;
        }
        uint32_t err = 0;
        EMU_MODULE* target = load_module(std::string(text.substr(0, dot)), &err);
        if (!target) return false;
        m = target;
        ref = next;
    }
}

// Loads name with everything it imports, without recursion: the modules on the way are
// frames of an explicit stack. The first failure rolls back every module this call mapped.
EMU_MODULE* load_module(const std::string& name, uint32_t* err) {
    size_t first = g.modules.size();
    bool fNew = false;
    EMU_MODULE* top = find_or_map(name, &fNew, err);
    if (!top || !fNew) return top;
    std::vector<LOAD_FRAME> stack{LOAD_FRAME{top, 0, nullptr}};
    while (!stack.empty()) {
        EMU_MODULE* m = stack.back().m;
        size_t i = stack.back().iImport;
        if (i == m->imports.modules.size()) {
            m->imports = EMU_IMPORTS{};
            m->resolved.clear();
            stack.pop_back();
            continue;
        }
        const EMU_IMPORT& imp = m->imports.modules[i];
        EMU_MODULE* dep = stack.back().dep;
        if (!dep) {
            dep = find_or_map(std::string(imp.dll), &fNew, err);
            if (!dep) {
                rollback(first);
                return nullptr;
            }
            stack.back().dep = dep;
            if (fNew) {
                stack.push_back(LOAD_FRAME{dep, 0, nullptr});
                continue;
            }
        }
        if (m->resolved.insert({imp.table, dep}).second) {
            for (const EMU_REF& ref : m->imports.tables[imp.table]) {
                uintptr_t v = 0;
                // An ordinal above 0xFFFF cannot be asked for and does not resolve.
                if ((ref.by_ordinal && ref.ordinal > MAX_ORDINAL) || !resolve(dep, ref, &v)) {
                    *err = LOAD_ERR_PROC_NOT_FOUND;
                    rollback(first);
                    return nullptr;
                }
            }
        }
        stack.back().iImport++;
        stack.back().dep = nullptr;
    }
    return top;
}

}  // namespace

HMODULE LoadLibraryA(const char* lpLibFileName) {
    uint32_t err = LOAD_ERR_MOD_NOT_FOUND;
    EMU_MODULE* m = lpLibFileName ? load_module(lpLibFileName, &err) : nullptr;
    if (!m) g.lastError = err;
    return m;
}

uintptr_t GetProcAddress(HMODULE hModule, const char* lpProcName) {
    if (!hModule) {
        g.lastError = LOAD_ERR_MOD_NOT_FOUND;
        return 0;
    }
    uintptr_t x = reinterpret_cast<uintptr_t>(lpProcName);
    EMU_REF ref = x <= MAX_ORDINAL ? EMU_REF{true, uint32_t(x), {}} : EMU_REF{false, 0, lpProcName};
    uintptr_t v = 0;
    if (!resolve(static_cast<EMU_MODULE*>(hModule), ref, &v)) {
        g.lastError = LOAD_ERR_PROC_NOT_FOUND;
        return 0;
    }
    return v;
}

uint32_t GetModuleFileNameA(HMODULE hModule, char* lpFilename, uint32_t nSize) {
    if (!hModule) {
        g.lastError = LOAD_ERR_MOD_NOT_FOUND;
        return 0;
    }
    if (nSize == 0) {
        g.lastError = LOAD_ERR_INSUFFICIENT_BUFFER;
        return 0;
    }
    const std::string& path = static_cast<EMU_MODULE*>(hModule)->path;
    // As Windows does: a path that does not fit is cut to nSize - 1 characters, terminated,
    // and the result is nSize.
    size_t n = std::min<size_t>(path.size(), nSize - 1);
    memcpy(lpFilename, path.data(), n);
    lpFilename[n] = '\0';
    if (n < path.size()) {
        g.lastError = LOAD_ERR_INSUFFICIENT_BUFFER;
        return nSize;
    }
    return uint32_t(n);
}

uint32_t GetLastError() { return g.lastError; }

void loader_set_application_path(const char* path) {
    if (g.appPathRaw == path) return;
    g.appPathRaw = path;
    std::string dir = dir_part(path);
    g.appDir = normal_path(dir.empty() ? "." : dir);
}

void loader_reset() {
    rollback(0);
    g.lastError = 0;
    g.appPathRaw.clear();
    g.appDir.clear();
}

}  // namespace talvek
