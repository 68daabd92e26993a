// The command line: help, argument errors, option parsing, the key wait.
#include <gtest/gtest.h>

#include "support/pe_writer.h"
#include "support/tool_runner.h"

namespace {

const std::string kHelp =
    "\nTALVEK checks that all DLLs used by an executable module can be loaded.\n\n"
    "Usage:\n     TALVEK [options] filename.ext\n\n"
    "Options:\n"
    "   -! - recursively check referenced DLLs\n"
    "   -v - list all references to a DLL (NEW!)\n"
    "   -d - also check delay-loaded DLLs (PE modules)\n"
    "   -l - list all DLLs needed (implies -!)\n"
    "   -q - list all DLLs needed -- final list only (implies -l)\n"
    "   -k - wait for a key before termination (useful when stared from a QIVA group)\n"
    "   -c - display relocation chain information (ignored for 32 bit modules)\n"
    "   -i - display import information (ignored for 32 bit modules)\n"
    "   -o - display ordinal information (ignored for 32 bit modules)\n"
    "   -r - display relocation information (ignored for 32 bit modules)\n"
    "   -s - display segment table (ignored for 32 bit modules)\n"
    "    ? - display this help\n\n"
    "Example: TALVEK myfile.exe\n";

TEST(CommandLine, NoArgumentPrintsErrorAndHelp) {
    TOOL_RUN r = run_talvek({});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Invalid number of arguments\n" + kHelp);
    EXPECT_EQ(r.exit_code, 1);
}

TEST(CommandLine, QuestionMarkFirstPrintsHelpOnly) {
    for (const char* arg : {"?", "?x", "??"}) {
        SCOPED_TRACE(arg);
        TOOL_RUN r = run_talvek({arg, "-Z"});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kHelp);
        EXPECT_EQ(r.exit_code, 1);
    }
}

TEST(CommandLine, InvalidOptionsNameTheirCharacter) {
    struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-?"}, "QUERNIX:  Invalid option '?' specified\n"},
        {{"-Q", "a.exe"}, "QUERNIX:  Invalid option 'Q' specified\n"},
        {{"a.exe", "/y"}, "QUERNIX:  Invalid option 'y' specified\n"},
        {{"-!", "-zz"}, "QUERNIX:  Invalid option 'z' specified\n"},
        // A bare prefix names no character, and no NUL byte is written for it.
        {{"-"}, "QUERNIX:  Invalid option '' specified\n"},
        {{"/"}, "QUERNIX:  Invalid option '' specified\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        TOOL_RUN r = run_talvek(c.args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exit_code, 1);
    }
}

TEST(CommandLine, SecondFileNameIsRefused) {
    TOOL_RUN r = run_talvek({"a.exe", "-!", "b.exe"});
    EXPECT_EQ(r.err, "QUERNIX:  More than one file specified (at 'b.exe')\n");
    EXPECT_EQ(r.exit_code, 1);
    // A question mark after the first argument is a file name.
    r = run_talvek({"a.exe", "?"});
    EXPECT_EQ(r.err, "QUERNIX:  More than one file specified (at '?')\n");
}

TEST(CommandLine, OptionsWithoutFileName) {
    TOOL_RUN r = run_talvek({"-l", "/V", "-lyz", "-q", "-c", "-I", "-o", "-R", "-s", "-!", "-d", "/D", "-K"},
                            {}, with_input("k"));
    EXPECT_EQ(r.out, "\nPress a key to continue...");
    EXPECT_EQ(r.err, "No filename specified\n");
    EXPECT_EQ(r.exit_code, 1);
}

// An argument of classic letters is read by its second character; one holding a newer letter
// (d e g j, and x m kept for options to come) letter by letter, each letter an option.
TEST(CommandLine, ClustersWithNewerLettersAreReadLetterByLetter) {
    PE_DESC d;
    d.imports = {{"gone.dll", {}}};
    const std::string report = "32-bit NT 'PE' Module\n1 imported module(s) found.\n--> NOT loaded!\n"
                               "Unable to load DLL 'gone.dll'.  LoadLibrary returned: 126\n";
    struct {
        std::vector<std::string> args;
        std::string out, err;
        int exit_code;
    } cases[] = {
        {{"-qe", "a.exe"}, report + "\nMissing: 1\ngone.dll: not loaded (126), needed by a.exe\n", "", 10},
        {{"-qv", "a.exe"}, report, "", 0},
        {{"-Ek"}, "\nPress a key to continue...", "No filename specified\n", 1},
        {{"-gJ"}, "", "QUERNIX:  Options -j and -g cannot be used together\n", 1},
        {{"-lxyz"}, "", "QUERNIX:  Invalid option 'y' specified\n", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        TOOL_RUN r = run_talvek(c.args, {{"a.exe", write_pe(d)}}, with_input("k"));
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exit_code, c.exit_code);
    }
}

TEST(CommandLine, KeyWaitOnlyWhenKStoodBeforeTheFault) {
    TOOL_RUN r = run_talvek({"-k", "a.exe", "b.exe"}, {}, with_input("x"));
    EXPECT_EQ(r.out, "\nPress a key to continue...");
    EXPECT_EQ(r.err, "QUERNIX:  More than one file specified (at 'b.exe')\n");
    EXPECT_EQ(r.exit_code, 1);

    r = run_talvek({"a.exe", "b.exe", "-k"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exit_code, 1);
}

TEST(CommandLine, KeyWaitEndsAtEndOfInput) {
    // No key can come from an empty standard input; its end counts as the key.
    TOOL_RUN r = run_talvek({"-k", "missing.exe"});
    EXPECT_EQ(r.out, "\nPress a key to continue...");
    EXPECT_EQ(r.err, "Unable to open 'missing.exe'.\n");
    EXPECT_EQ(r.exit_code, 2);
}

TEST(CommandLine, LongOptionsAndTheDocumentOptions) {
    TOOL_RUN r = run_talvek({"--help", "-Z"});
    std::string more = "   -e - exit code 10, and a summary, when anything needed is missing\n"
                       "   -j - the report as one JSON document\n"
                       "   -g - the dependency graph as a Graphviz DOT document (implies -!)\n"
                       "   -x - check DLLs that were found but do not load, to show what they lack (implies -!)\n"
                       "   -m - check several modules, or folders of them, in one run: TALVEK -m [options] NAME...\n"
                       "   --windows=VERSION - judge the DLLs by a clean Windows 7, 8, 8.1, 10 or 11 (implies -!)\n"
                       "   --ship - print only the DLLs to ship with the program (--ship=all: also those beside it)\n"
                       "   --ship-from=DIR - take the DLLs to ship from DIR first (repeatable)\n"
                       "   --deploy=DIR - copy those DLLs into DIR, then check the program there (--force: replace files;\n"
                       "                  --ship=all: the whole program)\n"
                       "   --host=FILE - check the modules as plugins of the program FILE, loaded into its process\n"
                       "   --search=MODE - how that program asks for them: classic, altered or safe\n"
                       "   --dll-dir=DIR - with --search=safe: a folder the program adds with AddDllDirectory\n"
                       "   --help - display this help;  --version - display the version\n";
    size_t at = kHelp.find("   -c - ");
    EXPECT_EQ(r.out, kHelp.substr(0, at) + more + kHelp.substr(at));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);

    r = run_talvek({"--version"});
    EXPECT_EQ(r.out.compare(0, 7, "talvek "), 0);
    EXPECT_EQ(r.out.find_first_not_of("0123456789.", 7), r.out.size() - 1) << r.out;
    EXPECT_EQ(r.exit_code, 0);

    struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        // A long option names itself, a bad value the values that are valid, and a pair that
        // cannot go together the two options given.
        {{"--helpx", "a.exe"}, "QUERNIX:  Invalid option '--helpx' specified\n"},
        {{"--frobnicate=3", "a.exe"}, "QUERNIX:  Invalid option '--frobnicate=3' specified\n"},
        {{"--", "a.exe"}, "QUERNIX:  Invalid option '--' specified\n"},
        {{"--windows=12", "a.exe"}, "QUERNIX:  --windows: unknown version '12' (7, 8, 8.1, 10, 11)\n"},
        {{"a.exe", "--windows"}, "QUERNIX:  Option --windows needs a value: --windows=VERSION (7, 8, 8.1, 10, 11)\n"},
        {{"--deploy=", "a.exe"}, "QUERNIX:  Option --deploy needs a value: --deploy=DIR\n"},
        {{"--ship=al", "a.exe"}, "QUERNIX:  --ship: unknown value 'al' (all)\n"},
        {{"--force=yes", "a.exe"}, "QUERNIX:  Option --force takes no value (at '--force=yes')\n"},
        {{"--version=2"}, "QUERNIX:  Option --version takes no value (at '--version=2')\n"},
        {{"a.exe", "-j", "-g"}, "QUERNIX:  Options -j and -g cannot be used together\n"},
        {{"/G", "-J"}, "QUERNIX:  Options -j and -g cannot be used together\n"},
        {{"--ship", "a.exe"}, "QUERNIX:  Option --ship needs --windows=VERSION\n"},
        {{"--deploy=dist", "a.exe"}, "QUERNIX:  Option --deploy needs --windows=VERSION\n"},
        {{"--windows=11", "--ship", "--deploy=d", "a.exe"}, "QUERNIX:  Options --ship and --deploy cannot be used together\n"},
        {{"--windows=10", "--ship", "-j", "a.exe"}, "QUERNIX:  Options --ship and -j cannot be used together\n"},
        {{"--windows=10", "-qg", "--deploy=d", "a.exe"}, "QUERNIX:  Options --deploy and -g cannot be used together\n"},
        {{"--ship-from=.", "a.exe"}, "QUERNIX:  Option --ship-from needs --windows=VERSION\n"},
        {{"--windows=10", "--ship-from=", "a.exe"}, "QUERNIX:  Option --ship-from needs a value: --ship-from=DIR\n"},
        // A folder to read or to copy into that is none changes nothing.
        {{"--windows=10", "--ship-from=.", "--ship-from=gone", "a.exe"}, "QUERNIX:  Option --ship-from names no folder: 'gone'\n"},
        {{"--windows=10", "--ship=all", "--deploy=/dev/null", "a.exe"}, "QUERNIX:  Option --deploy names no folder: '/dev/null'\n"},
        {{"--windows=7", "--force", "a.exe"}, "QUERNIX:  Option --force needs --deploy=DIR\n"},
        // The options of a host name themselves and what is wrong.
        {{"--search=fast", "a.exe"}, "QUERNIX:  --search: unknown mode 'fast' (classic, altered, safe)\n"},
        {{"--dll-dir=.", "a.exe"}, "QUERNIX:  --dll-dir: needs --search=safe, the search is classic\n"},
        {{"--dll-dir=.", "--search=altered", "a.exe"}, "QUERNIX:  --dll-dir: needs --search=safe, the search is altered\n"},
        {{"--search=safe", "--dll-dir=", "a.exe"}, "QUERNIX:  Option --dll-dir needs a value: --dll-dir=DIR\n"},
        {{"--host=", "a.exe"}, "QUERNIX:  Option --host needs a value: --host=FILE\n"},
        {{"--host=none.exe", "a.exe"}, "QUERNIX:  --host: 'none.exe' cannot be opened\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        r = run_talvek(c.args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exit_code, 1);
    }
}

TEST(CommandLine, AbsolutePathIsAFileNameNotAnOption) {
    TOOL_RUN r = run_talvek({"/nonexistent/dir/app.exe"});
    EXPECT_EQ(r.err, "Unable to open '/nonexistent/dir/app.exe'.\n");
    EXPECT_EQ(r.exit_code, 2);
}

}  // namespace
