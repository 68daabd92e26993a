// The library in-process: a check as the tool makes it, and the read of a PE module's headers
// and import directory as the processor does before its load test, so tests can look at the
// names and lists it built.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "pe/pe_internal.h"
#include "support/module_writer.h"
#include "talvek.h"

// Checks the module at path with opt as the tool checks the module named (no final list, no
// summary), its text report on the captured streams; fills out and err when given, and hands
// over the run when asked.
talvek::CHECK_RESULT check_in_process(const std::string& path, const talvek::OPTIONS& opt, std::string* out = nullptr,
                                      std::string* err = nullptr, talvek::RUN_PTR* keep = nullptr);

// The module record after pe_read_module on the image b (its count line is swallowed);
// *rc is the result. The record owns and releases its names and lists. fDelay: as with -d,
// the delay-load tables too.
std::unique_ptr<talvek::PE_MODULE> read_pe_in_process(const BYTES& b, int32_t* rc, bool fDelay = false);
