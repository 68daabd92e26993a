// The emulated Windows loader: one process per machine, each with the DLL search, loading with
// static imports (rolled back whole on failure), exports and forwarders.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/dos_header.h"
#include "common/pe_loader_reading.h"
#include "common/text.h"
#include "platform/apiset.h"
#include "platform/dir_listings.h"
#include "platform/fs.h"
#include "platform/fs_memory.h"
#include "platform/known_dlls.h"
#include "platform/loader.h"
#include "platform/system_dirs.h"
#include "platform/windows_dlls.h"

namespace talvek {

namespace {

constexpr uint32_t MAX_FORWARDER_HOPS = 32;

struct PROCESS;
struct LOADER_STATE;

// A module file as read once: its bytes, headers, sections, exports and import table. While
// files are remembered (a whole run) each file is read once and its image serves every
// process and every module named, as no file changes during a run.
struct EMU_IMAGE {
    FILE_BYTES bytes;
    PE_IMAGE img;
    PE_STATUS status;             // why the file is no image, where it is none
    PE_IMPORT_TABLES imports;
    bool fWineBuiltin = false;    // the file carries Wine's builtin marker: it runs on Wine only
};

struct EMU_MODULE {
    EMU_IMAGE* image = nullptr;
    std::unique_ptr<EMU_IMAGE> owned;   // the image, when it is not kept for the run
    PROCESS* proc = nullptr;
    std::string path;
    std::string key;            // the file name in lower case, for the bare-name look-up
    bool fKnown = false;        // taken for a known DLL's name, from the system folders
    DLL_ORIGIN origin = ORIGIN_UNKNOWN;   // under a target Windows: where its file lies
    bool fWindows = false;                // under a target Windows: part of it
    bool fHost = false;                   // the host: the main module of its process
    // The files of other machines its search passed over in --ship-from folders.
    std::vector<std::string> passedOver;
    std::vector<uint16_t> passedOverMachines;
    // The (lookup table, DLL) pairs already resolved while loading: descriptors that share
    // a table and name the same DLL resolve it once, as the outcome cannot differ.
    std::set<std::pair<size_t, const EMU_MODULE*>> resolved;
};

// What the search found for one file name: a path, or nothing; and the files it passed over
// as images of other machines.
struct SEARCH_RESULT {
    bool fFound;
    std::string path;
    std::vector<std::string> skipped;
};

// One emulated process: the modules of one machine. A DLL loads into a process when its
// Machine and optional-header magic are the process's.
struct PROCESS {
    LOADER* loader = nullptr;
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
    std::unordered_map<std::string, std::string> notImages;   // path -> why it is none
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
    FILE_BYTES schemaFile;
};

// The host's process as its start left it, from which each later module named starts again:
// the process, how many modules it held, whether each was taken for a known DLL, the names its
// known DLLs import, and the host's DLLs that did not load.
struct HOST_MARK {
    bool fSet = false;
    PROCESS* proc = nullptr;
    size_t cModules = 0;
    std::vector<bool> known;
    std::unordered_set<std::string> knownImports;
    std::vector<LOAD_FAILURE> failed;
};

}  // namespace

// A DLL a forwarder loaded while a table was resolved: the module whose forwarder named it, its
// name there, and the image it was.
struct FORWARD_LOAD {
    std::string importer;
    std::string dll;
    const EMU_IMAGE* image;
};

// The loader of one run: a process per machine, the images read, and what it judges by.
struct LOADER {
    FS_MEMORY* mem = nullptr;   // what the run remembers of files; null: nothing is kept
    std::string wineRoot;       // the root under which Wine's DLL folders are looked for
    std::vector<std::unique_ptr<PROCESS>> processes;
    std::unordered_map<std::string, std::unique_ptr<EMU_IMAGE>> images;   // by path, while files are remembered
    // While images are kept: the import tables (image, table) whose every entry resolved in an
    // image, with the DLLs its forwarders loaded on the way. That outcome depends on the images
    // alone, so a later load of the same pair, by another module named or in another process,
    // only loads those DLLs again and, when each is the same image, does not resolve the
    // entries. One that counted an entry only Wine's copy lacks depended on where that copy
    // lies: it is not kept.
    std::map<std::tuple<const EMU_IMAGE*, size_t, const EMU_IMAGE*>, std::vector<FORWARD_LOAD>> cleanTables;
    uint16_t Machine = PE_MACHINE_I386;   // the process of the next LoadLibraryA
    uint32_t lastError = 0;
    std::string appDir;
    bool fTarget = false;   // a target Windows is set
    WINDOWS_VERSION target = WINDOWS_10;
    std::vector<std::string> shipFrom;   // the --ship-from folders, normalised
    EMU_IMAGE noFile;       // the image of every stand-in: no file, so nothing imported
    // How the host calls the loader for the module named, and the host: the folder of the
    // module named (where its load starts), the DLL directories (normalised), the host's path
    // ("" without one), and whether the host's own imports are being loaded, which take the
    // classic search from the host's folder.
    SEARCH_MODE mode = SEARCH_CLASSIC;
    std::vector<std::string> dllDirs;
    std::string loadDir;
    std::string hostPath;
    bool fHostStartup = false;
    HOST_MARK hostMark;
};

namespace {

// Whether facts about files may be kept: while the run remembers files, none changes.
bool remembering(const LOADER* L) { return L->mem && L->mem->fOn; }

// The process of Machine, made on first use.
PROCESS* process_of(LOADER* L, uint16_t Machine) {
    for (auto& proc : L->processes)
        if (proc->Machine == Machine) return proc.get();
    L->processes.push_back(std::make_unique<PROCESS>());
    PROCESS* proc = L->processes.back().get();
    proc->loader = L;
    proc->Machine = Machine;
    proc->sysDir = default_system_folder(Machine, L->wineRoot);
    return proc;
}

// One module on the way of a load: the next import descriptor, and its DLL once found.
struct LOAD_FRAME {
    EMU_MODULE* m;
    size_t iImport;
    EMU_MODULE* dep;
};

std::string join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

bool try_dir(LOADER* L, const std::string& dir, const std::string& name, std::string* path) {
    std::string real;
    if (!find_dir_entry(L->mem, dir, name, &real)) return false;
    *path = normal_path(join(dir, real));
    return true;
}

// Maps the regular file at path: false when it cannot be opened or mapped, is no regular
// file or is shorter than a DOS header.
bool map_image_file(LOADER* L, const std::string& path, FILE_BYTES* fm) {
    return map_file(L->mem, path, fm) && fm->len >= DOS_HDR_SIZE;
}

// A search hit in dir, unless the file found is a PE image of another machine (added to
// *skipped then). The file of a hit stays mapped in *fm for its load; one that cannot be
// mapped is not passed over, and loading it then fails.
bool try_search_dir(const PROCESS* proc, const std::string& dir, const std::string& name, std::string* path,
                    std::vector<std::string>* skipped, FILE_BYTES* fm) {
    if (!try_dir(proc->loader, dir, name, path)) return false;
    if (!map_image_file(proc->loader, *path, fm) || !pe_other_machine(fm->span(), proc->Machine)) return true;
    fm->release();
    skipped->push_back(*path);
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
                  std::vector<std::string>* skipped, FILE_BYTES* fm) {
    for (const std::string& dir : folders_of(list, sep))
        if (try_search_dir(proc, dir, name, path, skipped, fm)) return true;
    return false;
}

// The system folders: WINEPATH's (';'-separated), or when it is not set Wine's folder for the
// machine.
bool search_system(const PROCESS* proc, const std::string& name, std::string* path, std::vector<std::string>* skipped,
                   FILE_BYTES* fm) {
    if (try_dir_list(proc, getenv("WINEPATH"), ';', name, path, skipped, fm)) return true;
    return !proc->sysDir.empty() && try_search_dir(proc, proc->sysDir, name, path, skipped, fm);
}

// Under a target Windows, a DLL that Windows lacks is looked for in the --ship-from folders,
// the files the program brings, so that the check goes through the file that ships.
bool search_ship_from(const PROCESS* proc, const std::string& name, std::string* path,
                      std::vector<std::string>* skipped, FILE_BYTES* fm) {
    const LOADER* L = proc->loader;
    // The host's own start takes nothing of what the module brings.
    if (!L->fTarget || L->shipFrom.empty() || L->fHostStartup || is_part_of_windows(L->target, proc->Machine, name))
        return false;
    for (const std::string& dir : L->shipFrom)
        if (try_search_dir(proc, dir, name, path, skipped, fm)) return true;
    return false;
}

// Whether the search of the module's load is the safe one: the host's own imports take the
// classic search.
bool uses_safe_search(const LOADER* L) { return L->mode == SEARCH_SAFE && !L->fHostStartup; }

// The folder the classic search starts from: the application's, or under the altered search
// the folder of the module named, which takes its place.
const std::string& search_start_folder(const LOADER* L) {
    return L->mode == SEARCH_ALTERED && !L->fHostStartup && !L->loadDir.empty() ? L->loadDir : L->appDir;
}

// The safe search (LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS): the
// folder of the module named, the application's folder, the DLL directories in the order
// given, the system folders; never the current folder or PATH. Windows leaves the order of
// several DLL directories open; the order given is taken. Under a target Windows the
// --ship-from folders, what the module brings, come right after its own folder.
bool safe_search(const PROCESS* proc, const std::string& name, std::string* path, std::vector<std::string>* skipped,
                 FILE_BYTES* fm) {
    const LOADER* L = proc->loader;
    if (!L->loadDir.empty() && try_search_dir(proc, L->loadDir, name, path, skipped, fm)) return true;
    if (search_ship_from(proc, name, path, skipped, fm)) return true;
    if (!L->appDir.empty() && L->appDir != L->loadDir && try_search_dir(proc, L->appDir, name, path, skipped, fm))
        return true;
    for (const std::string& dir : L->dllDirs)
        if (try_search_dir(proc, dir, name, path, skipped, fm)) return true;
    return search_system(proc, name, path, skipped, fm);
}

// Under the safe search: notes in step that the file name the search did not find lies in the
// current folder or on PATH, the places that search leaves out and the classic one takes.
void note_outside_search(const PROCESS* proc, const std::string& name, LOAD_STEP* step) {
    if (!uses_safe_search(proc->loader)) return;
    std::vector<std::string> skipped;
    std::string path;
    FILE_BYTES fm;
    if (try_search_dir(proc, "", name, &path, &skipped, &fm))
        step->outside = OUTSIDE_CURRENT_FOLDER;
    else if (try_dir_list(proc, getenv("PATH"), ':', name, &path, &skipped, &fm))
        step->outside = OUTSIDE_PATH;
    else
        return;
    step->outsideFile = path;
}

// The search of a bare name: the application's directory, the current directory, the
// system folders, PATH (':'-separated); the first hit that is not a PE image of another
// machine wins, as one PATH serves 32-bit and 64-bit programs alike. A known DLL (fKnown) is
// looked for in the system folders only, as Windows takes it from nowhere else. Under a target
// Windows the --ship-from folders come right after the application's directory.
bool search(const PROCESS* proc, const std::string& name, bool fKnown, std::string* path,
            std::vector<std::string>* skipped, FILE_BYTES* fm) {
    skipped->clear();
    if (fKnown) return search_system(proc, name, path, skipped, fm);
    if (uses_safe_search(proc->loader)) return safe_search(proc, name, path, skipped, fm);
    const std::string& appDir = search_start_folder(proc->loader);
    if (!appDir.empty() && try_search_dir(proc, appDir, name, path, skipped, fm)) return true;
    if (search_ship_from(proc, name, path, skipped, fm)) return true;
    if (try_search_dir(proc, "", name, path, skipped, fm)) return true;
    if (search_system(proc, name, path, skipped, fm)) return true;
    return try_dir_list(proc, getenv("PATH"), ':', name, path, skipped, fm);
}

// search, answered from what the process remembers of an earlier search for the same name
// while that is allowed.
bool remembered_search(PROCESS* proc, const std::string& name, bool fKnown, std::string* path,
                       std::vector<std::string>* skipped, FILE_BYTES* fm) {
    if (!remembering(proc->loader)) return search(proc, name, fKnown, path, skipped, fm);
    auto& searched = fKnown ? proc->searchedKnown : proc->searched;
    auto it = searched.find(name);
    if (it == searched.end()) {
        SEARCH_RESULT r{false, {}, {}};
        r.fFound = search(proc, name, fKnown, &r.path, &r.skipped, fm);
        it = searched.emplace(name, std::move(r)).first;
    }
    *path = it->second.path;
    *skipped = it->second.skipped;
    return it->second.fFound;
}

// With a host, under a target Windows: what the host loads for itself (from wherever) and the
// files of its folder are the host's; the folder of the module named is the plugin's own, where
// its application folder would be. ORIGIN_UNKNOWN for the rest, and without a host.
DLL_ORIGIN plugin_origin(const LOADER* L, const std::string& dir) {
    if (L->hostPath.empty()) return ORIGIN_UNKNOWN;
    if (L->fHostStartup) return ORIGIN_HOST;
    if (dir == L->loadDir) return ORIGIN_APPLICATION;
    return dir == L->appDir ? ORIGIN_HOST : ORIGIN_UNKNOWN;
}

// Under a target Windows: where the file at path lies. The application's folder comes first,
// as in the search, then the system folders; a file of the current folder or PATH, or one an
// import names with its folder, lies elsewhere.
DLL_ORIGIN origin_of(const PROCESS* proc, const std::string& path) {
    const LOADER* L = proc->loader;
    if (!L->fTarget) return ORIGIN_UNKNOWN;
    std::string dir = normal_path(dir_part(path));
    DLL_ORIGIN plugin = plugin_origin(L, dir);
    if (plugin != ORIGIN_UNKNOWN) return plugin;
    if (!L->appDir.empty() && dir == L->appDir) return ORIGIN_APPLICATION;
    std::vector<std::string> dirs = folders_of(getenv("WINEPATH"), ';');
    if (!proc->sysDir.empty()) dirs.push_back(proc->sysDir);
    for (const std::string& sys : dirs)
        if (dir == normal_path(sys)) return ORIGIN_SYSTEM;
    return ORIGIN_ELSEWHERE;
}

// Maps the file at path (unless the search left it mapped in *fm) and reads its headers and
// whole import table; the module is then registered as loaded in proc (it counts as loaded
// while its imports are being loaded). Null, with why it is no loadable image, otherwise.
EMU_MODULE* map_module(PROCESS* proc, const std::string& path, FILE_BYTES* fm, std::string* why) {
    LOADER* L = proc->loader;
    auto m = std::make_unique<EMU_MODULE>();
    bool fRemember = remembering(L);
    auto cached = fRemember ? L->images.find(path) : L->images.end();
    if (cached != L->images.end()) {
        m->image = cached->second.get();
    } else {
        if (!fm->p && !map_image_file(L, path, fm)) {
            *why = "it cannot be read as an image";
            return nullptr;
        }
        m->owned = std::make_unique<EMU_IMAGE>();
        EMU_IMAGE* im = m->owned.get();
        im->bytes = std::move(*fm);
        im->status = pe_parse_image(im->bytes.span(), &im->img);
        if (im->status.problem == PE_FINE) im->status = pe_read_imports(&im->img, &im->imports);
        im->fWineBuiltin = has_wine_builtin_marker(im->bytes.span());
        m->image = im;
        if (fRemember) L->images.emplace(path, std::move(m->owned));
    }
    const EMU_IMAGE* im = m->image;
    if (im->status.problem == PE_FINE && !pe_loadable_for(&im->img.hdr, proc->Machine)) {
        *why = "it is no image for this machine";
        return nullptr;
    }
    if (im->status.problem != PE_FINE) {
        *why = pe_status_text(im->status);
        return nullptr;
    }
    m->proc = proc;
    m->path = path;
    m->key = ascii_lower(base_name(path));
    m->origin = origin_of(proc, path);
    m->fWindows = L->fTarget && is_part_of_windows(L->target, proc->Machine, m->key);
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
        if (dir.empty() || !try_dir(proc->loader, dir, "apisetschema.dll", &path)) continue;
        FILE_BYTES fm;
        BYTE_SPAN section{nullptr, 0};
        if (map_image_file(proc->loader, path, &fm) && apiset_find_section(fm.span(), &section) &&
            apiset_read_schema(section, &proc->schema)) {
            proc->fHasSchema = true;
            proc->schemaFile = std::move(fm);
        }
        break;
    }
    return proc->fHasSchema ? &proc->schema : nullptr;
}

// A failure of the single step asked, imported by importer: error, the file found for it
// ("" when none) and what is wrong with that file.
void fail_step(LOAD_FAILURE* why, std::string_view importer, std::string_view asked, std::string file, uint32_t error,
               std::string reason = {}) {
    why->error = error;
    why->chain.assign(1, LOAD_STEP{});
    LOAD_STEP& step = why->chain[0];
    step.importer = std::string(importer);
    step.dll = std::string(asked);
    step.file = std::move(file);
    step.error = error;
    why->passedOver.clear();
    why->reason = std::move(reason);
}

// Takes m as a known DLL of proc: the bare names it imports (an API set by its host for m)
// become known names, so they too come from the system folders only, and so on down as each
// of them is loaded.
void make_known(PROCESS* proc, EMU_MODULE* m) {
    if (m->fKnown) return;
    m->fKnown = true;
    const APISET_SCHEMA* schema = schema_of(proc);
    for (const PE_IMPORT_MODULE& dep : m->image->imports.modules) {
        std::string name(dep.dll), host;
        if (schema && apiset_resolve(*schema, name, m->path, &host) == APISET_HOST) name = host;
        std::string file = dll_file_name(name);
        if (file.find('/') == std::string::npos) proc->knownImports.insert(ascii_lower(file));
    }
}

// Under a target Windows: a module without a file for the DLL file name key of that Windows,
// which the search did not find here; every entry asked of it resolves. Null for a name that
// is not part of it.
EMU_MODULE* stand_in(PROCESS* proc, const std::string& key, bool fKnown) {
    LOADER* L = proc->loader;
    if (!L->fTarget || !is_part_of_windows(L->target, proc->Machine, key)) return nullptr;
    auto m = std::make_unique<EMU_MODULE>();
    m->image = &L->noFile;
    m->proc = proc;
    m->path = key;
    m->key = key;
    m->fKnown = fKnown;
    m->origin = ORIGIN_ABSENT;
    m->fWindows = true;
    proc->byName.emplace(key, m.get());
    proc->modules.push_back(std::move(m));
    return proc->modules.back().get();
}

// Under a target Windows a name is a known DLL only where it is part of that Windows: one it
// lacks is searched for as any other, whatever the DLLs found here import.
bool known_by_target(const PROCESS* proc, const std::string& key) {
    const LOADER* L = proc->loader;
    return !L->fTarget || is_part_of_windows(L->target, proc->Machine, key);
}

// The Machine of each file at paths, as its file header holds it (0 when it cannot be read).
std::vector<uint16_t> machines_of(LOADER* L, const std::vector<std::string>& paths) {
    std::vector<uint16_t> machines;
    for (const std::string& path : paths) {
        FILE_BYTES fm;
        uint16_t machine = 0;
        if (map_image_file(L, path, &fm)) pe_other_machine(fm.span(), 0, &machine);
        machines.push_back(machine);
    }
    return machines;
}

// Notes on m the files of skipped that lie in --ship-from folders: files the user named as
// ones to ship, passed over as images of other machines.
void note_ship_from_passed_over(EMU_MODULE* m, const std::vector<std::string>& skipped) {
    LOADER* L = m->proc->loader;
    for (const std::string& file : skipped) {
        std::string dir = normal_path(dir_part(file));
        bool fInShipFrom = std::find(L->shipFrom.begin(), L->shipFrom.end(), dir) != L->shipFrom.end();
        if (fInShipFrom && std::find(m->passedOver.begin(), m->passedOver.end(), file) == m->passedOver.end())
            m->passedOver.push_back(file);
    }
    m->passedOverMachines = machines_of(L, m->passedOver);
}

// The module the file name stands for in proc, for the name asked as imported: find_or_map past
// the API-set schema.
EMU_MODULE* find_file(PROCESS* proc, const std::string& name, const std::string& asked, std::string_view importer,
                      bool* fNew, LOAD_FAILURE* why) {
    std::string file = dll_file_name(name);
    size_t slash = file.rfind('/');
    std::string path;
    FILE_BYTES fm;
    bool fKnown = false;
    std::vector<std::string> shipSkipped;
    if (slash == std::string::npos) {
        std::string key = ascii_lower(file);
        fKnown = (is_known_dll(key) || proc->knownImports.count(key) != 0) && known_by_target(proc, key);
        // A module of a known DLL's name that was not taken as one (loaded from elsewhere
        // before its name became known) does not stand for it.
        auto it = proc->byName.find(key);
        if (it != proc->byName.end() && (!fKnown || it->second->fKnown)) return it->second;
        // The search starts in the application folder, which a path longer than the system
        // opens cannot be searched.
        const std::string& appDir = proc->loader->appDir;
        if (!fKnown && appDir.size() > system_path_limit()) {
            fail_step(why, importer, asked, {}, LOAD_ERR_FILENAME_EXCED_RANGE, path_too_long(appDir));
            return nullptr;
        }
        std::vector<std::string> skipped;
        if (!remembered_search(proc, file, fKnown, &path, &skipped, &fm)) {
            if (EMU_MODULE* m = stand_in(proc, key, fKnown)) {
                *fNew = true;
                return m;
            }
            bool fSkipped = !skipped.empty();
            fail_step(why, importer, asked, {}, fSkipped ? LOAD_ERR_BAD_EXE_FORMAT : LOAD_ERR_MOD_NOT_FOUND,
                      fSkipped ? "only images for other machines were found" : "");
            why->passedOverMachines = machines_of(proc->loader, skipped);
            why->passedOver = std::move(skipped);
            why->fNoSystemFolder = proc->sysDir.empty() && !getenv("WINEPATH");
            if (!fKnown) note_outside_search(proc, file, &why->chain[0]);
            return nullptr;
        }
        if (!proc->loader->shipFrom.empty() && !skipped.empty()) shipSkipped = std::move(skipped);
    } else if (!try_dir(proc->loader, slash == 0 ? "/" : file.substr(0, slash), file.substr(slash + 1), &path)) {
        fail_step(why, importer, asked, {}, LOAD_ERR_MOD_NOT_FOUND);
        return nullptr;
    }
    // A file whose path is longer than the system opens is named whole, never cut.
    if (path.size() > system_path_limit()) {
        fail_step(why, importer, asked, path, LOAD_ERR_FILENAME_EXCED_RANGE, path_too_long(path));
        return nullptr;
    }
    auto it = proc->byPath.find(path);
    if (it != proc->byPath.end()) {
        if (fKnown) make_known(proc, it->second);
        return it->second;
    }
    bool fRemember = remembering(proc->loader);
    auto known = fRemember ? proc->notImages.find(path) : proc->notImages.end();
    if (known != proc->notImages.end()) {
        fail_step(why, importer, asked, path, LOAD_ERR_BAD_EXE_FORMAT, known->second);
        return nullptr;
    }
    std::string reason;
    EMU_MODULE* m = map_module(proc, path, &fm, &reason);
    if (!m) {
        if (fRemember) proc->notImages.emplace(path, reason);
        fail_step(why, importer, asked, path, LOAD_ERR_BAD_EXE_FORMAT, std::move(reason));
    }
    if (m && fKnown) make_known(proc, m);
    if (m && !shipSkipped.empty()) note_ship_from_passed_over(m, shipSkipped);
    *fNew = m != nullptr;
    return m;
}

// Under a target Windows, how an API-set name is judged: not at all (no target, or no API-set
// name), as part of that Windows, or as one it lacks.
enum TARGET_API_SET { API_SET_UNJUDGED, API_SET_OF_TARGET, API_SET_NOT_OF_TARGET };

TARGET_API_SET target_api_set(const PROCESS* proc, const std::string& name) {
    const LOADER* L = proc->loader;
    if (!L->fTarget || !is_api_set_name(name)) return API_SET_UNJUDGED;
    return is_part_of_windows(L->target, proc->Machine, name) ? API_SET_OF_TARGET : API_SET_NOT_OF_TARGET;
}

// The module a name stands for in proc, asked for by the module whose path is importer ("":
// the load test): one already loaded, or a file found and mapped now (*fNew). An API-set name
// stands for its host, loaded by the ordinary rules. Null with 126 when no file is found or
// the API set has no host, 193 when it is no loadable image or the search found only images
// of other machines, 206 when the file's path, or the application folder's, is longer than
// the system opens; *why then holds that one step, the files passed over and the reason.
// Under a target Windows a bare name of it that the search does not find gets a stand-in, and
// API sets are judged by that version: one of it that the schema here does not resolve
// stands in, never 126; one it lacks is searched as a file first, as that Windows searches a
// name its schema does not hold, and only then resolved here, so that the check goes on.
EMU_MODULE* find_or_map(PROCESS* proc, const std::string& asked, std::string_view importer, bool* fNew,
                        LOAD_FAILURE* why) {
    *fNew = false;
    std::string host;
    APISET_RESULT apiset = APISET_NOT_API_SET;
    if (const APISET_SCHEMA* schema = schema_of(proc)) apiset = apiset_resolve(*schema, asked, importer, &host);
    TARGET_API_SET judged = target_api_set(proc, asked);
    if (judged == API_SET_OF_TARGET && apiset != APISET_HOST) {
        std::string key = ascii_lower(dll_file_name(asked));
        auto it = proc->byName.find(key);
        if (it != proc->byName.end()) return it->second;
        *fNew = true;
        return stand_in(proc, key, false);
    }
    if (judged == API_SET_NOT_OF_TARGET) {
        EMU_MODULE* m = find_file(proc, asked, asked, importer, fNew, why);
        if (m || apiset != APISET_HOST) return m;
    }
    if (apiset == APISET_NO_HOST) {
        fail_step(why, importer, asked, {}, LOAD_ERR_MOD_NOT_FOUND, "an API set without a host");
        return nullptr;
    }
    return find_file(proc, apiset == APISET_HOST ? host : asked, asked, importer, fNew, why);
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

EMU_MODULE* load_module(PROCESS* proc, const std::string& name, std::string_view importer, LOAD_FAILURE* why);

// The value handed out for an export: the module record's address plus the RVA, kept
// clear of 0 and of the call-gate value.
uintptr_t address_of(const EMU_MODULE* m, uint32_t rva) {
    uintptr_t v = reinterpret_cast<uintptr_t>(m) + rva;
    return v == 0 || v == LOAD_CALL_GATE ? reinterpret_cast<uintptr_t>(m) : v;
}

// "#N" as an ordinal of at most 0xFFFF.
bool parse_ordinal(std::string_view s, uint32_t* ordinal) {
    if (s.size() < 2 || s[0] != '#') return false;
    uint32_t n = 0;
    for (char c : s.substr(1)) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + uint32_t(c - '0');
        if (n > PE_MAX_ORDINAL) return false;
    }
    *ordinal = n;
    return true;
}

// The step of an entry ref that did not resolve in the module file found for dll, which
// importer imports.
LOAD_STEP entry_step(std::string_view importer, std::string_view dll, const std::string& file, const PE_IMPORT_REF& ref) {
    LOAD_STEP step;
    step.importer = std::string(importer);
    step.dll = std::string(dll);
    step.file = file;
    step.fEntry = true;
    step.fOrdinal = ref.by_ordinal;
    step.ordinal = ref.ordinal;
    if (!ref.by_ordinal) step.entry = std::string(ref.name);
    step.error = LOAD_ERR_PROC_NOT_FOUND;
    return step;
}

// Under a target Windows: whether m is Wine's copy of a DLL of that Windows, whose exports
// need not be the ones of Windows' own copy.
bool wine_copy_of_windows(const EMU_MODULE* m) {
    return m->proc->loader->fTarget && m->fWindows && m->image->fWineBuiltin && m->origin != ORIGIN_APPLICATION;
}

// Resolves an entry in m, following forwarders ("DLL.Name" or "DLL.#N", split at the last
// '.') through at most MAX_FORWARDER_HOPS modules, which also ends a forwarder loop. When it
// does not resolve and fwd is given, fwd->chain holds the steps past m that failed: a
// forwarder's DLL that did not load, with its own steps, or the entry a forwarder's DLL lacks.
// An entry that only Wine's copy of a DLL of the target Windows lacks sets fwd->fUnverified,
// and while loading (fLoading) counts as resolved, as Windows' own copy may have it. *pFinal,
// when given, receives the module the entry resolved in; *loads, when given, each DLL a
// forwarder loaded that it does not hold yet.
bool resolve(EMU_MODULE* m, PE_IMPORT_REF ref, uintptr_t* value, LOAD_FAILURE* fwd, bool fLoading,
             EMU_MODULE** pFinal = nullptr, std::vector<FORWARD_LOAD>* loads = nullptr) {
    std::string viaImporter, viaDll;   // after a forwarder: the module that named m, and m as named
    for (uint32_t hops = 0;; hops++) {
        if (pFinal) *pFinal = m;
        if (m->origin == ORIGIN_ABSENT) {
            *value = address_of(m, 1);
            return true;
        }
        uint32_t idx = 0, rva = 0;
        PE_IMAGE* img = &m->image->img;
        if (!pe_export_index(img, ref, &idx) || !pe_export_rva(img, idx, &rva)) {
            if (hops > 0 && fwd) fwd->chain.push_back(entry_step(viaImporter, viaDll, m->path, ref));
            if (!wine_copy_of_windows(m)) return false;
            if (fwd) fwd->fUnverified = true;
            if (fLoading) *value = address_of(m, 1);
            return fLoading;
        }
        if (!pe_is_forwarder(img, rva)) {
            *value = address_of(m, rva);
            return true;
        }
        std::string_view text;
        if (hops == MAX_FORWARDER_HOPS || !pe_name_at(&img->view, rva, UINT64_MAX, &text)) return false;
        size_t dot = text.rfind('.');
        if (dot == std::string_view::npos || dot == 0 || dot + 1 == text.size()) return false;
        std::string_view entry = text.substr(dot + 1);
        PE_IMPORT_REF next{false, 0, entry};
        if (entry[0] == '#') {
            next.by_ordinal = true;
            if (!parse_ordinal(entry, &next.ordinal)) return false;
        }
        std::string dll(text.substr(0, dot));
        LOAD_FAILURE sub;
        EMU_MODULE* target = load_module(m->proc, dll, m->path, &sub);
        if (!target) {
            if (fwd) *fwd = std::move(sub);
            return false;
        }
        if (loads && std::none_of(loads->begin(), loads->end(), [&](const FORWARD_LOAD& f) { return f.importer == m->path && f.dll == dll; }))
            loads->push_back(FORWARD_LOAD{m->path, dll, target->image});
        viaImporter = m->path;
        viaDll = std::move(dll);
        m = target;
        ref = next;
    }
}

// The failure of an entry that did not resolve: steps, down to the entry's own, then what
// resolve found past it in fwd (a forwarder's DLL that did not load, or the entry it lacks).
void entry_failure(std::vector<LOAD_STEP> steps, LOAD_FAILURE fwd, LOAD_FAILURE* why) {
    *why = LOAD_FAILURE{};
    why->error = LOAD_ERR_PROC_NOT_FOUND;
    why->chain = std::move(steps);
    why->chain.insert(why->chain.end(), fwd.chain.begin(), fwd.chain.end());
    why->passedOver = std::move(fwd.passedOver);
    why->passedOverMachines = std::move(fwd.passedOverMachines);
    why->reason = std::move(fwd.reason);
    why->fNoSystemFolder = fwd.fNoSystemFolder;
    why->fUnverified = fwd.fUnverified;
}

// The steps from what load_module was asked for (name, imported by importer) down to the
// module of the top frame of stack: each module on the way and the import that led on.
std::vector<LOAD_STEP> steps_to(const std::vector<LOAD_FRAME>& stack, std::string_view importer, const std::string& name,
                                uint32_t error) {
    std::vector<LOAD_STEP> steps(stack.size());
    for (size_t j = 0; j < stack.size(); j++) {
        LOAD_STEP& step = steps[j];
        step.importer = j == 0 ? std::string(importer) : stack[j - 1].m->path;
        step.dll = j == 0 ? name : std::string(stack[j - 1].m->image->imports.modules[stack[j - 1].iImport].dll);
        step.file = stack[j].m->path;
        step.error = error;
    }
    return steps;
}

// Loads again the DLLs the forwarders of a kept table loaded, in their order; false as soon as
// one does not load or is another image, and the table is then resolved again.
bool load_again(PROCESS* proc, const std::vector<FORWARD_LOAD>& loads) {
    for (const FORWARD_LOAD& f : loads) {
        LOAD_FAILURE sub;
        EMU_MODULE* target = load_module(proc, f.dll, f.importer, &sub);
        if (!target || target->image != f.image) return false;
    }
    return true;
}

// Loads name, asked for by importer, with everything it imports, without recursion: the
// modules on the way are frames of an explicit stack. The first failure rolls back every
// module this call mapped; *why then holds the steps from name down to the import that
// failed.
EMU_MODULE* load_module(PROCESS* proc, const std::string& name, std::string_view importer, LOAD_FAILURE* why) {
    size_t first = proc->modules.size();
    bool fNew = false;
    EMU_MODULE* top = find_or_map(proc, name, importer, &fNew, why);
    if (!top || !fNew) return top;
    std::vector<LOAD_FRAME> stack{LOAD_FRAME{top, 0, nullptr}};
    while (!stack.empty()) {
        EMU_MODULE* m = stack.back().m;
        size_t i = stack.back().iImport;
        const PE_IMPORT_TABLES& imports = m->image->imports;
        if (i == imports.modules.size()) {
            m->resolved.clear();
            stack.pop_back();
            continue;
        }
        const PE_IMPORT_MODULE& imp = imports.modules[i];
        EMU_MODULE* dep = stack.back().dep;
        if (!dep) {
            LOAD_FAILURE leaf;
            dep = find_or_map(proc, std::string(imp.dll), m->path, &fNew, &leaf);
            if (!dep) {
                *why = std::move(leaf);
                std::vector<LOAD_STEP> steps = steps_to(stack, importer, name, why->error);
                why->chain.insert(why->chain.begin(), steps.begin(), steps.end());
                rollback(proc, first);
                return nullptr;
            }
            stack.back().dep = dep;
            if (fNew) {
                stack.push_back(LOAD_FRAME{dep, 0, nullptr});
                continue;
            }
        }
        auto pair = std::make_tuple(static_cast<const EMU_IMAGE*>(m->image), imp.table, static_cast<const EMU_IMAGE*>(dep->image));
        auto& cleanTables = proc->loader->cleanTables;
        auto kept = remembering(proc->loader) ? cleanTables.find(pair) : cleanTables.end();
        bool fClean = kept != cleanTables.end() && load_again(proc, kept->second);
        if (!fClean && m->resolved.insert({imp.table, dep}).second) {
            bool fUnverified = false;
            std::vector<FORWARD_LOAD> loads;
            for (const PE_IMPORT_REF& ref : imports.tables[imp.table]) {
                uintptr_t v = 0;
                LOAD_FAILURE fwd;
                // An ordinal above 0xFFFF cannot be asked for and does not resolve.
                if ((ref.by_ordinal && ref.ordinal > PE_MAX_ORDINAL) || !resolve(dep, ref, &v, &fwd, true, nullptr, &loads)) {
                    std::vector<LOAD_STEP> steps = steps_to(stack, importer, name, LOAD_ERR_PROC_NOT_FOUND);
                    steps.push_back(entry_step(m->path, imp.dll, dep->path, ref));
                    entry_failure(std::move(steps), std::move(fwd), why);
                    rollback(proc, first);
                    return nullptr;
                }
                // An entry only Wine's copy lacks resolved by where its module lies, not by
                // the images alone.
                if (fwd.fUnverified) fUnverified = true;
            }
            if (!fUnverified && remembering(proc->loader)) cleanTables.insert_or_assign(pair, std::move(loads));
        }
        stack.back().iImport++;
        stack.back().dep = nullptr;
    }
    return top;
}

// Unloads every module of every process and, unless fKeepSearches (a module named from the
// same folder), forgets their searches: the next module named starts in processes of its own.
// What the run read of the files (their images, the folder listings, the schema) serves it
// all the same.
void start_afresh(LOADER* L, bool fKeepSearches) {
    for (auto& proc : L->processes) {
        rollback(proc.get(), 0);
        proc->knownImports.clear();
        if (fKeepSearches) continue;
        proc->searched.clear();
        proc->searchedKnown.clear();
    }
    L->hostMark.fSet = false;
}

// Starts the next module named from the host's process as its start left it, as if it had
// been started afresh: the modules loaded since are unloaded, every other process emptied, and
// what the modules' loads changed is put back. What the searches of known DLLs found, which
// look in the system folders only, still holds.
void return_to_host_start(LOADER* L) {
    HOST_MARK& mark = L->hostMark;
    for (auto& proc : L->processes) {
        if (proc.get() == mark.proc) continue;
        rollback(proc.get(), 0);
        proc->searched.clear();
        proc->searchedKnown.clear();
        proc->knownImports.clear();
    }
    rollback(mark.proc, mark.cModules);
    for (size_t i = 0; i < mark.cModules; i++) mark.proc->modules[i]->fKnown = mark.known[i];
    mark.proc->knownImports = mark.knownImports;
    mark.proc->searched.clear();
}

}  // namespace

void LOADER_DELETER::operator()(LOADER* L) const { delete L; }

LOADER_PTR make_loader(FS_MEMORY* mem, const std::string& wineRoot) {
    LOADER_PTR L(new LOADER);
    L->mem = mem;
    L->wineRoot = wineRoot;
    return L;
}

HMODULE loader_load(LOADER* L, const char* name, LOAD_FAILURE* why) {
    LOAD_FAILURE none;
    if (!why) why = &none;
    if (!name) {
        fail_step(why, "", "", {}, LOAD_ERR_MOD_NOT_FOUND);
        L->lastError = why->error;
        return nullptr;
    }
    EMU_MODULE* m = load_module(process_of(L, L->Machine), name, "", why);
    if (!m) {
        L->lastError = why->error;
        why->machine = L->Machine;
    }
    return m;
}

uintptr_t loader_resolve(LOADER* L, HMODULE hModule, const char* lpProcName, LOAD_FAILURE* why, HMODULE* pFinal) {
    LOAD_FAILURE none;
    if (!why) why = &none;
    if (!hModule) {
        fail_step(why, "", "", {}, LOAD_ERR_MOD_NOT_FOUND);
        L->lastError = why->error;
        return 0;
    }
    EMU_MODULE* m = static_cast<EMU_MODULE*>(hModule);
    uintptr_t x = reinterpret_cast<uintptr_t>(lpProcName);
    PE_IMPORT_REF ref = x <= PE_MAX_ORDINAL ? PE_IMPORT_REF{true, uint32_t(x), {}} : PE_IMPORT_REF{false, 0, lpProcName};
    uintptr_t v = 0;
    LOAD_FAILURE fwd;
    EMU_MODULE* pResolvedIn = nullptr;
    if (!resolve(m, ref, &v, &fwd, false, &pResolvedIn)) {
        entry_failure({entry_step("", "", m->path, ref)}, std::move(fwd), why);
        why->machine = m->proc->Machine;
        L->lastError = why->error;
        return 0;
    }
    if (pFinal) *pFinal = pResolvedIn;
    return v;
}

HMODULE LoadLibraryA(LOADER* L, const char* lpLibFileName) { return loader_load(L, lpLibFileName, nullptr); }

uintptr_t GetProcAddress(LOADER* L, HMODULE hModule, const char* lpProcName) {
    return loader_resolve(L, hModule, lpProcName, nullptr);
}

uint32_t GetModuleFileNameA(LOADER* L, HMODULE hModule, char* lpFilename, uint32_t nSize) {
    if (!hModule) {
        L->lastError = LOAD_ERR_MOD_NOT_FOUND;
        return 0;
    }
    if (nSize == 0) {
        L->lastError = LOAD_ERR_INSUFFICIENT_BUFFER;
        return 0;
    }
    const std::string& path = static_cast<EMU_MODULE*>(hModule)->path;
    // As Windows does: a path that does not fit is cut to nSize - 1 characters, terminated,
    // and the result is nSize.
    size_t n = std::min<size_t>(path.size(), nSize - 1);
    memcpy(lpFilename, path.data(), n);
    lpFilename[n] = '\0';
    if (n < path.size()) {
        L->lastError = LOAD_ERR_INSUFFICIENT_BUFFER;
        return nSize;
    }
    return uint32_t(n);
}

std::string loader_module_path(LOADER* /*L*/, HMODULE hModule) {
    return hModule ? static_cast<EMU_MODULE*>(hModule)->path : std::string();
}

uint32_t GetLastError(LOADER* L) { return L->lastError; }

void loader_set_application_path(LOADER* L, const char* path) {
    std::string dir = dir_part(path);
    std::string appDir = normal_path(dir.empty() ? "." : dir);
    L->loadDir = appDir;
    bool fMoved = appDir != L->appDir;
    L->appDir = std::move(appDir);
    // Each program starts with nothing loaded, as in processes of its own; the searches made
    // from the same folder still hold.
    start_afresh(L, !fMoved);
}

void loader_set_search(LOADER* L, SEARCH_MODE mode, const std::vector<std::string>& dllDirs) {
    L->mode = mode;
    L->dllDirs.clear();
    for (const std::string& dir : dllDirs) L->dllDirs.push_back(normal_path(dir));
    start_afresh(L, false);
}

bool loader_start_host(LOADER* L, const char* hostPath, const char* modulePath, std::vector<LOAD_FAILURE>* failed,
                       std::string* reason) {
    std::string moduleDir = dir_part(modulePath);
    L->loadDir = normal_path(moduleDir.empty() ? "." : moduleDir);
    PROCESS* proc = process_of(L, L->Machine);
    // The same host in the same process starts the same way: its start is made once, and each
    // later module named starts from what it left.
    HOST_MARK& mark = L->hostMark;
    if (mark.fSet && mark.proc == proc && L->hostPath == normal_path(hostPath) && remembering(L)) {
        return_to_host_start(L);
        *failed = mark.failed;
        return true;
    }
    L->hostPath = normal_path(hostPath);
    L->appDir = normal_path(dir_part(L->hostPath));
    start_afresh(L, false);
    L->fHostStartup = true;
    FILE_BYTES fm;
    EMU_MODULE* host = map_module(proc, L->hostPath, &fm, reason);
    if (host) {
        host->fHost = true;
        for (const PE_IMPORT_MODULE& imp : host->image->imports.modules) {
            LOAD_FAILURE why;
            if (!load_module(proc, std::string(imp.dll), host->path, &why)) failed->push_back(std::move(why));
        }
    }
    L->fHostStartup = false;
    // The module's own search differs from the host's: nothing the host's searches found stands
    // for it.
    proc->searched.clear();
    if (!host) return false;
    mark = HOST_MARK{true, proc, proc->modules.size(), {}, proc->knownImports, *failed};
    for (const auto& m : proc->modules) mark.known.push_back(m->fKnown);
    return true;
}

void loader_select_process(LOADER* L, uint16_t Machine) { L->Machine = Machine; }

void loader_set_target_windows(LOADER* L, WINDOWS_VERSION version) {
    L->fTarget = true;
    L->target = version;
}

void loader_set_ship_from(LOADER* L, const std::vector<std::string>& dirs) {
    L->shipFrom.clear();
    for (const std::string& dir : dirs) L->shipFrom.push_back(normal_path(dir));
}

LOADED_FROM loader_loaded_from(LOADER* /*L*/, HMODULE hModule) {
    const EMU_MODULE* m = static_cast<const EMU_MODULE*>(hModule);
    LOADED_FROM from;
    if (!m) return from;
    from.origin = m->origin;
    from.fWindows = m->fWindows;
    from.fWineBuiltin = m->image->fWineBuiltin;
    from.fHost = m->fHost;
    from.passedOver = m->passedOver;
    from.passedOverMachines = m->passedOverMachines;
    return from;
}

}  // namespace talvek
