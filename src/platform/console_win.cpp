// The console on Windows: the key wait (the console routine that reads one key without echo)
// and setting standard output aside.
#include <conio.h>
#include <io.h>

#include <cstdio>

#include "platform/console.h"

namespace talvek {

void read_console_key() { (void)_getch(); }

FILE* set_aside_stdout() {
    fflush(stdout);
    int fd = _dup(_fileno(stdout));
    FILE* doc = fd < 0 ? nullptr : _fdopen(fd, "w");
    if (!doc) {
        if (fd >= 0) _close(fd);
        return nullptr;
    }
    if (!freopen("NUL", "w", stdout)) {
        fclose(doc);
        return nullptr;
    }
    return doc;
}

bool is_terminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

// Loaded DLLs may write to the console themselves, so the streams stay unbuffered here.
bool output_streams_share_file() { return true; }

}  // namespace talvek
