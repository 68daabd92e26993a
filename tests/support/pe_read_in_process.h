// Reads a PE module's headers and import directory in-process, as the processor does
// before its load test, so tests can look at the names and lists it built.
#pragma once

#include <cstdint>
#include <memory>

#include "pe/pe_internal.h"
#include "support/module_writer.h"

// The module record after pe_read_module on the image b (its count line is swallowed);
// *rc is the result. The record owns and releases its names and lists. fDelay: as with -d,
// the delay-load tables too.
std::unique_ptr<talvek::PE_MODULE> read_pe_in_process(const BYTES& b, int32_t* rc, bool fDelay = false);
