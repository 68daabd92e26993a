// The Windows loader calls of the PE load test: KERNEL32 on Windows, an emulated loader of
// 32-bit x86 images over the files on disk everywhere else.
#pragma once

#include <cstddef>
#include <cstdint>

namespace talvek {

typedef void* HMODULE;   // null: not loaded

// The loader's error codes, as GetLastError gives them.
constexpr uint32_t LOAD_ERR_MOD_NOT_FOUND = 126;
constexpr uint32_t LOAD_ERR_PROC_NOT_FOUND = 127;
constexpr uint32_t LOAD_ERR_BAD_EXE_FORMAT = 193;
constexpr uint32_t LOAD_ERR_INSUFFICIENT_BUFFER = 122;

// Loads a DLL by name with its static imports; it stays loaded for the run.
// Null on failure, with the reason for GetLastError.
HMODULE LoadLibraryA(const char* lpLibFileName);

// The address of an entry of a loaded module: a value of at most 0xFFFF in lpProcName is
// an ordinal, anything else points to the entry's name. 0 on failure (GetLastError 127).
uintptr_t GetProcAddress(HMODULE hModule, const char* lpProcName);

// Copies the loaded module's file path into lpFilename, cut to nSize bytes with its
// terminator. Returns the characters copied, nSize when cut, 0 on failure.
uint32_t GetModuleFileNameA(HMODULE hModule, char* lpFilename, uint32_t nSize);

// The error code of the last loader call that failed.
uint32_t GetLastError();

// Names the module given on the command line, whose directory the DLL search tries first.
void loader_set_application_path(const char* path);

// Unloads everything and forgets the application path, so a test starts afresh.
// The KERNEL32 binding keeps what it loaded.
void loader_reset();

}  // namespace talvek
