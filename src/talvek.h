// libtalvek: whether every DLL a module needs can be loaded. A run checks modules with the
// options it was made with; what it finds reaches the caller as events, and the run keeps a
// record of it for the summary, the documents and the list of DLLs to ship.
//
//     talvek::OPTIONS opt;
//     opt.recurse = true;
//     talvek::RUN_PTR run = talvek::make_run(opt, &myListener);
//     talvek::CHECK_RESULT r = talvek::check(run.get(), "app.exe");
//
// Nothing in the library ends the process or keeps state outside its runs; a failure that
// ends a run comes back as a value.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/options.h"
#include "common/report.h"

namespace talvek {

struct RUN;
struct RUN_DELETER {
    void operator()(RUN* run) const;
};
typedef std::unique_ptr<RUN, RUN_DELETER> RUN_PTR;

// A run with opt, whose events go to listener (null: nowhere). Each event carries the level
// of the module it concerns. The run remembers what it reads of the file system, so files
// must not change while it checks; make a new run after writing any.
RUN_PTR make_run(const OPTIONS& opt, REPORT_SINK* listener);

// The outcome of a check. rc is the named module's result code. fRunEnded: a failure ended
// the run (the PE format error, no memory, a named file that cannot be opened); rc is then
// the exit code, error the failure, and the run checks nothing more.
struct CHECK_RESULT {
    int32_t rc = RC_OK;
    bool fRunEnded = false;
    REPORT_ERROR error = ERR_READING;
};

// Checks the module file at path as the module named, and with opt.recurse every DLL it needs.
CHECK_RESULT check(RUN* run, const char* path);

// With opt.several_modules: checks every module file the names stand for (a folder for each
// file in it and its subfolders that starts with "MZ", in byte order of the paths), each as
// if named alone. rc is the largest of their results.
CHECK_RESULT check_named(RUN* run, const std::vector<std::string>& names);

// The number of problems the run met: what -e counts.
size_t missing_count(const RUN* run);

// The number of DLLs the run reached: the final list of -l.
size_t needed_count(const RUN* run);

// The text the tool prints for the events of a run: a listener that writes them to standard
// output and standard error, indented by level.
std::unique_ptr<REPORT_SINK> make_text_report(const OPTIONS& opt);

// Writers over a run's record, as the tool prints them: the final list of the DLLs needed
// (named: the names as typed, joined), the -e summary, the -j document (with the command
// line and the exit code), the -g graph and the --ship list.
void print_needed_list(const RUN* run, const std::string& named, FILE* out);
void print_missing_summary(const RUN* run, FILE* out);
void print_json_report(const RUN* run, FILE* out, int argc, char** argv, int32_t exit_code);
void print_dot_graph(const RUN* run, FILE* out);
void print_ship_list(const RUN* run, FILE* out);

// What --ship and --deploy cannot bring: each problem of the run but the DLLs found to ship,
// as the -e summary words it, one line each. Returns how many it printed.
size_t print_unshippable(const RUN* run, FILE* out);

// --deploy: copies the DLLs to ship into the folder dir (with --ship=all the modules named
// first), saying on standard output what became of each. A file of the same name with other
// bytes is replaced only with fForce. Returns 0, or RC_NOT_DEPLOYED when any was refused or
// could not be copied (said on standard error).
int32_t deploy_ship_list(const RUN* run, const std::string& dir, bool fForce);

// The command line read: the options, the module names, and whether the tool checks them
// (fRun) or has answered already (help, version, or an error said on standard error), ending
// with rc.
struct COMMAND_LINE {
    OPTIONS opt;
    std::vector<std::string> names;
    bool fRun = false;
    int32_t rc = RC_OK;
};
COMMAND_LINE parse_command_line(int argc, char** argv);

// The tool's version, as --version and -j give it.
extern const char TalvekVersion[];

}  // namespace talvek
