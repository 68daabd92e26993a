// The console: one key for the wait of option -k, and standard output set aside for -j and -g.
#pragma once

#include <cstdio>

namespace talvek {

// Waits for one key press without echo and without waiting for a line end. When standard
// input is not a console, one byte is read, and end of input counts as the key.
void read_console_key();

// Points standard output at the null device and returns a stream to where it went before,
// for a document that replaces the text report. Null when that cannot be done.
FILE* set_aside_stdout();

// True when stream writes to a terminal.
bool is_terminal(FILE* stream);

// True when standard output and standard error are the same file, device or pipe (or when
// that cannot be told), so the order of their writes is visible in one place.
bool output_streams_share_file();

}  // namespace talvek
