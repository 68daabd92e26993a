// Demangling through the C++ runtime, within a budget.
#include "common/demangle.h"

#include <algorithm>
#include <cstdlib>

#if defined(__has_include)
#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#define TALVEK_HAS_CXXABI 1
#endif
#endif

namespace talvek {

// The references a mangled name makes back to its earlier parts: substitutions ("S_",
// "S<base 36>_") and template parameters ("T_", "T<n>_"). Each can repeat all text made
// before it, so the text can double at each.
static uint32_t back_references(std::string_view name) {
    uint32_t n = 0;
    for (size_t i = 0; i + 1 < name.size(); i++) {
        if (name[i] != 'S' && name[i] != 'T') continue;
        size_t j = i + 1;
        while (j < name.size() && ((name[j] >= '0' && name[j] <= '9') || (name[i] == 'S' && name[j] >= 'A' && name[j] <= 'Z')))
            j++;
        if (j < name.size() && name[j] == '_') n++;
    }
    return n;
}

std::string demangled(DEMANGLER* d, std::string_view name) {
#if defined(TALVEK_HAS_CXXABI)
    if (name.size() < 3 || name.substr(0, 2) != "_Z") return std::string();
    d->cbLeft += DEMANGLE_PER_BYTE * name.size();
    // No part of a name becomes more than 40 characters (an abbreviation such as "Ss" for the
    // whole std::basic_string<...>), and each back reference at most doubles the text.
    uint32_t cRefs = name.size() <= DEMANGLE_MAX_NAME / 40 ? back_references(name) : 32;
    if (cRefs >= 32 || (uint64_t(40) * name.size() << cRefs) > DEMANGLE_MAX_NAME || d->cbLeft < DEMANGLE_MAX_NAME)
        return std::string();
    int status = 0;
    char* text = abi::__cxa_demangle(std::string(name).c_str(), nullptr, nullptr, &status);
    std::string r = status == 0 && text ? std::string(text) : std::string();
    free(text);
    d->cbLeft -= std::min<uint64_t>(d->cbLeft, r.size());
    return r;
#else
    (void)d;
    (void)name;
    return std::string();
#endif
}

}  // namespace talvek
