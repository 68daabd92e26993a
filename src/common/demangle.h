// C++ entry names in their demangled form, shown beside the raw ones: Itanium names ("_Z...",
// as MinGW and clang write them) through the C++ runtime's own demangler. MSVC names ("?...")
// stay raw: the runtime has no demangler for them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace talvek {

// What one output may still spend on demangling. A mangled name can refer back to its own
// parts, so a few hundred bytes can stand for a gigabyte of text: a name whose references
// could make it more than DEMANGLE_MAX_NAME bytes is left raw, and every name asked adds
// DEMANGLE_PER_BYTE bytes per byte of it to what the output may spend, so that the text of
// all names together stays within a fixed multiple of their raw bytes.
constexpr uint64_t DEMANGLE_MAX_NAME = uint64_t(1) << 20;
constexpr uint64_t DEMANGLE_PER_BYTE = 64;
struct DEMANGLER {
    uint64_t cbLeft = DEMANGLE_MAX_NAME;
};

// The demangled form of the entry name, or "" for a name that is not an Itanium C++ name, does
// not demangle, or is left raw within d's budget.
std::string demangled(DEMANGLER* d, std::string_view name);

}  // namespace talvek
