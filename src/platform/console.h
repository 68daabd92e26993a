// One key from the console, for the wait of option -k.
#pragma once

namespace talvek {

// Waits for one key press without echo and without waiting for a line end. When standard
// input is not a console, one byte is read, and end of input counts as the key.
void read_console_key();

}  // namespace talvek
