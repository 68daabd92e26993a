// Where the emulated loader finds the system folder when the user names none: Wine's own
// folder of PE DLLs for the process's machine.
#pragma once

#include <cstdint>
#include <string>

namespace talvek {

// Wine's DLL folder for machine (0x014C x86, 0x8664 x64, 0xAA64 ARM64) under root: the first
// of <prefix>/lib/wine/<arch>-windows and <prefix>/lib/<multiarch>/wine/<arch>-windows,
// for the prefixes /usr, /usr/local and each /opt/wine* in order of name, that holds a
// kernel32.dll (exact name, else ignoring case). "" for another machine or when none does.
std::string find_wine_dll_folder(uint16_t machine, const std::string& root);

// The system folder to search when WINEPATH is not set at all, found under root (the real
// root is ""); "" when WINEPATH is set (even to ""), which leaves the search to it.
std::string default_system_folder(uint16_t machine, const std::string& root);

}  // namespace talvek
