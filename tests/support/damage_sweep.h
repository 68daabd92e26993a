// In-process damage sweeps: a module cut at every length and with bits flipped must end in a
// defined result code with output that ends cleanly, a valid -j document that agrees with the
// run, and, for a PE module, a verdict on its own image that agrees with the loader's view of
// the same bytes as a DLL; and no sanitizer report.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/tool_runner.h"

struct SWEEP {
    BYTES image;                         // the valid module, checked as app.exe
    std::vector<TOOL_FILE> folder;       // DLLs beside it
    std::vector<std::string> options;    // option letters to set, as on the command line
    std::set<int> allowed;               // result codes the damaged module may end in
    std::vector<std::pair<size_t, size_t>> flip;   // byte ranges whose bits are flipped
    bool allow_unterminated = false;     // the PE format error ends without a newline
    // Where sampling starts: every length up to it is cut and every bit up to it flipped;
    // past it every seventh length, and one bit of each byte, in turn. The environment
    // variable TALVEK_SWEEP_ALL=1 makes every sweep whole.
    size_t dense = SIZE_MAX;
    bool fPe = false;                    // compare the verdict with the loader's
};

// One check in-process, as the tool runs it for the named module, with the options as
// command-line letters; a failure that ends the run comes back as its code. Fills out and err.
int check_module_in_process(const std::string& dir, const BYTES& image, const std::vector<std::string>& options,
                            std::string* out, std::string* err);

// Runs the sweep with gtest expectations.
void run_truncation_sweep(const SWEEP& s);
void run_bit_flip_sweep(const SWEEP& s);
