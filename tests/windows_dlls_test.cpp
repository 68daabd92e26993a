// The compiled DLL lists of Windows installations: the table against its data, look-ups by
// version and machine, version texts and names, the Visual C++ runtime names, and the
// generator on hostile lists.
#include <gtest/gtest.h>

#include <bitset>
#include <cctype>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "common/dos_header.h"
#include "platform/windows_dlls.h"

namespace talvek {
// Made from the lists that tests/CMakeLists.txt writes.
extern const WINDOWS_DLL_TABLE HostileDllTable;
}  // namespace talvek

using namespace talvek;

namespace {

constexpr uint16_t X86 = 0x014C, X64 = 0x8664, ARM64 = 0xAA64;

// Every name of every list file is in the table under that list, and the table holds no
// other name or list bit.
TEST(WindowsDlls, TableHoldsExactlyTheListedNames) {
    const WINDOWS_DLL_TABLE& t = WindowsDllTable;
    ASSERT_EQ(t.cLists, 14u);
    size_t cListed = 0, cBits = 0;
    for (uint32_t k = 0; k < t.cLists; k++) {
        SCOPED_TRACE(t.ppListNames[k]);
        std::ifstream in(std::string(TALVEK_WINDOWS_DLLS_DIR) + "/" + t.ppListNames[k]);
        ASSERT_TRUE(in);
        std::set<std::string> names;
        for (std::string line; std::getline(in, line);) {
            for (char& c : line) c = char(tolower(static_cast<unsigned char>(c)));
            names.insert(line);
            EXPECT_TRUE(windows_dll_lists_of(t, line) >> k & 1) << line;
        }
        cListed += names.size();
    }
    for (uint32_t i = 0; i < t.cNames; i++) cBits += std::bitset<16>(t.pLists[i]).count();
    EXPECT_EQ(cBits, cListed);
}

TEST(WindowsDlls, PartOfWindowsByVersionAndMachine) {
    const struct { WINDOWS_VERSION version; uint16_t machine; const char* name; bool part; } cases[] = {
        {WINDOWS_10, X64, "ucrtbase.dll", true},      {WINDOWS_10, X86, "ucrtbase.dll", true},
        {WINDOWS_11, X64, "ucrtbase.dll", true},      {WINDOWS_11, X86, "ucrtbase.dll", true},
        {WINDOWS_7_SP1, X64, "ucrtbase.dll", false},  {WINDOWS_8_1, X86, "ucrtbase.dll", false},
        {WINDOWS_8_1, X64, "ucrtbase.dll", false},
        // Each machine has its own list: System32 of x64, SysWOW64, System32 of ARM64.
        {WINDOWS_7_SP1, X64, "wow64cpu.dll", true},   {WINDOWS_7_SP1, X86, "wow64cpu.dll", false},
        {WINDOWS_10, ARM64, "wow64cpu.dll", false},   {WINDOWS_10, X86, "appventsubsystems32.dll", true},
        {WINDOWS_10, X64, "appventsubsystems32.dll", false},
        {WINDOWS_10, ARM64, "xtajit.dll", true},      {WINDOWS_11, X64, "xtajit.dll", false},
        // Case, and the extension the loader adds.
        {WINDOWS_7_SP1, X86, "KERNEL32.DLL", true},   {WINDOWS_10, ARM64, "Kernel32", true},
        {WINDOWS_10, X64, "kernel32.", false},        {WINDOWS_10, X64, "kernel32.dll ", false},
        {WINDOWS_10, X64, "system32/kernel32.dll", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(windows_display_name(c.version, c.machine) + " " + c.name);
        EXPECT_EQ(is_windows_dll(c.version, c.machine, c.name), c.part);
    }
    for (WINDOWS_VERSION v : {WINDOWS_7_SP1, WINDOWS_8, WINDOWS_8_1, WINDOWS_10, WINDOWS_11}) {
        for (uint16_t m : {X86, X64, ARM64, uint16_t(0x01C4)}) {
            SCOPED_TRACE(windows_display_name(v, m));
            bool fList = m == X86 || m == X64 || (m == ARM64 && v >= WINDOWS_10);
            EXPECT_EQ(windows_has_dll_list(v, m), fList);
            EXPECT_EQ(is_windows_dll(v, m, "kernel32.dll"), fList);
        }
    }
}

TEST(WindowsDlls, VersionTextsAndDisplayNames) {
    const struct { const char* text; bool ok; WINDOWS_VERSION version; } texts[] = {
        {"7", true, WINDOWS_7_SP1}, {"8", true, WINDOWS_8},      {"8.1", true, WINDOWS_8_1},
        {"10", true, WINDOWS_10},   {"11", true, WINDOWS_11},    {"", false, WINDOWS_8},
        {"7sp1", false, WINDOWS_8}, {"10 ", false, WINDOWS_8},   {"8.0", false, WINDOWS_8},
        {"1", false, WINDOWS_8},    {"010", false, WINDOWS_8},   {"Windows 10", false, WINDOWS_8}};
    for (const auto& c : texts) {
        SCOPED_TRACE(c.text);
        WINDOWS_VERSION v = WINDOWS_8;
        EXPECT_EQ(parse_windows_version(c.text, &v), c.ok);
        EXPECT_EQ(v, c.version);
    }
    EXPECT_EQ(windows_display_name(WINDOWS_10, X64), "Windows 10 (x64)");
    EXPECT_EQ(windows_display_name(WINDOWS_7_SP1, X86), "Windows 7 SP1 (x86 on x64)");
    EXPECT_EQ(windows_display_name(WINDOWS_11, ARM64), "Windows 11 (ARM64)");
    EXPECT_EQ(windows_display_name(WINDOWS_8_1, 0x0200), "Windows 8.1 (machine 0x0200)");
}

TEST(WindowsDlls, VisualCppRuntimeNames) {
    const struct { const char* name; bool runtime; } cases[] = {
        {"msvcp140.dll", true},     {"MSVCP140_1.DLL", true},     {"msvcp140_atomic_wait", true},
        {"vcruntime140.dll", true}, {"vcruntime140_1.dll", true}, {"concrt140.dll", true},
        {"VCCORLIB140.dll", true},  {"vcomp140", true},           {"mfc140u.dll", true},
        {"msvcp120.dll", false},    {"msvcp14.dll", false},       {"xmsvcp140.dll", false},
        {"concrt140_1.dll", false}, {"vcomp140d.dll", false},     {"vcruntime140.drv", false},
        {"msvcp140.", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(is_vc_runtime_dll(c.name), c.runtime);
        EXPECT_EQ(dll_source(WINDOWS_10, c.name) == SOURCE_VC_REDIST, c.runtime);
    }
    // The DirectX End-User Runtime's families, at the ends of their numbered ranges, and the
    // UCRT, which only 7 to 8.1 lack.
    const struct { const char* name; WINDOWS_VERSION version; DLL_SOURCE source; } sources[] = {
        {"d3dx9_43.dll", WINDOWS_10, SOURCE_DIRECTX},      {"D3DX11_42", WINDOWS_7_SP1, SOURCE_DIRECTX},
        {"xinput1_3.dll", WINDOWS_10, SOURCE_DIRECTX},     {"xinput1_4.dll", WINDOWS_10, SOURCE_NONE},
        {"xaudio2_0.dll", WINDOWS_8, SOURCE_DIRECTX},      {"xaudio2_8.dll", WINDOWS_8, SOURCE_NONE},
        {"d3dcompiler_33.dll", WINDOWS_10, SOURCE_DIRECTX}, {"d3dcompiler_32.dll", WINDOWS_10, SOURCE_NONE},
        {"d3dcompiler_43.dll", WINDOWS_10, SOURCE_DIRECTX}, {"d3dcompiler_47.dll", WINDOWS_10, SOURCE_NONE},
        {"d3dcompiler_4x.dll", WINDOWS_10, SOURCE_NONE},   {"x3daudio1_7.dll", WINDOWS_11, SOURCE_DIRECTX},
        {"xapofx1_5.dll", WINDOWS_10, SOURCE_DIRECTX},     {"ucrtbase.dll", WINDOWS_8_1, SOURCE_UCRT},
        {"ucrtbase.dll", WINDOWS_10, SOURCE_NONE},         {"api-ms-win-crt-heap-l1-1-0.dll", WINDOWS_7_SP1, SOURCE_UCRT},
        {"zlib1.dll", WINDOWS_7_SP1, SOURCE_NONE},
    };
    for (const auto& c : sources) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(dll_source(c.version, c.name), c.source);
    }
}

// Wine's builtin marker: the 16 characters and their NUL right after the 64-byte DOS header.
TEST(WindowsDlls, WineBuiltinMarker) {
    const std::string marker("Wine builtin DLL\0", 17);
    const struct { std::string after; bool fMarked; } cases[] = {
        {marker, true}, {marker + "PE", true}, {marker.substr(0, 16), false},
        {"Wine builtin DLLX", false}, {"wine builtin DLL" + std::string(1, '\0'), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.after);
        std::string file = std::string(64, 'M') + c.after;
        EXPECT_EQ(has_wine_builtin_marker(BYTE_SPAN{reinterpret_cast<const uint8_t*>(file.data()), file.size()}), c.fMarked);
    }
}

// The generator's table of the lists written by tests/CMakeLists.txt: CRLF and bare LF line
// ends, blank lines, blanks around names, upper case, repeats, an empty list.
TEST(WindowsDllTable, GeneratorNormalisesHostileLists) {
    const WINDOWS_DLL_TABLE& t = HostileDllTable;
    ASSERT_EQ(t.cLists, 3u);
    EXPECT_EQ(std::vector<std::string>(t.ppListNames, t.ppListNames + 3),
              (std::vector<std::string>{"a/One.txt", "b/Empty.txt", "b/Two.txt"}));
    ASSERT_EQ(t.cNames, 3u);
    EXPECT_EQ(std::string(t.pText, t.pStarts[3]), "kernel32.dllsound.drvzlib1.dll");
    EXPECT_EQ(std::vector<uint32_t>(t.pStarts, t.pStarts + 4), (std::vector<uint32_t>{0, 12, 21, 30}));
    EXPECT_EQ(std::vector<uint16_t>(t.pLists, t.pLists + 3), (std::vector<uint16_t>{1, 4, 5}));
    EXPECT_EQ(windows_dll_lists_of(t, "ZLIB1"), 5u);
    EXPECT_EQ(windows_dll_lists_of(t, "sound"), 0u);
    EXPECT_EQ(windows_dll_lists_of(t, "a.dll"), 0u);
    EXPECT_EQ(windows_dll_lists_of(t, "zz.dll"), 0u);
}

}  // namespace
