// Which DLLs a vanilla installation of each Windows version holds in its system folder, from
// the lists under data/windows-dlls compiled into the program, and the names of the Visual
// C++ runtime DLLs that programs bring themselves.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace talvek {

// The DLL lists as the build lays them out: every distinct name once, lower case, in
// ascending byte order; name i is pText[pStarts[i], pStarts[i + 1]), and bit k of
// pLists[i] says that list k holds it. List k is named by its path in the data folder,
// ppListNames[k] ("10/System32.txt").
struct WINDOWS_DLL_TABLE {
    const char* const* ppListNames;
    uint32_t cLists;
    const char* pText;
    const uint32_t* pStarts;   // cNames + 1 offsets
    const uint16_t* pLists;
    uint32_t cNames;
};

// The table of the lists in data/windows-dlls.
extern const WINDOWS_DLL_TABLE WindowsDllTable;

// The index of the list named list_name in table, or -1.
int32_t windows_dll_list_index(const WINDOWS_DLL_TABLE& table, std::string_view list_name);

// The mask of the lists in table that hold the DLL file name, compared ignoring ASCII case;
// a name without a '.' is completed with ".dll" and a trailing '.' is dropped, as the loader
// does. 0 when no list holds it. O(log n) in the number of names.
uint32_t windows_dll_lists_of(const WINDOWS_DLL_TABLE& table, std::string_view name);

enum WINDOWS_VERSION { WINDOWS_7_SP1, WINDOWS_8, WINDOWS_8_1, WINDOWS_10, WINDOWS_11 };

// Reads a version as the user writes it: "7", "8", "8.1", "10" or "11". false for any other
// text.
bool parse_windows_version(std::string_view text, WINDOWS_VERSION* version);

// "Windows 10 (x64)", "Windows 10 (x86 on x64)", "Windows 11 (ARM64)" for a version and the
// Machine of a PE module (0x8664, 0x014C, 0xAA64); another machine is shown by its number.
std::string windows_display_name(WINDOWS_VERSION version, uint16_t machine);

// Whether there is a list of the system DLLs that modules of machine find on version: x64
// modules use System32 of the x64 installation, x86 modules its SysWOW64, ARM64 modules
// System32 of the ARM64 installation (10 and 11 only). Other machines have none.
bool windows_has_dll_list(WINDOWS_VERSION version, uint16_t machine);

// Whether the DLL file name (as imported, any case, ".dll" optional) is part of version
// for modules of machine. false when there is no list for the pair.
bool is_windows_dll(WINDOWS_VERSION version, uint16_t machine, std::string_view name);

// Whether name (as imported) is an API-set name: it starts with "api-" or "ext-", ignoring case.
bool is_api_set_name(std::string_view name);

// Whether the DLL or API-set name (as imported, any case, ".dll" optional) is part of version
// for modules of machine. A DLL is when the version's list holds it. An API set is on 10 and
// 11 always, as their schemas resolve every contract a program built for them imports; on 7,
// 8 and 8.1 when the version's list holds it. false when there is no list for the pair.
bool is_part_of_windows(WINDOWS_VERSION version, uint16_t machine, std::string_view name);

// Where the real file of a DLL that version lacks comes from, when an installer other than
// Windows brings it: the Visual C++ Redistributable 2015-2022 (is_vc_runtime_dll); the DirectX
// End-User Runtime (d3dx9_*, d3dx10_*, d3dx11_*, xinput1_1 to 1_3, xaudio2_0 to 2_7,
// x3daudio*, xapofx*, d3dcompiler_33 to _43); on 7, 8 and 8.1 the Universal C Runtime update
// (ucrtbase.dll and api-ms-win-crt-*).
enum DLL_SOURCE : uint8_t { SOURCE_NONE, SOURCE_VC_REDIST, SOURCE_DIRECTX, SOURCE_UCRT };
DLL_SOURCE dll_source(WINDOWS_VERSION version, std::string_view name);

// A PE Machine as the tool names it: "x86", "x64", "ARM64", else "machine 0x01C4".
std::string machine_name(uint16_t machine);

// Whether name (any case, ".dll" optional) is a DLL of the Visual C++ 2015-2022 runtime:
// msvcp140*.dll, vcruntime140*.dll, concrt140.dll, vccorlib140.dll, vcomp140.dll,
// mfc140*.dll.
bool is_vc_runtime_dll(std::string_view name);

}  // namespace talvek
