// The emulated Windows loader: one process per machine, each with the DLL search, loading with
// static imports (rolled back whole on failure), exports and forwarders.
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
#include <unordered_set>
#include <vector>

#include "pe/pe_image.h"
#include "platform/apiset.h"
#include "platform/fs.h"
#include "platform/known_dlls.h"
#include "platform/loader.h"
#include "platform/system_dirs.h"

namespace talvek {

namespace {

constexpr uint32_t MAX_FORWARDER_HOPS = 32;
constexpr uint32_t MAX_ORDINAL = 0xFFFF;
constexpr uint32_t RESERVED_VALUE = 0xFE37;   // the value a caller reads as a call gate

struct PROCESS;

struct EMU_MODULE {
    void* map = nullptr;
    size_t cbMap = 0;
    PE_IMAGE img;
    PROCESS* proc = nullptr;
    std::string path;
    std::string key;            // the file name in lower case, for the bare-name look-up
    PE_IMPORT_TABLES imports;   // kept only while the module is being loaded
    bool fKnown = false;        // taken for a known DLL's name, from the system folders
    // The (lookup table, DLL) pairs already resolved while loading: descriptors that share
    // a table and name the same DLL resolve it once, as the outcome cannot differ.
    std::set<std::pair<size_t, const EMU_MODULE*>> resolved;
    ~EMU_MODULE() {
        if (map) munmap(map, cbMap);
    }
};

// What the search found for one file name: a path, or nothing (fSkipped: only images of
// other machines).
struct SEARCH_RESULT {
    bool fFound;
    bool fSkipped;
    std::string path;
};

// One emulated process: the modules of one machine. A DLL loads into a process when its
// Machine and optional-header magic are the process's.
struct PROCESS {
    uint16_t Machine = 0;
    std::vector<std::unique_ptr<EMU_MODULE>> modules;     // in load order
    std::unordered_map<std::string, EMU_MODULE*> byName;  // first loaded of each file name
    std::unordered_map<std::string, EMU_MODULE*> byPath;
    // While folder listings are remembered (no file changes during the run), so are facts
    // about files: what the search found for each file name, and the files that are no
    // loadable image for this process. A file naming one missing or broken DLL thousands of
    // times then costs one search and one read of it. Outcomes of loads are not kept: they
    // depend on what is being loaded at the time (cycles, rollback).
    std::unordered_map<std::string, SEARCH_RESULT> searched;
    std::unordered_map<std::string, SEARCH_RESULT> searchedKnown;   // searches of the system folders only
    std::unordered_set<std::string> notImages;
    // The lower-case file names that the known DLLs loaded here import, directly or not: known
    // DLLs of this process too, as Windows maps the DLLs known DLLs import as known at start.
    std::unordered_set<std::string> knownImports;
    // Wine's DLL folder for this machine when WINEPATH is not set ("" otherwise, or when
    // there is none), found when the process is made.
    std::string sysDir;
    // The API-set schema, read on the first name asked; its file stays mapped while the
    // schema is in use.
    bool fSchemaRead = false;
    bool fHasSchema = false;
    APISET_SCHEMA schema{};
    void* schemaMap = nullptr;
    size_t cbSchemaMap = 0;
    ~PROCESS() {
        if (schemaMap) munmap(schemaMap, cbSchemaMap);
    }
};

struct LOADER {
    std::vector<std::unique_ptr<PROCESS>> processes;
    uint16_t Machine = PE_MACHINE_I386;   // the process of the next LoadLibraryA
    uint32_t lastError = 0;
    std::string appPathRaw;
    std::string appDir;
};

// Never torn down: unmapping and freeing every module at exit would cost as much as a
// small check. It stays reachable from here, so a leak checker does not count it.
LOADER& g = *new LOADER;

// The process of Machine, made on first use.
PROCESS* process_of(uint16_t Machine) {
    for (auto& proc : g.processes)
        if (proc->Machine == Machine) return proc.get();
    g.processes.push_back(std::make_unique<PROCESS>());
    g.processes.back()->Machine = Machine;
    g.processes.back()->sysDir = default_system_folder(Machine);
    return g.processes.back().get();
}

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

// A mapped file, unmapped when the record goes unless its mapping is handed on.
struct FILE_MAP {
    void* p = nullptr;
    size_t cb = 0;
    FILE_MAP() = default;
    FILE_MAP(const FILE_MAP&) = delete;
    FILE_MAP& operator=(const FILE_MAP&) = delete;
    ~FILE_MAP() { unmap(); }
    void unmap() {
        if (p) munmap(p, cb);
        p = nullptr;
    }
};

// Maps the regular file at path. False when it cannot be opened or mapped, is no regular
// file or is shorter than a DOS header.
bool map_file(const std::string& path, FILE_MAP* fm) {
    // Non-blocking, so a FIFO or device met by the search cannot stall the run; only a
    // regular file is mapped.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 64 || uint64_t(st.st_size) > SIZE_MAX) {
        close(fd);
        return false;
    }
    void* p = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (p == MAP_FAILED) return false;
    fm->p = p;
    fm->cb = size_t(st.st_size);
    return true;
}

// A search hit in dir, unless the file found is a PE image of another machine (*fSkipped
// then). The file of a hit stays mapped in *fm for its load; one that cannot be mapped is
// not passed over, and loading it then fails.
bool try_search_dir(const PROCESS* proc, const std::string& dir, const std::string& name, std::string* path,
                    bool* fSkipped, FILE_MAP* fm) {
    if (!try_dir(dir, name, path)) return false;
    if (!map_file(*path, fm) ||
        !pe_other_machine(BYTE_SPAN{static_cast<const uint8_t*>(fm->p), fm->cb}, proc->Machine))
        return true;
    fm->unmap();
    *fSkipped = true;
    return false;
}

// The non-empty folders of a list such as WINEPATH or PATH, in order; none for no list.
std::vector<std::string> folders_of(const char* list, char sep) {
    std::vector<std::string> dirs;
    for (const char* p = list; p;) {
        const char* end = strchr(p, sep);
        std::string dir(p, end ? size_t(end - p) : strlen(p));
        if (!dir.empty()) dirs.push_back(std::move(dir));
        p = end ? end + 1 : nullptr;
    }
    return dirs;
}

bool try_dir_list(const PROCESS* proc, const char* list, char sep, const std::string& name, std::string* path,
                  bool* fSkipped, FILE_MAP* fm) {
    for (const std::string& dir : folders_of(list, sep))
        if (try_search_dir(proc, dir, name, path, fSkipped, fm)) return true;
    return false;
}

// The system folders: WINEPATH's (';'-separated), or when it is not set Wine's folder for the
// machine.
bool search_system(const PROCESS* proc, const std::string& name, std::string* path, bool* fSkipped, FILE_MAP* fm) {
    if (try_dir_list(proc, getenv("WINEPATH"), ';', name, path, fSkipped, fm)) return true;
    return !proc->sysDir.empty() && try_search_dir(proc, proc->sysDir, name, path, fSkipped, fm);
}

// The search of a bare name: the application's directory, the current directory, the
// system folders, PATH (':'-separated); the first hit that is not a PE image of another
// machine wins, as one PATH serves 32-bit and 64-bit programs alike. A known DLL (fKnown) is
// looked for in the system folders only, as Windows takes it from nowhere else.
bool search(const PROCESS* proc, const std::string& name, bool fKnown, std::string* path, bool* fSkipped,
            FILE_MAP* fm) {
    *fSkipped = false;
    if (fKnown) return search_system(proc, name, path, fSkipped, fm);
    if (!g.appDir.empty() && try_search_dir(proc, g.appDir, name, path, fSkipped, fm)) return true;
    if (try_search_dir(proc, "", name, path, fSkipped, fm)) return true;
    if (search_system(proc, name, path, fSkipped, fm)) return true;
    return try_dir_list(proc, getenv("PATH"), ':', name, path, fSkipped, fm);
}

// search, answered from what the process remembers of an earlier search for the same name
// while that is allowed.
bool remembered_search(PROCESS* proc, const std::string& name, bool fKnown, std::string* path, bool* fSkipped,
                       FILE_MAP* fm) {
    if (!remembering_dir_listings()) return search(proc, name, fKnown, path, fSkipped, fm);
    auto& searched = fKnown ? proc->searchedKnown : proc->searched;
    auto it = searched.find(name);
    if (it == searched.end()) {
        SEARCH_RESULT r{false, false, {}};
        r.fFound = search(proc, name, fKnown, &r.path, &r.fSkipped, fm);
        it = searched.emplace(name, std::move(r)).first;
    }
    *path = it->second.path;
    *fSkipped = it->second.fSkipped;
    return it->second.fFound;
}

// Maps the file at path (unless the search left it mapped in *fm) and reads its headers and
// whole import table; the module is then registered as loaded in proc (it counts as loaded
// while its imports are being loaded).
EMU_MODULE* map_module(PROCESS* proc, const std::string& path, FILE_MAP* fm, uint32_t* err) {
    *err = LOAD_ERR_BAD_EXE_FORMAT;
    if (!fm->p && !map_file(path, fm)) return nullptr;
    auto m = std::make_unique<EMU_MODULE>();
    m->map = fm->p;
    m->cbMap = fm->cb;
    fm->p = nullptr;
    BYTE_SPAN file{static_cast<const uint8_t*>(m->map), m->cbMap};
    if (!pe_parse_image(file, &m->img) || !pe_loadable_for(&m->img.hdr, proc->Machine) ||
        !pe_read_imports(&m->img, &m->imports))
        return nullptr;
    m->proc = proc;
    m->path = path;
    m->key = ascii_lower(std::string_view(path).substr(path.rfind('/') + 1));
    proc->byName.emplace(m->key, m.get());
    proc->byPath.emplace(m->path, m.get());
    proc->modules.push_back(std::move(m));
    return proc->modules.back().get();
}

// Reads proc's API-set schema once: from the first apisetschema.dll in the system folders
// (exact name, else the first ignoring case). A schema that cannot be read means no API sets.
const APISET_SCHEMA* schema_of(PROCESS* proc) {
    if (proc->fSchemaRead) return proc->fHasSchema ? &proc->schema : nullptr;
    proc->fSchemaRead = true;
    const char* list = getenv("WINEPATH");
    std::vector<std::string> dirs = list ? folders_of(list, ';') : std::vector<std::string>{proc->sysDir};
    std::string path;
    for (const std::string& dir : dirs) {
        if (dir.empty() || !try_dir(dir, "apisetschema.dll", &path)) continue;
        FILE_MAP fm;
        BYTE_SPAN section{nullptr, 0};
        if (map_file(path, &fm) &&
            apiset_find_section(BYTE_SPAN{static_cast<const uint8_t*>(fm.p), fm.cb}, &section) &&
            apiset_read_schema(section, &proc->schema)) {
            proc->fHasSchema = true;
            proc->schemaMap = fm.p;
            proc->cbSchemaMap = fm.cb;
            fm.p = nullptr;
        }
        break;
    }
    return proc->fHasSchema ? &proc->schema : nullptr;
}

// Takes m as a known DLL of proc: the bare names it imports (an API set by its host for m)
// become known names, so they too come from the system folders only, and so on down as each
// of them is loaded.
void make_known(PROCESS* proc, EMU_MODULE* m) {
    if (m->fKnown) return;
    m->fKnown = true;
    // A module whose load is over keeps no import table; it is read again.
    PE_IMPORT_TABLES again;
    const PE_IMPORT_TABLES* imp = &m->imports;
    if (imp->modules.empty() && pe_read_imports(&m->img, &again)) imp = &again;
    const APISET_SCHEMA* schema = schema_of(proc);
    for (const PE_IMPORT_MODULE& dep : imp->modules) {
        std::string name(dep.dll), host;
        if (schema && apiset_resolve(*schema, name, m->path, &host) == APISET_HOST) name = host;
        std::string file = dll_file_name(name);
        if (file.find('/') == std::string::npos) proc->knownImports.insert(ascii_lower(file));
    }
}

// The module a name stands for in proc, asked for by the module whose path is importer ("":
// the load test): one already loaded, or a file found and mapped now (*fNew). An API-set name
// stands for its host, loaded by the ordinary rules. Null with 126 when no file is found or
// the API set has no host, 193 when it is no loadable image or the search found only images
// of other machines.
EMU_MODULE* find_or_map(PROCESS* proc, const std::string& asked, std::string_view importer, bool* fNew,
                        uint32_t* err) {
    *fNew = false;
    std::string host;
    APISET_RESULT apiset = APISET_NOT_API_SET;
    if (const APISET_SCHEMA* schema = schema_of(proc)) apiset = apiset_resolve(*schema, asked, importer, &host);
    if (apiset == APISET_NO_HOST) {
        *err = LOAD_ERR_MOD_NOT_FOUND;
        return nullptr;
    }
    const std::string& name = apiset == APISET_HOST ? host : asked;
    std::string file = dll_file_name(name);
    size_t slash = file.rfind('/');
    std::string path;
    FILE_MAP fm;
    bool fKnown = false;
    if (slash == std::string::npos) {
        std::string key = ascii_lower(file);
        fKnown = is_known_dll(key) || proc->knownImports.count(key) != 0;
        // A module of a known DLL's name that was not taken as one (loaded from elsewhere
        // before its name became known) does not stand for it.
        auto it = proc->byName.find(key);
        if (it != proc->byName.end() && (!fKnown || it->second->fKnown)) return it->second;
        bool fSkipped = false;
        if (!remembered_search(proc, file, fKnown, &path, &fSkipped, &fm)) {
            *err = fSkipped ? LOAD_ERR_BAD_EXE_FORMAT : LOAD_ERR_MOD_NOT_FOUND;
            return nullptr;
        }
    } else if (!try_dir(slash == 0 ? "/" : file.substr(0, slash), file.substr(slash + 1), &path)) {
        *err = LOAD_ERR_MOD_NOT_FOUND;
        return nullptr;
    }
    auto it = proc->byPath.find(path);
    if (it != proc->byPath.end()) {
        if (fKnown) make_known(proc, it->second);
        return it->second;
    }
    bool fRemember = remembering_dir_listings();
    if (fRemember && proc->notImages.count(path)) {
        *err = LOAD_ERR_BAD_EXE_FORMAT;
        return nullptr;
    }
    EMU_MODULE* m = map_module(proc, path, &fm, err);
    if (!m && fRemember) proc->notImages.insert(path);
    if (m && fKnown) make_known(proc, m);
    *fNew = m != nullptr;
    return m;
}

// Unloads every module loaded since the first `first`, newest first.
void rollback(PROCESS* proc, size_t first) {
    while (proc->modules.size() > first) {
        EMU_MODULE* m = proc->modules.back().get();
        auto n = proc->byName.find(m->key);
        if (n != proc->byName.end() && n->second == m) proc->byName.erase(n);
        auto p = proc->byPath.find(m->path);
        if (p != proc->byPath.end() && p->second == m) proc->byPath.erase(p);
        proc->modules.pop_back();
    }
}

EMU_MODULE* load_module(PROCESS* proc, const std::string& name, std::string_view importer, uint32_t* err);

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
bool resolve(EMU_MODULE* m, PE_IMPORT_REF ref, uintptr_t* value) {
    for (uint32_t hops = 0;; hops++) {
        uint32_t idx = 0, rva = 0;
        if (!pe_export_index(&m->img, ref, &idx) || !pe_export_rva(&m->img, idx, &rva)) return false;
        if (!pe_is_forwarder(&m->img, rva)) {
            *value = address_of(m, rva);
            return true;
        }
        std::string_view text;
        if (hops == MAX_FORWARDER_HOPS || !pe_name_at(&m->img, rva, UINT64_MAX, &text)) return false;
        size_t dot = text.rfind('.');
        if (dot == std::string_view::npos || dot == 0 || dot + 1 == text.size()) return false;
        std::string_view entry = text.substr(dot + 1);
        PE_IMPORT_REF next{false, 0, entry};
        if (entry[0] == '#') {
            next.by_ordinal = true;
            if (!parse_ordinal(entry, &next.ordinal)) return false;
        }
        uint32_t err = 0;
        EMU_MODULE* target = load_module(m->proc, std::string(text.substr(0, dot)), m->path, &err);
        if (!target) return false;
        m = target;
        ref = next;
    }
}

// Loads name, asked for by importer, with everything it imports, without recursion: the
// modules on the way are frames of an explicit stack. The first failure rolls back every
// module this call mapped.
EMU_MODULE* load_module(PROCESS* proc, const std::string& name, std::string_view importer, uint32_t* err) {
    size_t first = proc->modules.size();
    bool fNew = false;
    EMU_MODULE* top = find_or_map(proc, name, importer, &fNew, err);
    if (!top || !fNew) return top;
    std::vector<LOAD_FRAME> stack{LOAD_FRAME{top, 0, nullptr}};
    while (!stack.empty()) {
        EMU_MODULE* m = stack.back().m;
        size_t i = stack.back().iImport;
        if (i == m->imports.modules.size()) {
            m->imports = PE_IMPORT_TABLES{};
            m->resolved.clear();
            stack.pop_back();
            continue;
        }
        const PE_IMPORT_MODULE& imp = m->imports.modules[i];
        EMU_MODULE* dep = stack.back().dep;
        if (!dep) {
            dep = find_or_map(proc, std::string(imp.dll), m->path, &fNew, err);
            if (!dep) {
                rollback(proc, first);
                return nullptr;
            }
            stack.back().dep = dep;
            if (fNew) {
                stack.push_back(LOAD_FRAME{dep, 0, nullptr});
                continue;
            }
        }
        if (m->resolved.insert({imp.table, dep}).second) {
            for (const PE_IMPORT_REF& ref : m->imports.tables[imp.table]) {
                uintptr_t v = 0;
                // An ordinal above 0xFFFF cannot be asked for and does not resolve.
                if ((ref.by_ordinal && ref.ordinal > MAX_ORDINAL) || !resolve(dep, ref, &v)) {
                    *err = LOAD_ERR_PROC_NOT_FOUND;
                    rollback(proc, first);
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
    EMU_MODULE* m = lpLibFileName ? load_module(process_of(g.Machine), lpLibFileName, "", &err) : nullptr;
    if (!m) g.lastError = err;
    return m;
}

uintptr_t GetProcAddress(HMODULE hModule, const char* lpProcName) {
    if (!hModule) {
        g.lastError = LOAD_ERR_MOD_NOT_FOUND;
        return 0;
    }
    uintptr_t x = reinterpret_cast<uintptr_t>(lpProcName);
    PE_IMPORT_REF ref = x <= MAX_ORDINAL ? PE_IMPORT_REF{true, uint32_t(x), {}} : PE_IMPORT_REF{false, 0, lpProcName};
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
    // The search starts in that directory: what it found before no longer holds.
    for (auto& proc : g.processes) proc->searched.clear();
}

void loader_select_process(uint16_t Machine) { g.Machine = Machine; }

void loader_reset() {
    for (auto& proc : g.processes) rollback(proc.get(), 0);
    g.processes.clear();
    g.Machine = PE_MACHINE_I386;
    g.lastError = 0;
    g.appPathRaw.clear();
    g.appDir.clear();
    forget_dir_listings();
}

}  // namespace talvek
