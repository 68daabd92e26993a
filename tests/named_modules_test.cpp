// -m: several modules and folders of them in one run.
#include <gtest/gtest.h>

#include "support/loader_fixture.h"
#include "support/pe_writer.h"
#include "support/tool_runner.h"

namespace {

// An install folder: a program and a DLL beside it, a plug-in folder, a file that is no
// module (skipped: no "MZ"), one that starts with "MZ" but is none, and one cut short.
const std::vector<TOOL_FILE> kInstall = {
    {"inst/app.exe", import_app({{"a.dll", {pe_name("fa")}}, {"gone.dll", {}}})},
    {"inst/a.dll", export_dll({"fa"})},
    {"inst/plugins/p.dll", export_dll({"fp"}, {{"a.dll", {pe_name("fa")}}})},
    {"inst/readme.txt", BYTES{'h', 'i'}},
    {"inst/dos.com", BYTES{'M', 'Z', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                           0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                           0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"inst/z.bin", BYTES{'M', 'Z'}},
};

TEST(NamedModules, OneFileIsTheRunWithoutM) {
    TEST_FOLDER f;
    write_files(f.dir, kInstall);
    // A module that imports itself under another spelling is checked again by its path, and
    // with -x the file of its failed load too, as without -m.
    write_files(f.dir, {{"self/NEtapi.exe", import_app({{"netapi.exe", {}}, {"gone.dll", {}}})}});
    for (std::vector<std::string> opts : {std::vector<std::string>{"-l", "-e"}, {"-j"}, {"-g"}, {"nothing.exe"},
                                          {"-Xl", "self/NEtapi.exe"}}) {
        std::vector<std::string> args = opts;
        if (args.back() != "nothing.exe" && args.back() != "self/NEtapi.exe") args.push_back("inst/app.exe");
        TOOL_RUN plain = f.run(args);
        args.insert(args.begin(), "-m");
        TOOL_RUN m = f.run(args);
        SCOPED_TRACE(args[1]);
        if (opts[0] == "-j") {
            // The document differs in its command line alone.
            EXPECT_EQ(m.out.substr(m.out.find("\"named_module\"")), plain.out.substr(plain.out.find("\"named_module\"")));
        } else {
            EXPECT_EQ(m.out, plain.out);
        }
        EXPECT_EQ(m.err, plain.err);
        EXPECT_EQ(m.exit_code, plain.exit_code);
    }
}

TEST(NamedModules, AFolderAndFilesInOneRun) {
    TEST_FOLDER f;
    write_files(f.dir, kInstall);
    const std::string D = f.dir + "/inst/";
    TOOL_RUN r = f.run({"-m", "-l", "-e", "inst", "inst/a.dll"});
    // In byte order of the paths; a module named is checked again, the DLLs it reaches not;
    // each program's own folder is its application folder.
    const std::string a = "32-bit NT 'PE' Module\n0 imported module(s) found.\nAll DLLs used by 'inst/a.dll' could be loaded.\n";
    EXPECT_EQ(r.out, "==> inst/a.dll <==\n" + a +
                     "\n==> inst/app.exe <==\n32-bit NT 'PE' Module\n2 imported module(s) found.\n"
                     "Loading 'a.dll' --> " + D + "a.dll.\n"
                     "Loading 'gone.dll' --> NOT loaded!\nUnable to load DLL 'gone.dll'.  LoadLibrary returned: 126\n"
                     "\n==> inst/dos.com <==\n"
                     "\n==> inst/plugins/p.dll <==\n32-bit NT 'PE' Module\n1 imported module(s) found.\n"
                     "Loading 'a.dll' --> NOT loaded!\nUnable to load DLL 'a.dll'.  LoadLibrary returned: 126\n"
                     "\n==> inst/z.bin <==\n"
                     "\n==> inst/a.dll <==\n" + a +
                     "\nThe following 1 DLL is needed to load inst, inst/a.dll:\ninst/a.dll\n"
                     "\nMissing: 4\n"
                     "gone.dll: not loaded (126), needed by app.exe\n"
                     "inst/dos.com: check failed (3)\n"
                     "a.dll: not loaded (126), needed by plugins/p.dll\n"
                     "inst/z.bin: check failed (3)\n");
    EXPECT_EQ(r.err, "File is not a valid KAVRI .EXE or .DLL file\nError reading .EXE file\n");
    EXPECT_EQ(r.exit_code, 10);
    // -m stands anywhere among the options, after the names too.
    EXPECT_EQ(f.run({"-l", "inst", "-e", "inst/a.dll", "-m"}).out, r.out);
    // Two modules of one base name for two machines stay apart: the chains name them by their
    // paths below the folder named, and a DLL missing in both processes is missing twice.
    PE_DESC x64 = pe_wide(PE_DESC{}), arm64 = x64;
    x64.imports = arm64.imports = {{"gone.dll", {}}};
    arm64.machine = 0xAA64;
    r = f.run({"-m", "-q", "-e", "two"}, {{"two/x64/app.exe", write_pe(x64)}, {"two/arm64/app.exe", write_pe(arm64)}});
    EXPECT_EQ(r.out.substr(r.out.find("\nMissing: ")), "\nMissing: 2\ngone.dll: not loaded (126), needed by arm64/app.exe\n"
                                                     "gone.dll: not loaded (126), needed by x64/app.exe\n");
    // Without -e the largest result of the modules named.
    EXPECT_EQ(f.run({"-m", "-q", "inst"}).exit_code, 3);
    EXPECT_EQ(f.run({"-m", "inst/a.dll", "inst/app.exe"}).exit_code, 0);

    TOOL_RUN j = f.run({"-m", "-j", "inst/a.dll", "inst/app.exe"});
    EXPECT_NE(j.out.find("\"named_modules\": [{\"file\": \"inst/a.dll\", \"module\": 0}, "
                         "{\"file\": \"inst/app.exe\", \"module\": 1}]"),
              std::string::npos)
        << j.out;
    // One graph: the DLL named and reached is one node.
    TOOL_RUN g = f.run({"-m", "-g", "inst/a.dll", "inst/app.exe"});
    EXPECT_NE(g.out.find("  m1 -> m0 [label=\"1\"];\n"), std::string::npos) << g.out;
    EXPECT_EQ(g.out.find("m2 ["), std::string::npos) << g.out;
}

TEST(NamedModules, WithoutMTheClassicErrorsStay) {
    TEST_FOLDER f;
    write_files(f.dir, kInstall);
    TOOL_RUN r = f.run({"inst/app.exe", "inst/a.dll"});
    EXPECT_EQ(r.err, "QUERNIX:  More than one file specified (at 'inst/a.dll')\n");
    EXPECT_EQ(r.exit_code, 1);
    r = f.run({"inst"});
    EXPECT_EQ(r.err, "Error reading .EXE file\n");
    EXPECT_EQ(r.exit_code, 3);
}

// A folder that holds no module is a clear error when nothing else is named, as a file that is
// not there; beside modules of other names it is a warning.
TEST(NamedModules, FolderWithoutAModule) {
    TEST_FOLDER f;
    write_files(f.dir, {{"empty/", {}}, {"text/readme.txt", BYTES{'h', 'i'}}, {"a.dll", export_dll({"fa"})}});
    TOOL_RUN r = f.run({"-m", "-e", "empty", "text"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "QUERNIX:  No module found in folder 'empty'\nQUERNIX:  No module found in folder 'text'\n");
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(f.run({"--windows=10", "--deploy=text", "-m", "empty"}).err, "QUERNIX:  No module found in folder 'empty'\n");
    r = f.run({"-m", "-e", "empty", "a.dll"});
    EXPECT_EQ(r.out, "32-bit NT 'PE' Module\n0 imported module(s) found.\nAll DLLs used by 'a.dll' could be loaded.\n");
    EXPECT_EQ(r.err, "QUERNIX:  Warning: no module found in folder 'empty'\n");
    EXPECT_EQ(r.exit_code, 0);
}

// Each module named starts with nothing loaded: a DLL that an earlier one loaded by its
// folder does not stand in for one that the search does not find for a later one.
TEST(NamedModules, EachStartsWithNothingLoaded) {
    TEST_FOLDER f;
    write_files(f.dir, {{"core.exe", import_app({{"sub\\x.dll", {pe_name("f")}}})},
                        {"sub/x.dll", export_dll({"f"})},
                        {"other.exe", import_app({{"x.dll", {pe_name("f")}}})}});
    TOOL_RUN alone = f.run({"-e", "other.exe"});
    TOOL_RUN r = f.run({"-m", "-e", "core.exe", "other.exe"});
    EXPECT_EQ(r.out, "==> core.exe <==\n32-bit NT 'PE' Module\n1 imported module(s) found.\n"
                     "Loading 'sub\\x.dll' --> " + f.dir + "/sub/x.dll.\nAll DLLs used by 'core.exe' could be loaded.\n"
                     "\n==> other.exe <==\n" + alone.out);
    EXPECT_EQ(r.exit_code, 10);
}

// An import table that an earlier module named resolved through a forwarder is resolved
// again for a later one whose search finds the forwarder's DLL in another file, here one that
// lacks the entry.
TEST(NamedModules, AForwarderLeadsEachModuleToItsOwnFile) {
    TEST_FOLDER f;
    PE_DESC fw;
    fw.exports = {PE_EXPORT{1, "f", "tgt.f", 0}};
    fw.export_dir = true;
    const BYTES app = import_app({{"mid.dll", {pe_name("m")}}});
    write_files(f.dir, {{"lib/mid.dll", export_dll({"m"}, {{"fw.dll", {pe_name("f")}}})},
                        {"lib/fw.dll", write_pe(fw)},
                        {"a/app.exe", app},
                        {"a/tgt.dll", export_dll({"f"})},
                        {"b/app.exe", app},
                        {"b/tgt.dll", export_dll({"g"})}});
    RUN_OPTIONS env;
    env.env = {{"WINEPATH", f.dir + "/lib"}, {"PATH", ""}};
    TOOL_RUN alone = f.run({"-e", "b/app.exe"}, {}, env);
    TOOL_RUN r = f.run({"-m", "-e", "a/app.exe", "b/app.exe"}, {}, env);
    EXPECT_EQ(alone.exit_code, 10);
    size_t b = r.out.find("\n==> b/app.exe <==\n");
    ASSERT_NE(b, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(b + 19), alone.out);
    EXPECT_EQ(r.exit_code, 10);
}

// A run that a module's format error ends still lists every module named in -j, those not
// reached with no record.
TEST(NamedModules, RunEndedEarlyListsEveryModuleNamed) {
    TEST_FOLDER f;
    PE_DESC bad;
    bad.opt_size = 240;
    write_files(f.dir, {{"a.exe", import_app({})}, {"bad.exe", write_pe(bad)}, {"z.exe", import_app({})}});
    TOOL_RUN j = f.run({"-m", "-j", "a.exe", "bad.exe", "z.exe"});
    EXPECT_NE(j.out.find("\"named_modules\": [{\"file\": \"a.exe\", \"module\": 0}, {\"file\": \"bad.exe\", "
                         "\"module\": 1}, {\"file\": \"z.exe\", \"module\": null}],\n  \"exit_code\": 8,"),
              std::string::npos)
        << j.out;
    EXPECT_EQ(j.exit_code, 8);
}

}  // namespace
