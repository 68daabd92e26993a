// The text report of a run, made from its events.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "common/report.h"

namespace talvek {

// Prints what ev says as the tool's text lines: listings and load outcomes on standard
// output, failures on standard error, each at the indentation of the current level.
void print_event(const REPORT_EVENT& ev);

// Forgets the modules and the import the report was in, for a fresh run.
void reset_text_report();

// A name from a module file or the file system as it is written to stream: unchanged, except
// on a terminal, where a name could hold an escape sequence that rewrites it: there bytes
// 0x00-0x1F and 0x7F are written as \xNN and a backslash as \\.
std::string shown(std::string_view name, FILE* stream);

}  // namespace talvek
