// The text report of a run, made from its events.
#pragma once

#include "common/report.h"

namespace talvek {

// Prints what ev says as the tool's text lines: listings and load outcomes on standard
// output, failures on standard error, each at the indentation of the current level.
void print_event(const REPORT_EVENT& ev);

// Forgets the modules and the import the report was in, for a fresh run.
void reset_text_report();

}  // namespace talvek
