// The loader calls of the PE load test bound to KERNEL32. The system loader gives only an
// error code; the cause of a failed load is found by the tool's own check of the DLL's imports.
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/dos_header.h"
#include "common/pe_format.h"
#include "common/pe_loader_reading.h"
#include "common/text.h"
#include "platform/file_bytes.h"
#include "platform/fs.h"
#include "platform/loader.h"

// After the tool's own headers, whose names TRUE and FALSE the system header makes macros.
#include <windows.h>

namespace talvek {

// What loader_loaded_from judges by: the target Windows, the machine of the module whose DLLs
// are loaded, the checked program's folder and the --ship-from folders; how the host calls the
// loader: the search mode and the DLL directories added for it; and with a host, its path, its
// folder, the folder of the module named (each as folder_key compares them) and the files of
// the DLLs it loaded for itself. The modules themselves are the process's.
struct LOADER {
    bool fOn = false;
    WINDOWS_VERSION version = WINDOWS_10;
    uint16_t Machine = 0;
    std::string appDir;
    std::vector<std::string> shipFrom;
    SEARCH_MODE mode = SEARCH_CLASSIC;
    std::vector<DLL_DIRECTORY_COOKIE> dllDirs;       // the --dll-dir folders
    DLL_DIRECTORY_COOKIE hostDirCookie = nullptr;    // the host's folder, under the safe search
    std::string hostPath, hostDir, moduleDir;
    std::set<std::string> hostModules;
    std::vector<::HMODULE> loaded;   // each load of the module named at hand, freed for the next
};

namespace {

// How deep the search for a cause follows DLLs that do not load.
constexpr int MAX_CAUSE_DEPTH = 32;

// The longest path Windows takes in its \\?\ form, in characters.
constexpr DWORD MAX_LONG_PATH = 32768;

// The machine of this process, the only one whose images the system loader maps here.
#if defined(_M_ARM64) || defined(__aarch64__)
constexpr uint16_t PROCESS_MACHINE = PE_MACHINE_ARM64;
#elif defined(_M_X64) || defined(__x86_64__)
constexpr uint16_t PROCESS_MACHINE = PE_MACHINE_AMD64;
#else
constexpr uint16_t PROCESS_MACHINE = PE_MACHINE_I386;
#endif

// A folder's path as compared: normalised, lower case, as Windows compares paths.
std::string folder_key(const std::string& dir) { return ascii_lower(normal_path(dir)); }

// The system folder, and on 64-bit Windows the folder of its 32-bit DLLs; "" where there is none.
std::string system_folder(bool fWow64) {
    // A buffer too small gets the size needed, terminator included.
    std::string buf(MAX_PATH + 1, '\0');
    for (int k = 0; k < 2; k++) {
        UINT n = fWow64 ? ::GetSystemWow64DirectoryA(&buf[0], UINT(buf.size())) : ::GetSystemDirectoryA(&buf[0], UINT(buf.size()));
        if (n == 0 || n > MAX_LONG_PATH) return std::string();
        if (n < buf.size()) return folder_key(buf.substr(0, n));
        buf.resize(n);
    }
    return std::string();
}

// The path of a loaded module, whole: the buffer grows until the path fits, as a path of a
// long-path-aware system may be longer than MAX_PATH. "" when it cannot be had.
std::string module_path(::HMODULE h) {
    std::string buf(MAX_PATH + 1, '\0');
    for (;;) {
        DWORD n = ::GetModuleFileNameA(h, &buf[0], DWORD(buf.size()));
        if (n == 0) return std::string();
        if (n < buf.size()) return buf.substr(0, n);
        if (buf.size() >= MAX_LONG_PATH) return std::string();
        buf.resize(buf.size() * 2);
    }
}

// The text in wide characters, from the system's code page; "" when it cannot be converted.
std::wstring wide(const std::string& text) {
    int n = ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring w(size_t(n), L'\0');
    if (::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &w[0], n) != n) return std::wstring();
    w.pop_back();
    return w;
}

// Loads name as the host calls the loader (extra: further flags): the safe search with
// LoadLibraryExW and its flags, the altered search for a full path with its flag, and
// LoadLibraryA otherwise. The flags of the module's own folder take only a full path, so for a
// bare name that folder is a DLL directory instead (loader_start_host).
::HMODULE load_as_host_calls(const LOADER* L, const char* name, DWORD extra) {
    std::string_view n(name ? name : "");
    bool fFull = n.size() > 2 && (n[1] == ':' || (is_path_separator(n[0]) && is_path_separator(n[1])));
    DWORD flags = 0;
    if (name && L->mode == SEARCH_SAFE)
        flags = LOAD_LIBRARY_SEARCH_DEFAULT_DIRS | (fFull ? LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR : 0);
    else if (name && L->mode == SEARCH_ALTERED && fFull)
        flags = LOAD_WITH_ALTERED_SEARCH_PATH;
    if (flags) return ::LoadLibraryExW(wide(name).c_str(), nullptr, flags | extra);
    return extra ? ::LoadLibraryExA(name, nullptr, extra) : ::LoadLibraryA(name);
}

// The file the system loader takes for name, found as it searches, without loading what the
// file imports; "" with *error when there is none or it is no image for this process.
std::string file_for(const LOADER* L, const char* name, DWORD* error) {
    ::HMODULE h = load_as_host_calls(L, name, DONT_RESOLVE_DLL_REFERENCES);
    if (!h) {
        *error = ::GetLastError();
        return std::string();
    }
    std::string path = module_path(h);
    // Unloaded at once: a module mapped this way must never answer a later load test.
    ::FreeLibrary(h);
    return path;
}

LOAD_STEP step_of(const std::string& importer, std::string_view dll, const std::string& file, uint32_t error) {
    LOAD_STEP step;
    step.importer = importer;
    step.dll = std::string(dll);
    step.file = file;
    step.error = error;
    return step;
}

// Whether the file at path carries Wine's builtin marker (false when it cannot be read).
bool wine_builtin_file(const std::string& path) {
    FILE_BYTES bytes;
    return !path.empty() && map_file(nullptr, path, &bytes) && has_wine_builtin_marker(bytes.span());
}

// The folders the system loader searches for a bare name here: the program's folder (set as
// the DLL directory), the system folder, the Windows folder, the current folder, PATH.
std::vector<std::string> search_folders(const std::string& appDir) {
    std::vector<std::string> dirs{appDir, system_folder(false)};
    char buf[MAX_PATH + 1];
    UINT n = ::GetWindowsDirectoryA(buf, sizeof buf);
    if (n > 0 && n < sizeof buf) dirs.push_back(std::string(buf, n));
    dirs.push_back(".");
    const char* path = getenv("PATH");
    for (const char* p = path; p && *p;) {
        const char* end = strchr(p, ';');
        std::string dir(p, end ? size_t(end - p) : strlen(p));
        if (!dir.empty()) dirs.push_back(dir);
        p = end ? end + 1 : nullptr;
    }
    return dirs;
}

// For a DLL that failed with 193 and whose file the system loader would not name: the files
// of its name that are images of other machines, passed over as the loader passes them, or
// the one file found and what is wrong with it.
void explain_bad_format(const std::string& appDir, const char* name, LOAD_FAILURE* why) {
    std::string file = dll_file_name(name);
    bool fBare = file.find_first_of("/\\") == std::string::npos;
    std::vector<std::string> candidates = fBare ? std::vector<std::string>() : std::vector<std::string>{file};
    if (fBare)
        for (const std::string& dir : search_folders(appDir)) candidates.push_back(normal_path(dir + "/" + file));
    std::set<std::string> seen;
    for (const std::string& path : candidates) {
        FILE_BYTES bytes;
        if (!seen.insert(ascii_lower(path)).second || !map_file(nullptr, path, &bytes)) continue;
        uint16_t machine = 0;
        if (pe_other_machine(bytes.span(), PROCESS_MACHINE, &machine)) {
            why->passedOver.push_back(path);
            why->passedOverMachines.push_back(machine);
            continue;
        }
        PE_IMAGE image;
        PE_STATUS st = pe_parse_image(bytes.span(), &image);
        why->chain.back().file = path;
        why->reason = st.problem == PE_FINE ? "it is no image for this machine" : pe_status_text(st);
        why->passedOver.clear();
        why->passedOverMachines.clear();
        return;
    }
    if (!why->passedOver.empty()) why->reason = "only images for other machines were found";
}

// Adds to why->chain the steps below the DLL file at path, which did not load: the first of
// its imports that does not load (followed down the same way) or whose entry does not
// resolve. False when each of them loads and resolves here: no cause was found.
bool find_cause(const LOADER* L, const std::string& path, LOAD_FAILURE* why, int depth, std::set<std::string>* seen) {
    if (depth >= MAX_CAUSE_DEPTH || !seen->insert(ascii_lower(path)).second) return false;
    FILE_BYTES bytes;
    PE_IMAGE image;
    PE_IMPORT_TABLES imports;
    if (!map_file(nullptr, path, &bytes)) return false;
    PE_STATUS st = pe_parse_image(bytes.span(), &image);
    if (st.problem == PE_FINE) st = pe_read_imports(&image, &imports);
    if (st.problem != PE_FINE) {
        why->reason = pe_status_text(st);
        return true;
    }
    for (const PE_IMPORT_MODULE& imp : imports.modules) {
        std::string dll(imp.dll);
        ::HMODULE h = load_as_host_calls(L, dll.c_str(), 0);
        if (!h) {
            DWORD error = ::GetLastError();
            DWORD found = 0;
            std::string file = file_for(L, dll.c_str(), &found);
            why->chain.push_back(step_of(path, dll, file, error));
            // A file that is there and still does not load lacks something of its own.
            if (!file.empty()) find_cause(L, file, why, depth + 1, seen);
            if (error == 193 && file.empty()) explain_bad_format(L->appDir, dll.c_str(), why);
            return true;
        }
        for (const PE_IMPORT_REF& ref : imports.tables[imp.table]) {
            // An ordinal above 0xFFFF cannot be asked for and does not resolve.
            std::string name(ref.name);
            const char* proc = !ref.by_ordinal ? name.c_str()
                               : ref.ordinal <= PE_MAX_ORDINAL ? reinterpret_cast<const char*>(uintptr_t(ref.ordinal))
                                                               : nullptr;
            if (proc && ::GetProcAddress(h, proc)) continue;
            LOAD_STEP step = step_of(path, dll, module_path(h), LOAD_ERR_PROC_NOT_FOUND);
            step.fEntry = true;
            step.fOrdinal = ref.by_ordinal;
            step.ordinal = ref.ordinal;
            step.entry = name;
            why->chain.push_back(step);
            return true;
        }
    }
    return false;
}

// Under a target Windows, a bare name that Windows lacks and the program's folder does not
// hold is taken from the first --ship-from folder that holds an image of this process's
// machine, and what it imports is searched from there, so that what is checked is the file
// that ships. "" when none does.
std::string ship_from_file(const LOADER* L, const char* name) {
    std::string file = dll_file_name(name);
    if (!L->fOn || L->shipFrom.empty() || file.find_first_of("/\\") != std::string::npos ||
        is_part_of_windows(L->version, L->Machine, file))
        return std::string();
    FILE_BYTES bytes;
    if (map_file(nullptr, L->appDir + "/" + file, &bytes)) return std::string();
    for (const std::string& dir : L->shipFrom) {
        std::string path = dir + "/" + file;
        FILE_BYTES found;
        if (map_file(nullptr, path, &found) && !pe_other_machine(found.span(), PROCESS_MACHINE)) return path;
    }
    return std::string();
}

// The DLL directories added for a host's search, taken away again.
void remove_dll_directories(LOADER* L) {
    for (DLL_DIRECTORY_COOKIE cookie : L->dllDirs) ::RemoveDllDirectory(cookie);
    L->dllDirs.clear();
    if (L->hostDirCookie) ::RemoveDllDirectory(L->hostDirCookie);
    L->hostDirCookie = nullptr;
}

}  // namespace

// The DLL directories set for a program go with its run.
void LOADER_DELETER::operator()(LOADER* L) const {
    ::SetDllDirectoryA(nullptr);
    remove_dll_directories(L);
    delete L;
}

LOADER_PTR make_loader(FS_MEMORY* /*mem*/, const std::string& /*wineRoot*/) { return LOADER_PTR(new LOADER); }

HMODULE loader_load(LOADER* L, const char* name, LOAD_FAILURE* why) {
    std::string shipped = name ? ship_from_file(L, name) : std::string();
    ::HMODULE h = shipped.empty() ? load_as_host_calls(L, name, 0)
                                  : ::LoadLibraryExA(shipped.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (h) {
        L->loaded.push_back(h);
        return reinterpret_cast<HMODULE>(h);
    }
    DWORD error = ::GetLastError();
    if (why) {
        *why = LOAD_FAILURE{};
        why->error = error;
        why->machine = PROCESS_MACHINE;
        DWORD found = 0;
        std::string file = name ? file_for(L, name, &found) : std::string();
        why->chain.push_back(step_of("", name ? name : "", file, error));
        // The emulated loader says which files of other machines it passed over; the system
        // loader does not, so they are looked for as it searches.
        if (error == 193 && file.empty() && name) explain_bad_format(L->appDir, name, why);
        // A DLL whose own file is missing or no image is itself the cause; for one that is
        // there, what it lacks is looked for.
        bool fDeeper = error == 126 || error == 127 || error == 182 || error == 193;
        std::set<std::string> seen;
        if (!file.empty() && fDeeper && !find_cause(L, file, why, 0, &seen)) why->fUnknown = true;
    }
    ::SetLastError(error);
    return nullptr;
}

uintptr_t loader_resolve(LOADER* L, HMODULE hModule, const char* lpProcName, LOAD_FAILURE* why, HMODULE* pFinal) {
    FARPROC p = ::GetProcAddress(static_cast<::HMODULE>(hModule), lpProcName);
    if (p) {
        // A forwarder makes the module the entry lies in another than hModule.
        ::HMODULE in = nullptr;
        if (pFinal && ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                           reinterpret_cast<LPCSTR>(p), &in))
            *pFinal = in;
        return reinterpret_cast<uintptr_t>(p);
    }
    DWORD error = ::GetLastError();
    if (why) {
        *why = LOAD_FAILURE{};
        why->error = error;
        why->machine = PROCESS_MACHINE;
        uintptr_t x = reinterpret_cast<uintptr_t>(lpProcName);
        std::string path = module_path(static_cast<::HMODULE>(hModule));
        // Under Wine, a DLL of the target Windows is Wine's copy, whose exports need not be
        // the ones of Windows' own.
        why->fUnverified = L->fOn && is_part_of_windows(L->version, L->Machine, base_name(path)) &&
                           folder_key(dir_part(path)) != folder_key(L->appDir) && wine_builtin_file(path);
        LOAD_STEP step = step_of("", "", path, error);
        step.fEntry = true;
        step.fOrdinal = x <= PE_MAX_ORDINAL;
        if (step.fOrdinal)
            step.ordinal = uint32_t(x);
        else
            step.entry = lpProcName;
        why->chain.push_back(step);
    }
    ::SetLastError(error);
    return 0;
}

HMODULE LoadLibraryA(LOADER* L, const char* lpLibFileName) { return loader_load(L, lpLibFileName, nullptr); }

uintptr_t GetProcAddress(LOADER* L, HMODULE hModule, const char* lpProcName) {
    return loader_resolve(L, hModule, lpProcName, nullptr);
}

uint32_t GetModuleFileNameA(LOADER* /*L*/, HMODULE hModule, char* lpFilename, uint32_t nSize) {
    return ::GetModuleFileNameA(static_cast<::HMODULE>(hModule), lpFilename, nSize);
}

std::string loader_module_path(LOADER* /*L*/, HMODULE hModule) {
    return hModule ? module_path(static_cast<::HMODULE>(hModule)) : std::string();
}

uint32_t GetLastError(LOADER* /*L*/) { return ::GetLastError(); }

static void free_loaded(LOADER* L) {
    for (::HMODULE h : L->loaded) ::FreeLibrary(h);
    L->loaded.clear();
}

// The real loader searches the tool's own directory first; the checked program's directory
// is added to the search so its DLLs are found as they would be for the program itself. What
// the module named before loaded is freed, so that each starts with what the tool itself holds.
void loader_set_application_path(LOADER* L, const char* path) {
    free_loaded(L);
    std::string dir = dir_part(path);
    L->appDir = normal_path(dir.empty() ? "." : dir);
    ::SetDllDirectoryA(L->appDir.c_str());
}

void loader_set_search(LOADER* L, SEARCH_MODE mode, const std::vector<std::string>& dllDirs) {
    L->mode = mode;
    remove_dll_directories(L);
    for (const std::string& dir : dllDirs) {
        DLL_DIRECTORY_COOKIE cookie = ::AddDllDirectory(wide(normal_path(dir)).c_str());
        if (cookie) L->dllDirs.push_back(cookie);
    }
}

// The host's own DLLs are loaded into this process by the classic search from the host's
// folder; the host itself is then loaded too (an image that is a program is mapped without its
// imports), so that an import of its base name finds it. Its folder stays the DLL folder for
// the classic search; the altered search takes the module's folder in its place, and the safe
// search takes both.
bool loader_start_host(LOADER* L, const char* hostPath, const char* modulePath, std::vector<LOAD_FAILURE>* failed,
                       std::string* reason) {
    free_loaded(L);
    L->hostPath = normal_path(hostPath);
    std::string hostDir = normal_path(dir_part(L->hostPath));
    std::string moduleDir = dir_part(modulePath);
    moduleDir = normal_path(moduleDir.empty() ? "." : moduleDir);
    L->hostDir = folder_key(hostDir);
    L->moduleDir = folder_key(moduleDir);
    ::SetDllDirectoryA(hostDir.c_str());
    FILE_BYTES bytes;
    PE_IMAGE image;
    PE_IMPORT_TABLES imports;
    if (map_file(nullptr, L->hostPath, &bytes) && pe_parse_image(bytes.span(), &image).problem == PE_FINE &&
        pe_read_imports(&image, &imports).problem == PE_FINE) {
        for (const PE_IMPORT_MODULE& imp : imports.modules) {
            std::string dll(imp.dll);
            if (::HMODULE h = ::LoadLibraryA(dll.c_str())) {
                L->hostModules.insert(folder_key(module_path(h)));
                continue;
            }
            LOAD_FAILURE why;
            why.error = ::GetLastError();
            why.chain.push_back(step_of(L->hostPath, dll, std::string(), why.error));
            failed->push_back(std::move(why));
        }
    }
    if (!::LoadLibraryA(L->hostPath.c_str())) {
        *reason = "LoadLibrary returned " + std::to_string(::GetLastError());
        return false;
    }
    L->appDir = L->mode == SEARCH_CLASSIC ? hostDir : moduleDir;
    ::SetDllDirectoryA(L->appDir.c_str());
    if (L->hostDirCookie) ::RemoveDllDirectory(L->hostDirCookie);
    L->hostDirCookie = L->mode == SEARCH_SAFE ? ::AddDllDirectory(wide(hostDir).c_str()) : nullptr;
    return true;
}

// The real loader takes only images of its own bitness; the others fail with 193 there. The
// machine still decides which list of Windows DLLs a loaded DLL is judged by.
void loader_select_process(LOADER* L, uint16_t Machine) { L->Machine = Machine; }

void loader_set_target_windows(LOADER* L, WINDOWS_VERSION version) {
    L->fOn = true;
    L->version = version;
}

void loader_set_ship_from(LOADER* L, const std::vector<std::string>& dirs) { L->shipFrom = dirs; }

// The file the real loader took decides: its folder, and its name in the version's list.
LOADED_FROM loader_loaded_from(LOADER* L, HMODULE hModule) {
    LOADED_FROM from;
    bool fHosted = !L->hostPath.empty();
    std::string path = hModule && (L->fOn || fHosted) ? module_path(static_cast<::HMODULE>(hModule)) : std::string();
    from.fHost = fHosted && !path.empty() && folder_key(path) == folder_key(L->hostPath);
    if (path.empty() || !L->fOn) return from;
    from.fWindows = is_part_of_windows(L->version, L->Machine, base_name(path));
    from.fWineBuiltin = wine_builtin_file(path);
    std::string dir = folder_key(dir_part(path));
    // With a host: the host, what it loaded for itself and its folder are the host's; the
    // module's folder is the plugin's own.
    if (from.fHost || L->hostModules.count(folder_key(path)) || (fHosted && dir == L->hostDir && dir != L->moduleDir))
        from.origin = ORIGIN_HOST;
    else if (fHosted && dir == L->moduleDir)
        from.origin = ORIGIN_APPLICATION;
    else if (dir == folder_key(L->appDir))
        from.origin = ORIGIN_APPLICATION;
    else if (dir == system_folder(false) || dir == system_folder(true))
        from.origin = ORIGIN_SYSTEM;
    else
        from.origin = ORIGIN_ELSEWHERE;
    return from;
}

}  // namespace talvek
