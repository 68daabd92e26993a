// The Windows loader calls of the PE load test: KERNEL32 on Windows, an emulated loader of
// PE images over the files on disk, one process per machine, everywhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/options.h"
#include "common/report.h"
#include "platform/windows_dlls.h"

namespace talvek {

typedef void* HMODULE;   // null: not loaded

// The loader's error codes, as GetLastError gives them.
constexpr uint32_t LOAD_ERR_MOD_NOT_FOUND = 126;
constexpr uint32_t LOAD_ERR_PROC_NOT_FOUND = 127;
constexpr uint32_t LOAD_ERR_BAD_EXE_FORMAT = 193;
constexpr uint32_t LOAD_ERR_INSUFFICIENT_BUFFER = 122;
constexpr uint32_t LOAD_ERR_FILENAME_EXCED_RANGE = 206;   // a path longer than the system allows

// The address a caller reads as a call gate; the emulated loader never hands it out.
constexpr uintptr_t LOAD_CALL_GATE = 0xFE37;

struct FS_MEMORY;   // platform/fs_memory.h

// The loader of one run: the emulated processes with their loaded modules and what the run
// read of the files, or for KERNEL32 what it judges the real loader's modules by.
struct LOADER;
struct LOADER_DELETER {
    void operator()(LOADER* L) const;
};
typedef std::unique_ptr<LOADER, LOADER_DELETER> LOADER_PTR;

// A loader with nothing loaded. mem is what the run remembers of files (it outlives the
// loader; null keeps nothing); wineRoot the root under which Wine's DLL folders are looked
// for ("" is the real root).
LOADER_PTR make_loader(FS_MEMORY* mem, const std::string& wineRoot);

// Loads a DLL by name with its static imports into the selected process; it stays loaded for
// the run. Null on failure, with the error code for GetLastError and, when why is given, the
// cause: the steps from name down to the import that failed.
HMODULE loader_load(LOADER* L, const char* name, LOAD_FAILURE* why);

// The address of an entry of a loaded module: a value of at most 0xFFFF in lpProcName is
// an ordinal, anything else points to the entry's name. 0 on failure (GetLastError 127), with
// the cause in *why when given: the entry, and past it what a forwarder of it lacks; under a
// target Windows why->fUnverified marks an entry that only Wine's copy of a DLL of that Windows
// lacks. *pFinal, when given, receives the module the entry resolved in, which a forwarder
// makes another than hModule.
uintptr_t loader_resolve(LOADER* L, HMODULE hModule, const char* lpProcName, LOAD_FAILURE* why,
                         HMODULE* pFinal = nullptr);

// loader_load and loader_resolve without the cause.
HMODULE LoadLibraryA(LOADER* L, const char* lpLibFileName);
uintptr_t GetProcAddress(LOADER* L, HMODULE hModule, const char* lpProcName);

// Copies the loaded module's file path into lpFilename, cut to nSize bytes with its
// terminator. Returns the characters copied, nSize when cut, 0 on failure.
uint32_t GetModuleFileNameA(LOADER* L, HMODULE hModule, char* lpFilename, uint32_t nSize);

// The whole path of a loaded module's file, however long; "" for no module. The report takes
// this rather than GetModuleFileNameA, whose buffer would cut a long path.
std::string loader_module_path(LOADER* L, HMODULE hModule);

// The error code of the last loader call that failed.
uint32_t GetLastError(LOADER* L);

// Names the module given on the command line, whose directory the DLL search tries first, and
// unloads every DLL loaded before: each module named starts with nothing loaded.
void loader_set_application_path(LOADER* L, const char* path);

// How the program that loads the modules named calls the loader, from the next module named on:
// SEARCH_ALTERED searches the module's folder in place of the application folder; SEARCH_SAFE
// the module's folder, the application folder, dllDirs in order and the system folders, never
// the current folder or PATH, for the module's whole load. A DLL that SEARCH_SAFE does not find
// although the current folder or PATH holds it has that in its failure (outside). The KERNEL32
// binding passes the mode to LoadLibraryExW and adds dllDirs with AddDllDirectory.
void loader_set_search(LOADER* L, SEARCH_MODE mode, const std::vector<std::string>& dllDirs);

// With --host: starts the process of the selected machine afresh for the module named at
// modulePath, as a process of the program at hostPath. Every module loaded before is unloaded;
// the host's folder becomes the application folder, the module's the folder its load starts
// from; the host is loaded as the process's main module (an import of its base name, in any
// letter case, is the host itself), then each DLL it imports, each on its own, by the classic
// search. False, with *reason, when the host is no image this process can map; a DLL of the
// host that does not load has its failure added to *failed, and the start goes on without it.
// The KERNEL32 binding loads the host's DLLs into its own process and adds the host's folder
// as a DLL directory, as it cannot make another program's folder the application folder.
bool loader_start_host(LOADER* L, const char* hostPath, const char* modulePath, std::vector<LOAD_FAILURE>* failed,
                       std::string* reason);

// Selects the emulated process that the next LoadLibraryA loads into: the one of this PE
// Machine, whose images are those of that Machine with its optional-header magic (PE32+ for
// x64, ARM64 and Itanium, PE32 otherwise). Each process has its own loaded modules. The
// KERNEL32 binding ignores it: the real loader serves its own bitness. x86 until selected.
void loader_select_process(LOADER* L, uint16_t Machine);

// Judges each DLL loaded from now on against version, for its process's machine: where its file
// lies and whether it is part of that Windows (loader_loaded_from). A DLL of that Windows that
// the search does not find, or finds only as images of other machines, loads as a stand-in
// without a file, whose every entry resolves, as the clean Windows would provide it. The
// KERNEL32 binding judges the files the real loader took and has no stand-ins.
void loader_set_target_windows(LOADER* L, WINDOWS_VERSION version);

// Under a target Windows, the folders of --ship-from: the files a program brings. A DLL that
// Windows lacks is looked for there right after the application's folder, with the machine of
// the process, so that what is checked is the file that ships.
void loader_set_ship_from(LOADER* L, const std::vector<std::string>& dirs);

// What the loader knows of a loaded module under a target Windows: where its file came from
// (ORIGIN_ABSENT for a stand-in), whether it is part of that Windows, whether its file carries
// Wine's builtin marker, and the files of other machines the search passed over in --ship-from
// folders before it found it. ORIGIN_UNKNOWN without a target. fHost, with or without a target:
// the module is the host, the process's main module.
struct LOADED_FROM {
    DLL_ORIGIN origin = ORIGIN_UNKNOWN;
    bool fWindows = false;
    bool fWineBuiltin = false;
    bool fHost = false;
    std::vector<std::string> passedOver;
    std::vector<uint16_t> passedOverMachines;
};
LOADED_FROM loader_loaded_from(LOADER* L, HMODULE hModule);

}  // namespace talvek
