// The DLL-file search for LX and NE imports, and the path helpers under it.
#include <gtest/gtest.h>
#include <unistd.h>

#include "driver/run.h"
#include "platform/dir_listings.h"
#include "platform/fs.h"
#include "platform/fs_memory.h"
#include "support/tool_runner.h"

using namespace talvek;

namespace {

typedef std::vector<TOOL_FILE> FILES;

// A temporary directory laid out for one test, the current directory moved into it, and a run
// to search from.
struct DIR_FIXTURE {
    std::string dir = make_temp_dir();
    std::string saved_cwd;
    RUN_PTR run = make_run(OPTIONS{}, nullptr);
    explicit DIR_FIXTURE(const FILES& files) {
        write_files(dir, files);
        char buf[4096];
        saved_cwd = getcwd(buf, sizeof buf) ? buf : "/";
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    std::string dll_file_for(std::string_view name, const std::string& importer) {
        return talvek::dll_file_for(run.get(), name, importer);
    }
    ~DIR_FIXTURE() {
        (void)!chdir(saved_cwd.c_str());
        remove_tree(dir);
    }
};

TEST(PathHelpers, NormalPathIsAbsoluteAndLexical) {
    DIR_FIXTURE fx(FILES{{"sub/", {}}});
    EXPECT_EQ(normal_path("sub/../sub/./x.dll"), fx.dir + "/sub/x.dll");
    EXPECT_EQ(normal_path(fx.dir + "//sub///x.dll"), fx.dir + "/sub/x.dll");
    EXPECT_EQ(normal_path("/"), "/");
    EXPECT_EQ(dir_part("a/b/c.dll"), "a/b/");
    EXPECT_EQ(dir_part("c.dll"), "");
}

// The same answers with folder listings kept for the run as without.
TEST(PathHelpers, ExactEntryWinsOverCaseVariant) {
    DIR_FIXTURE fx(FILES{{"Mixed.DLL", {}}, {"mixed.dll", {}}, {"ONLY.DLL", {}}});
    for (bool fRemember : {false, true}) {
        SCOPED_TRACE(fRemember);
        FS_MEMORY mem;
        mem.fOn = fRemember;
        std::string real;
        EXPECT_TRUE(find_dir_entry(&mem, "", "mixed.dll", &real));
        EXPECT_EQ(real, "mixed.dll");
        EXPECT_TRUE(find_dir_entry(&mem, fx.dir, "only.dll", &real));
        EXPECT_EQ(real, "ONLY.DLL");
        EXPECT_FALSE(find_dir_entry(&mem, "", "absent.dll", &real));
        // Names that would leave the directory match nothing.
        EXPECT_FALSE(find_dir_entry(&mem, "", "../ONLY.DLL", &real));
        EXPECT_FALSE(find_dir_entry(&mem, "", "..", &real));
        EXPECT_FALSE(find_dir_entry(&mem, "", std::string("ONLY.DLL\0x", 10), &real));
    }
}

// Within a run a folder's listing is read at the second miss in it and answers every later
// look-up, by exact name too; a new run must see files written since.
TEST(PathHelpers, RememberedListingIsForgottenBetweenRuns) {
    DIR_FIXTURE fx(FILES{{"ONE.DLL", {}}});
    FS_MEMORY* mem = &fx.run->files;
    std::string real;
    EXPECT_FALSE(find_dir_entry(mem, "", "two.dll", &real));
    EXPECT_FALSE(find_dir_entry(mem, "", "two.dll", &real));
    write_files(fx.dir, FILES{{"TWO.DLL", {}}});
    EXPECT_FALSE(find_dir_entry(mem, "", "two.dll", &real));
    EXPECT_FALSE(find_dir_entry(mem, "", "TWO.DLL", &real));
    fx.run = make_run(OPTIONS{}, nullptr);
    mem = &fx.run->files;
    ASSERT_TRUE(find_dir_entry(mem, "", "two.dll", &real));
    EXPECT_EQ(real, "TWO.DLL");
    ASSERT_TRUE(find_dir_entry(mem, fx.dir, "one.dll", &real));
    EXPECT_EQ(real, "ONE.DLL");
}

TEST(DllFile, ExtensionAddedOnlyWithoutADot) {
    DIR_FIXTURE fx(FILES{{"DOSCALLS.DLL", {}}, {"odd.lib", {}}});
    EXPECT_EQ(fx.dll_file_for("doscalls", "app.exe"), fx.dir + "/DOSCALLS.DLL");
    EXPECT_EQ(fx.dll_file_for("ODD.LIB", "app.exe"), fx.dir + "/odd.lib");
    // Not found: the bare file name, so the registry reports it.
    EXPECT_EQ(fx.dll_file_for("MISSING", "app.exe"), "MISSING.DLL");
    EXPECT_EQ(fx.dll_file_for("doscalls.", "app.exe"), "doscalls.");
}

TEST(DllFile, SearchOrderImporterThenNamedModuleThenCurrent) {
    DIR_FIXTURE fx(FILES{{"app/APP.EXE", {}},
                    {"app/SHARED.DLL", {}},
                    {"app/ONLYAPP.DLL", {}},
                    {"lib/LIBA.DLL", {}},
                    {"lib/SHARED.DLL", {}},
                    {"CWD.DLL", {}},
                    {"ONLYAPP.DLL", {}}});
    fx.run->namedModule = "app/APP.EXE";
    EXPECT_EQ(fx.dll_file_for("SHARED", "lib/LIBA.DLL"), fx.dir + "/lib/SHARED.DLL");
    EXPECT_EQ(fx.dll_file_for("ONLYAPP", "lib/LIBA.DLL"), fx.dir + "/app/ONLYAPP.DLL");
    EXPECT_EQ(fx.dll_file_for("cwd", "lib/LIBA.DLL"), fx.dir + "/CWD.DLL");
}

}  // namespace
