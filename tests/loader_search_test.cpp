// The emulated loader's DLL search: name forms, search order, letter case, reuse, paths.
#include <sys/stat.h>

#include <algorithm>

#include "driver/messages.h"
#include "platform/fs.h"
#include "platform/system_dirs.h"
#include "support/damage_sweep.h"
#include "support/loader_fixture.h"

using namespace talvek;

namespace {

// Under a target Windows each file also tells where it was found.
TEST_F(LoaderTest, SearchOrderFirstHitWins) {
    const char* all[] = {"app/a.dll", "a.dll", "wp1/a.dll", "wp2/a.dll", "p1/a.dll", "p2/a.dll"};
    const DLL_ORIGIN origins[] = {ORIGIN_APPLICATION, ORIGIN_ELSEWHERE, ORIGIN_SYSTEM,
                                  ORIGIN_SYSTEM,      ORIGIN_ELSEWHERE, ORIGIN_ELSEWHERE};
    for (size_t first = 0; first < 6; first++) {
        SCOPED_TRACE(all[first]);
        loader_reset();
        loader_set_target_windows(WINDOWS_10);
        loader_set_application_path("app/prog.exe");
        setenv("WINEPATH", ";wp1;;wp2;", 1);
        setenv("PATH", ":p1::p2", 1);
        for (size_t k = 0; k < 6; k++) remove((dir + "/" + all[k]).c_str());
        std::vector<TOOL_FILE> f{{"app/", {}}, {"wp1/", {}}, {"wp2/", {}}, {"p1/", {}}, {"p2/", {}}};
        for (size_t k = first; k < 6; k++) f.push_back({all[k], export_dll({"f"})});
        files(f);
        HMODULE h = LoadLibraryA("a.dll");
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(where(h), all[first]);
        EXPECT_EQ(loader_loaded_from(h).origin, origins[first]);
    }
}

TEST_F(LoaderTest, NameFormsAndExtensions) {
    files({{"b.dll", export_dll({})},
           {"noext", export_dll({})},
           {"c.x", export_dll({})},
           {"sub.d/e.dll", export_dll({})},
           {"sub.d/up.DLL", export_dll({})}});
    struct {
        const char* name;
        const char* file;   // null: not found
    } cases[] = {
        {"e.dll", nullptr},             // a bare name is not looked for in subdirectories
        {"b", "b.dll"},
        {"noext.", "noext"},
        {"c.x", "c.x"},
        {"c", nullptr},                 // c.dll
        {"sub.d/e", "sub.d/e.dll"},     // the extension is decided on the last component
        {"sub.d\\e.dll", "sub.d/e.dll"},
        {"sub.d/UP.dll", "sub.d/up.DLL"},
        {"SUB.D/e.dll", nullptr},       // only the last component is matched ignoring case
        {"e.dll", "sub.d/e.dll"},       // loaded now: the base name is reused
        {"./sub.d/../b.dll", "b.dll"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HMODULE h = LoadLibraryA(c.name);
        if (!c.file) {
            EXPECT_EQ(h, nullptr);
            EXPECT_EQ(GetLastError(), LOAD_ERR_MOD_NOT_FOUND);
        } else {
            ASSERT_NE(h, nullptr);
            EXPECT_EQ(where(h), c.file);
        }
    }
}

TEST_F(LoaderTest, LetterCaseExactNameFirst) {
    files({{"Lib.DLL", export_dll({"upper"})}, {"lib.dll", export_dll({"lower"})}, {"ONLY.DLL", export_dll({})}});
    EXPECT_EQ(where(LoadLibraryA("lib.dll")), "lib.dll");
    EXPECT_EQ(where(LoadLibraryA("only.dll")), "ONLY.DLL");
}

TEST_F(LoaderTest, LoadedBaseNameIsReusedWithoutSearch) {
    loader_set_application_path("app/prog.exe");
    files({{"app/a.dll", export_dll({"fa"})}, {"sub/b.dll", export_dll({})}});
    HMODULE h = LoadLibraryA("a.dll");
    ASSERT_NE(h, nullptr);
    files({{"a.dll", export_dll({})}});
    EXPECT_EQ(LoadLibraryA("A.DLL"), h);
    EXPECT_EQ(LoadLibraryA("a"), h);
    // A module loaded by its path is found by its base name afterwards, and by its path again.
    HMODULE hb = LoadLibraryA("sub/b.dll");
    ASSERT_NE(hb, nullptr);
    EXPECT_EQ(LoadLibraryA("B.dll"), hb);
    EXPECT_EQ(LoadLibraryA("./sub/b.dll"), hb);
}

TEST_F(LoaderTest, FailedLoadIsTriedAgain) {
    EXPECT_EQ(load_error("late.dll"), LOAD_ERR_MOD_NOT_FOUND);
    files({{"late.dll", export_dll({})}});
    EXPECT_EQ(load_error("late.dll"), 0u);
}

// Within a run (folder listings remembered) a name's search and a file that is no image
// are looked at once; loader_reset forgets both. Load outcomes are not remembered: a DLL
// rolled back with its failed importer loads on its own, and the importer fails again.
TEST_F(LoaderTest, RememberedSearchesLastUntilReset) {
    remember_dir_listings(true);   // as within a run of the tool
    files({{"bad.dll", BYTES(100, 0)},
           {"top.dll", export_dll({}, {{"mid.dll", {pe_name("m")}}})},
           {"mid.dll", export_dll({"other"})}});
    for (int pass = 0; pass < 2; pass++) {
        SCOPED_TRACE(pass);
        EXPECT_EQ(load_error("late.dll"), LOAD_ERR_MOD_NOT_FOUND);
        EXPECT_EQ(load_error("bad.dll"), LOAD_ERR_BAD_EXE_FORMAT);
        EXPECT_EQ(load_error("top.dll"), LOAD_ERR_PROC_NOT_FOUND);
        files({{"late.dll", export_dll({})}, {"bad.dll", export_dll({})}});
    }
    EXPECT_EQ(load_error("mid.dll"), 0u);
    EXPECT_EQ(load_error("top.dll"), LOAD_ERR_PROC_NOT_FOUND);
    loader_reset();
    EXPECT_EQ(load_error("late.dll"), 0u);
    EXPECT_EQ(load_error("bad.dll"), 0u);
}

// Within a run, N names searched for in vain through F folders (the current directory and
// PATH's), then one found as a case variant, read each folder at most twice and look up at
// most two entries in it by name, however large N: O(F) questions, not N x F.
TEST_F(LoaderTest, RememberedSearchesAskEachFolderAFewTimes) {
    remember_dir_listings(true);   // as within a run of the tool
    setenv("WINEPATH", "", 1);
    for (int cFolders : {1, 12}) {
        for (int cNames : {1, 300}) {
            SCOPED_TRACE(testing::Message() << cFolders << " folders, " << cNames << " names");
            loader_reset();
            std::string folder = "p" + std::to_string(cFolders) + "_" + std::to_string(cNames) + "_", path;
            for (int i = 0; i < cFolders; i++) path += (i ? ":" : "") + folder + std::to_string(i);
            std::string last = folder + std::to_string(cFolders - 1) + "/Found.DLL";
            files({{last, export_dll({})}});
            setenv("PATH", path.c_str(), 1);
            const DIR_LOOKUP_COUNTS before = mem.counts;
            for (int k = 0; k < cNames; k++)
                EXPECT_EQ(load_error(("m" + std::to_string(k)).c_str()), LOAD_ERR_MOD_NOT_FOUND);
            EXPECT_EQ(where(LoadLibraryA("found.dll")), last);
            const uint64_t cMost = 2 * (uint64_t(cFolders) + 1);
            EXPECT_LE(mem.counts.cFolderReads - before.cFolderReads, cMost);
            EXPECT_LE(mem.counts.cNameLookups - before.cNameLookups, cMost + 1);
        }
    }
}

TEST_F(LoaderTest, DirectoryFoundByNameIsNoImage) {
    files({{"dir.dll/", {}}, {"Other.Dll/", {}}});
    EXPECT_EQ(load_error("dir.dll"), LOAD_ERR_BAD_EXE_FORMAT);
    EXPECT_EQ(load_error("other.dll"), LOAD_ERR_BAD_EXE_FORMAT);
}

TEST_F(LoaderTest, ModuleFileNameIsCutToTheBuffer) {
    files({{"abc.dll", export_dll({})}});
    HMODULE h = LoadLibraryA("abc.dll");
    ASSERT_NE(h, nullptr);
    std::string full = dir + "/abc.dll";
    char buf[512];
    EXPECT_EQ(GetModuleFileNameA(h, buf, sizeof buf), full.size());
    EXPECT_EQ(std::string(buf), full);
    EXPECT_EQ(GetModuleFileNameA(h, buf, uint32_t(full.size())), full.size());
    EXPECT_EQ(std::string(buf), full.substr(0, full.size() - 1));
    EXPECT_EQ(GetLastError(), LOAD_ERR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(GetModuleFileNameA(h, buf, uint32_t(full.size() + 1)), full.size());
    EXPECT_EQ(GetModuleFileNameA(h, buf, 0), 0u);
    // The report takes the path whole.
    EXPECT_EQ(loader_module_path(L.get(), h), full);
}

// A path longer than the system opens is a failure (206) that names it whole: that of the
// application folder, which cannot be searched, and that of a file the search found.
TEST_F(LoaderTest, PathLongerThanTheSystemOpensIsNamed) {
    const std::string level(250, 'd');
    std::string deep = dir;
    size_t cLevels = 0;
    for (; deep.size() <= system_path_limit(); cLevels++, deep += "/" + level)
        ASSERT_TRUE(mkdir(level.c_str(), 0755) == 0 && chdir(level.c_str()) == 0);
    write_files(".", {{"a.dll", export_dll({})}});
    LOAD_FAILURE why, whyFile;
    loader_set_application_path("app.exe");
    EXPECT_EQ(loader_load("a.dll", &why), nullptr);
    EXPECT_EQ(why.reason, "the path is longer than the system allows (" + std::to_string(system_path_limit()) + " bytes): " + deep);
    loader_set_application_path((dir + "/app.exe").c_str());
    EXPECT_EQ(loader_load("a.dll", &whyFile), nullptr);
    EXPECT_EQ(why.error + whyFile.error, 2 * LOAD_ERR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(whyFile.chain.at(0).file, deep + "/a.dll");
    // No path to the bottom of the tree can be opened whole: it is taken down level by level.
    remove("a.dll");
    for (; cLevels > 0; cLevels--) ASSERT_TRUE(chdir("..") == 0 && rmdir(level.c_str()) == 0);
}

// Wine's folder under a stand-in root: per machine the first candidate holding kernel32.dll,
// /usr before /usr/local before /opt/wine* in order of name.
TEST_F(LoaderTest, WineFolderFoundPerMachine) {
    const BYTES k32 = export_dll({});
    struct {
        std::vector<TOOL_FILE> tree;
        uint16_t machine;
        const char* found;   // relative to the root; "" for none
    } cases[] = {
        {{{"usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll", k32},
          {"usr/lib/x86_64-linux-gnu/wine/x86_64-windows/KERNEL32.DLL", k32},
          {"usr/lib/wine/i386-windows/", {}},                      // near-empty folder of the other kind
          {"usr/lib/wine/x86_64-windows/kernel32.dll/", {}}},      // a folder, not a file
         0x014C, "usr/lib/i386-linux-gnu/wine/i386-windows"},
        {{{"usr/lib/x86_64-linux-gnu/wine/x86_64-windows/KERNEL32.DLL", k32}, {"usr/lib/wine/x86_64-windows/kernel32.dll/", {}}},
         0x8664, "usr/lib/x86_64-linux-gnu/wine/x86_64-windows"},
        {{{"usr/local/lib/wine/aarch64-windows/kernel32.dll", k32}, {"opt/wine-a/lib/wine/aarch64-windows/kernel32.dll", k32}},
         0xAA64, "usr/local/lib/wine/aarch64-windows"},
        {{{"opt/wine-staging/lib/wine/i386-windows/kernel32.dll", k32},
          {"opt/wine-devel/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll", k32},
          {"opt/notwine/lib/wine/i386-windows/kernel32.dll", k32}},
         0x014C, "opt/wine-devel/lib/i386-linux-gnu/wine/i386-windows"},
        {{{"usr/lib/wine/i386-windows/kernel32.dll", k32}}, 0x8664, ""},
        {{{"usr/lib/wine/i386-windows/kernel32.dll", k32}}, 0x0200, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.found);
        std::string root = make_temp_dir();
        write_files(root, c.tree);
        EXPECT_EQ(find_wine_dll_folder(c.machine, root), *c.found ? root + "/" + c.found : "");
        remove_tree(root);
    }
}

TEST_F(LoaderTest, WinePathSetEvenEmptyTurnsTheWineFolderOff) {
    files({{"usr/lib/wine/x86_64-windows/kernel32.dll", export_dll({})}});
    EXPECT_EQ(default_system_folder(0x8664, dir), dir + "/usr/lib/wine/x86_64-windows");
    setenv("WINEPATH", "", 1);
    EXPECT_EQ(default_system_folder(0x8664, dir), "");
}

// Each machine has its own process. The same name loads each machine's own file; the search
// passes over PE images of another machine, or of this machine with another magic, and goes
// on; finding only those is 193; a name with a folder part is that one file.
TEST_F(LoaderTest, OneProcessPerMachine) {
    PE_DESC e;
    e.exports = {PE_EXPORT{1, "f", "", 0}};
    PE_DESC arm = pe_wide(e);
    arm.machine = 0xAA64;
    PE_DESC narrow64 = e;   // x64 machine, PE32 magic
    narrow64.machine = 0x8664;
    files({{"p1/a.dll", write_pe(pe_wide(e))}, {"p1/b.dll", write_pe(narrow64)}, {"p1/only64.dll", write_pe(pe_wide(e))},
           {"p2/a.dll", write_pe(arm)}, {"p3/a.dll", write_pe(e)}, {"p3/b.dll", write_pe(pe_wide(e))}});
    setenv("WINEPATH", "p1;p2;p3", 1);
    const struct {
        uint16_t machine;
        const char* name;
        const char* file;   // null: not loaded, with err
        uint32_t err;
    } cases[] = {
        {0x014C, "a.dll", "p3/a.dll", 0},
        {0x8664, "a.dll", "p1/a.dll", 0},
        {0xAA64, "a.dll", "p2/a.dll", 0},
        {0x8664, "b.dll", "p3/b.dll", 0},
        {0x014C, "only64.dll", nullptr, LOAD_ERR_BAD_EXE_FORMAT},
        {0x014C, "p1/a.dll", nullptr, LOAD_ERR_BAD_EXE_FORMAT},
        {0x014C, "none.dll", nullptr, LOAD_ERR_MOD_NOT_FOUND},
        {0x014C, "A.DLL", "p3/a.dll", 0},   // the x86 process keeps its own a.dll
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.machine << " " << c.name);
        loader_select_process(c.machine);
        HMODULE h = LoadLibraryA(c.name);
        if (c.file) {
            EXPECT_EQ(where(h), c.file);
            EXPECT_NE(GetProcAddress(h, "f"), 0u);
        } else {
            EXPECT_EQ(h, nullptr);
            EXPECT_EQ(GetLastError(), c.err);
        }
    }
}

// API sets through the schema of the first apisetschema.dll in WINEPATH's folders (its name
// matched ignoring case): the default host for the load test, an importing module's own
// exception for its import (imp.dll needs KbOnly, which only kernelbase.dll exports), a
// forwarder to an API set, no host (126, even with a file of that name), and a name the
// schema does not hold searched as a file. A damaged schema found first means no API sets.
TEST_F(LoaderTest, ApiSetsResolveThroughTheSchema) {
    APISET_DESC schema;
    schema.entries = {{"api-ms-win-crt-runtime-l1-1-0", {{"", "ucrtbase.dll"}}},
                      {"api-ms-win-core-synch-l1-2-0", {{"", "kernel32.dll"}, {"imp.dll", "kernelbase.dll"}}},
                      {"ext-ms-win-empty-l1-1-0", {}}};
    BYTES section = write_apiset(schema);
    BYTES damaged = section;
    put_u32(damaged, 0, 5);   // version 5
    PE_DESC fwd;
    fwd.exports = {PE_EXPORT{1, "f", "api-ms-win-crt-runtime-l1-1-0._initterm", 0}};
    files({{"sys/ApiSetSchema.dll", write_apiset_dll(section)},
           {"bad/apisetschema.dll", write_apiset_dll(damaged)},
           {"none/", {}},
           {"sys/ucrtbase.dll", export_dll({"_initterm"})},
           {"sys/kernel32.dll", export_dll({"Sleep"})},
           {"sys/kernelbase.dll", export_dll({"Sleep", "KbOnly"})},
           {"imp.dll", export_dll({}, {{"api-ms-win-core-synch-l1-2-0.dll", {pe_name("KbOnly")}}})},
           {"fwd.dll", write_pe(fwd)},
           {"api-ms-win-unknown-l1-1-0.dll", export_dll({})},
           {"ext-ms-win-empty-l1-1-0.dll", export_dll({})}});
    struct {
        const char* winepath;
        const char* name;
        const char* file;   // null: not loaded, with 126
    } cases[] = {
        {"none;sys", "api-ms-win-crt-runtime-l1-1-0.dll", "sys/ucrtbase.dll"},
        {"none;sys", "API-MS-WIN-CRT-RUNTIME-L1-1-1", "sys/ucrtbase.dll"},
        {"none;sys", "api-ms-win-core-synch-l1-2-0.dll", "sys/kernel32.dll"},
        {"none;sys", "imp.dll", "imp.dll"},
        {"none;sys", "ext-ms-win-empty-l1-1-0.dll", nullptr},
        {"none;sys", "api-ms-win-unknown-l1-1-0.dll", "api-ms-win-unknown-l1-1-0.dll"},
        {"bad;sys", "api-ms-win-crt-runtime-l1-1-0.dll", nullptr},
        {"bad;sys", "ext-ms-win-empty-l1-1-0.dll", "ext-ms-win-empty-l1-1-0.dll"},
        {"", "api-ms-win-crt-runtime-l1-1-0.dll", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.winepath) + ": " + c.name);
        loader_reset();
        setenv("WINEPATH", c.winepath, 1);
        HMODULE h = LoadLibraryA(c.name);
        if (!c.file) {
            EXPECT_EQ(h, nullptr);
            EXPECT_EQ(GetLastError(), LOAD_ERR_MOD_NOT_FOUND);
        } else {
            EXPECT_EQ(where(h), c.file);
        }
    }
    loader_reset();
    setenv("WINEPATH", "sys", 1);
    HMODULE h = LoadLibraryA("fwd.dll");
    ASSERT_NE(h, nullptr);
    EXPECT_NE(GetProcAddress(h, "f"), 0u);
    EXPECT_EQ(where(LoadLibraryA("ucrtbase.dll")), "sys/ucrtbase.dll");
}

// With WINEPATH unset, Wine's folder of the process's machine stands where WINEPATH's folders
// would, after the current directory and before PATH, and its schema serves the API sets;
// WINEPATH set to "" turns it off.
TEST_F(LoaderTest, WineFolderIsTheSystemFolderWhenWinePathIsUnset) {
    APISET_DESC schema;
    schema.entries = {{"api-ms-win-crt-runtime-l1-1-0", {{"", "ucrtbase.dll"}}}};
    PE_DESC k64;
    k64.export_dir = true;
    const std::string w32 = "root/usr/lib/i386-linux-gnu/wine/i386-windows/", w64 = "root/usr/lib/wine/x86_64-windows/";
    files({{w32 + "kernel32.dll", export_dll({})},
           {w32 + "apisetschema.dll", write_apiset_dll(write_apiset(schema))},
           {w32 + "ucrtbase.dll", export_dll({})},
           {w32 + "comctl32.dll", export_dll({})},
           {w32 + "version.dll", export_dll({})},
           {w64 + "kernel32.dll", write_pe(pe_wide(k64))},
           {"p/version.dll", export_dll({})},
           {"comctl32.dll", export_dll({})}});
    setenv("PATH", "p", 1);
    struct {
        bool fUnset;
        uint16_t machine;
        const char* name;
        std::string file;   // "": not loaded, with 126
    } cases[] = {
        {true, 0x014C, "kernel32.dll", w32 + "kernel32.dll"},
        {true, 0x014C, "api-ms-win-crt-runtime-l1-1-0.dll", w32 + "ucrtbase.dll"},
        {true, 0x014C, "comctl32.dll", "comctl32.dll"},
        {true, 0x014C, "version.dll", w32 + "version.dll"},
        {true, 0x8664, "kernel32.dll", w64 + "kernel32.dll"},
        {true, 0x8664, "api-ms-win-crt-runtime-l1-1-0.dll", ""},
        {false, 0x014C, "version.dll", "p/version.dll"},
        {false, 0x014C, "api-ms-win-crt-runtime-l1-1-0.dll", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fUnset << " " << std::hex << c.machine << " " << c.name);
        loader_reset();
        if (c.fUnset)
            unsetenv("WINEPATH");
        else
            setenv("WINEPATH", "", 1);
        loader_select_process(c.machine);
        HMODULE h = LoadLibraryA(c.name);
        if (c.file.empty()) {
            EXPECT_EQ(h, nullptr);
            EXPECT_EQ(GetLastError(), LOAD_ERR_MOD_NOT_FOUND);
        } else {
            EXPECT_EQ(where(h), c.file);
        }
    }
}

// A known DLL comes from the system folders only, whatever the application's folder or PATH
// hold; so, from then on, do the DLLs a known DLL loaded there imports (sys/kernel32.dll needs
// sys/ntdll.dll's NtDelay, which app/ntdll.dll lacks). Other names search as ever.
TEST_F(LoaderTest, KnownDllsComeOnlyFromTheSystemFolder) {
    files({{"sys/kernel32.dll", export_dll({}, {{"ntdll.dll", {pe_name("NtDelay")}}})},
           {"sys/ntdll.dll", export_dll({"NtDelay"})},
           {"sys/version.dll", export_dll({})},
           {"app/kernel32.dll", export_dll({})},
           {"app/ntdll.dll", export_dll({})},
           {"app/version.dll", export_dll({})},
           {"p/gdi32.dll", export_dll({})}});
    struct {
        std::vector<std::string> names;   // loaded in order; the last one's outcome counts
        const char* file;                 // null: not loaded, with 126
    } cases[] = {
        {{"KERNEL32"}, "sys/kernel32.dll"},
        {{"kernel32.dll", "ntdll.dll"}, "sys/ntdll.dll"},
        {{"ntdll.dll", "kernel32.dll", "NTDLL.DLL"}, "sys/ntdll.dll"},
        {{"version.dll"}, "app/version.dll"},
        {{"gdi32.dll"}, nullptr},
    };
    setenv("WINEPATH", "sys", 1);
    setenv("PATH", "p", 1);
    for (bool fRemember : {false, true}) {
        remember_dir_listings(fRemember);
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << fRemember << " " << testing::PrintToString(c.names));
            loader_reset();
            loader_set_application_path("app/prog.exe");
            HMODULE h = nullptr;
            for (const std::string& name : c.names) h = LoadLibraryA(name.c_str());
            if (c.file)
                EXPECT_EQ(where(h), c.file);
            else
                EXPECT_EQ(GetLastError(), LOAD_ERR_MOD_NOT_FOUND);
        }
    }
    remember_dir_listings(false);
}

// Under a target Windows a DLL of it that is found only as another machine's image loads as a
// stand-in, as does an API set's absent host of it, for the DLLs that import it too; every
// entry of it resolves, through a forwarder as well.
TEST_F(LoaderTest, AbsentDllsOfTheTargetWindowsStandIn) {
    APISET_DESC schema;
    schema.entries = {{"api-ms-win-crt-runtime-l1-1-0", {{"", "ucrtbase.dll"}}}};
    PE_DESC fwd;
    fwd.exports = {PE_EXPORT{1, "f", "d3d12.Any", 0}};
    files({{"sys/apisetschema.dll", write_apiset_dll(write_apiset(schema))},
           {"sys/kernel32.dll", write_pe(pe_wide(PE_DESC{}))},
           {"user.dll", export_dll({}, {{"d3d12.dll", {pe_name("Any"), pe_ord(7)}}})},
           {"fwd.dll", write_pe(fwd)}});
    setenv("WINEPATH", "sys", 1);
    const struct {
        WINDOWS_VERSION version;
        const char* name;
        DLL_ORIGIN origin;   // ORIGIN_UNKNOWN: not loaded, with 126
    } cases[] = {
        {WINDOWS_10, "kernel32.dll", ORIGIN_ABSENT},
        {WINDOWS_10, "api-ms-win-crt-runtime-l1-1-0.dll", ORIGIN_ABSENT},
        {WINDOWS_7_SP1, "api-ms-win-crt-runtime-l1-1-0.dll", ORIGIN_UNKNOWN},
        {WINDOWS_10, "user.dll", ORIGIN_ELSEWHERE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        loader_reset();
        loader_set_target_windows(c.version);
        HMODULE h = LoadLibraryA(c.name);
        EXPECT_EQ(h ? loader_loaded_from(h).origin : ORIGIN_UNKNOWN, c.origin);
        EXPECT_EQ(h && GetProcAddress(h, "Anything") != 0, c.origin == ORIGIN_ABSENT);
    }
    loader_reset();
    EXPECT_EQ(GetProcAddress(LoadLibraryA("fwd.dll"), "f"), 0u);
    loader_set_target_windows(WINDOWS_10);
    EXPECT_NE(GetProcAddress(LoadLibraryA("fwd.dll"), "f"), 0u);
}

// As a host calls the loader: each place, from the first on, holds a.dll, and the first the mode
// searches wins. The host's own imports come by the classic search from its folder, and each
// start unloads what the last one loaded. A DLL that the safe search does not find but PATH
// holds has that in its failure.
TEST_F(LoaderTest, EachSearchModeAsTheHostCallsTheLoader) {
    const char* places[] = {"plug/a.dll", "host/a.dll", "a.dll", "dd/a.dll", "wp/a.dll", "p/a.dll"};
    const DLL_ORIGIN origins[] = {ORIGIN_APPLICATION, ORIGIN_HOST,   ORIGIN_ELSEWHERE,
                                  ORIGIN_ELSEWHERE,   ORIGIN_SYSTEM, ORIGIN_ELSEWHERE};
    const struct {
        SEARCH_MODE mode;
        std::vector<size_t> order;   // the places searched, in order
    } modes[] = {{SEARCH_CLASSIC, {1, 2, 4, 5}}, {SEARCH_ALTERED, {0, 2, 4, 5}}, {SEARCH_SAFE, {0, 1, 3, 4}}};
    setenv("WINEPATH", "wp", 1);
    setenv("PATH", "p", 1);
    for (const auto& m : modes) {
        for (size_t first = 0; first < 6; first++) {
            SCOPED_TRACE(testing::Message() << "mode " << int(m.mode) << ", from " << places[first]);
            loader_reset();
            loader_set_target_windows(WINDOWS_10);
            loader_set_search(m.mode, {"dd"});
            for (const char* place : places) remove((dir + "/" + place).c_str());
            std::vector<TOOL_FILE> f{{"host/host.exe", export_dll({}, {{"h.dll", {}}}, false, true)},
                                     {"host/h.dll", export_dll({})}, {"plug/", {}}, {"dd/", {}}, {"wp/", {}}, {"p/", {}}};
            for (size_t k = first; k < 6; k++) f.push_back({places[k], export_dll({})});
            files(f);
            std::vector<LOAD_FAILURE> failed;
            std::string reason;
            ASSERT_TRUE(loader_start_host("host/host.exe", "plug/p.dll", &failed, &reason));
            EXPECT_TRUE(loader_loaded_from(LoadLibraryA("HOST.EXE")).fHost);
            EXPECT_EQ(loader_loaded_from(LoadLibraryA("h.dll")).origin, ORIGIN_HOST);
            LOAD_FAILURE why;
            HMODULE h = loader_load("a.dll", &why);
            size_t k = 0;
            while (k < m.order.size() && m.order[k] < first) k++;
            EXPECT_EQ(h ? OUTSIDE_NONE : why.chain.back().outside, !h && m.mode == SEARCH_SAFE ? OUTSIDE_PATH : OUTSIDE_NONE);
            if (k == m.order.size()) {
                EXPECT_EQ(h, nullptr);
                continue;
            }
            EXPECT_EQ(where(h), places[m.order[k]]);
            EXPECT_EQ(loader_loaded_from(h).origin, origins[m.order[k]]);
        }
    }
}

}  // namespace

// Without WINEPATH and without Wine's folder no system DLL can be found: the first DLL not
// found then says so, once for the machine of its process, on standard error.
TEST_F(LoaderTest, NoSystemFolderIsNotedOnce) {
    PE_DESC app;
    app.imports = {{"kernel32.dll", {}}, {"user32.dll", {}}};
    std::string out, err;
    EXPECT_EQ(check_module_in_process(dir, write_pe(app), {}, &out, &err), 0);
    EXPECT_EQ(err, "Note: no system folder is known for x86 (WINEPATH is not set and no Wine DLL folder for x86 was "
                   "found); name the folder of the Windows system DLLs in WINEPATH, or install Wine.\n");
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 6) << out;
    // A WINEPATH that is set, even empty, names the system folders: nothing to note.
    setenv("WINEPATH", "", 1);
    EXPECT_EQ(check_module_in_process(dir, write_pe(app), {}, &out, &err), 0);
    EXPECT_EQ(err, "");
}
