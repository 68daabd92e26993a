// The loader calls of the PE load test bound to KERNEL32.
#include <windows.h>

#include <string>

#include "platform/fs.h"
#include "platform/loader.h"

namespace talvek {

HMODULE LoadLibraryA(const char* lpLibFileName) { return reinterpret_cast<HMODULE>(::LoadLibraryA(lpLibFileName)); }

uintptr_t GetProcAddress(HMODULE hModule, const char* lpProcName) {
    return reinterpret_cast<uintptr_t>(::GetProcAddress(static_cast<::HMODULE>(hModule), lpProcName));
}

uint32_t GetModuleFileNameA(HMODULE hModule, char* lpFilename, uint32_t nSize) {
    return ::GetModuleFileNameA(static_cast<::HMODULE>(hModule), lpFilename, nSize);
}

uint32_t GetLastError() { return ::GetLastError(); }

// The real loader searches the tool's own directory first; the checked program's directory
// is added to the search so its DLLs are found as they would be for the program itself.
void loader_set_application_path(const char* path) {
    std::string dir = dir_part(path);
    ::SetDllDirectoryA(normal_path(dir.empty() ? "." : dir).c_str());
}

// The real loader takes only images of its own bitness; the others fail with 193 there.
void loader_select_process(uint16_t /*Machine*/) {}

void loader_reset() { ::SetDllDirectoryA(nullptr); }

}  // namespace talvek
