// Shared pieces of the fuzz targets and their replay: the DLL folder, the module prefix,
// and a check in-process.
#pragma once

#include <cstdint>
#include <string>

#include "support/module_writer.h"

// Makes a fresh folder holding the format's DLLs, moves into it and names it in WINEPATH.
// Returns its path.
// (The tool's output is left alone: libFuzzer silences it with -close_fd_mask=3, and a
// replay under CTest keeps it for the log.)
std::string fuzz_prepare_folder(char format);

// A valid DOS header and the format's signature, which fuzz input follows.
BYTES fuzz_module_prefix(char format);

bool fuzz_write(const std::string& path, const BYTES& bytes);

// Checks filespec in a fresh run with the options chosen by the bits of opts, as a DLL would
// be (a file that cannot be opened does not end the run).
void fuzz_run_check(const char* filespec, uint8_t opts);

// The DLLs of the fixed folder for one format: names and bytes.
struct FUZZ_FILE {
    std::string name;
    BYTES bytes;
};
std::vector<FUZZ_FILE> fuzz_dll_folder(char format);

// Seed modules for one format (the valid modules a corpus starts from).
std::vector<FUZZ_FILE> fuzz_seeds(char format);
