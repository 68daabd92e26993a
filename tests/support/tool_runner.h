// Runs the built talvek binary in a fresh temporary directory and captures what it prints.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/module_writer.h"

// A file to lay out before the run: a path relative to the run directory (parents are
// made), and its bytes. A name ending in '/' makes a directory instead.
struct TOOL_FILE {
    std::string name;
    BYTES bytes;
};

struct RUN_OPTIONS {
    std::string input;                                        // standard input; empty: at its end at once
    bool combined = false;                                    // both streams into `both`, in order
    std::vector<std::pair<std::string, std::string>> env;     // variables set for the run
    std::string workdir;                                      // subdirectory to run in, relative
    int timeout_s = 120;
    size_t keep_out_tail = 0;                                 // keep only the last bytes of `out` (0: all)
    size_t stack_mb = 0;                                      // stack limit for the run (0: inherited)
    // WINEPATH is set to "" unless env sets it, so Wine's own folder never takes part;
    // true leaves it unset, for a run that searches the machine's Wine on purpose.
    bool system_wine = false;
    // Standard output on a pseudo-terminal in raw mode rather than a pipe.
    bool terminal = false;
};

// Options with only standard input set.
inline RUN_OPTIONS with_input(const std::string& input) {
    RUN_OPTIONS o;
    o.input = input;
    return o;
}

struct TOOL_RUN {
    std::string out;    // standard output (empty with combined)
    std::string err;    // standard error (empty with combined)
    std::string both;   // both streams in order (only with combined)
    int exit_code;      // the exit status, or 128 + the signal that ended the process
    std::string dir;    // the absolute run directory, already removed
};

TOOL_RUN run_talvek(const std::vector<std::string>& args, const std::vector<TOOL_FILE>& files = {},
                    const RUN_OPTIONS& opt = {});

// The same, over a directory the caller made and keeps (for checks that need the files).
TOOL_RUN run_talvek_in(const std::string& dir, const std::vector<std::string>& args, const RUN_OPTIONS& opt = {});

// A fresh, empty temporary directory (absolute path): under TMPDIR, else in memory where the
// system has /dev/shm, else under /tmp; and its removal with all it holds.
std::string make_temp_dir();
void remove_tree(const std::string& dir);

// Lays out files below dir as run_talvek does.
void write_files(const std::string& dir, const std::vector<TOOL_FILE>& files);

// A folder a test keeps until it ends, so that expected output can name its path; each run
// lays out its files there first.
struct TEST_FOLDER {
    std::string dir = make_temp_dir();
    ~TEST_FOLDER() { remove_tree(dir); }
    TOOL_RUN run(const std::vector<std::string>& args, const std::vector<TOOL_FILE>& files = {},
                 const RUN_OPTIONS& opt = {}) {
        write_files(dir, files);
        return run_talvek_in(dir, args, opt);
    }
};

// The bytes of the file at path (none when it cannot be read), and the names in a folder,
// sorted.
BYTES read_bytes(const std::string& path);
std::vector<std::string> dir_entries(const std::string& dir);
