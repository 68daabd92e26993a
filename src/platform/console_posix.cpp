// The console on POSIX systems: the key wait (non-canonical mode without echo on a terminal)
// and setting standard output aside.
#include <cerrno>
#include <cstdio>

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "platform/console.h"

namespace talvek {

void read_console_key() {
    char c;
    struct termios saved;
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0) {
        struct termios raw = saved;
        raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        while (read(STDIN_FILENO, &c, 1) < 0 && errno == EINTR) {
        }
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        return;
    }
    // Not a terminal: one byte, or end of input, or an error, all count as the key.
    (void)!read(STDIN_FILENO, &c, 1);
}

FILE* set_aside_stdout() {
    fflush(stdout);
    int fd = dup(STDOUT_FILENO);
    FILE* doc = fd < 0 ? nullptr : fdopen(fd, "w");
    if (!doc) {
        if (fd >= 0) close(fd);
        return nullptr;
    }
    if (!freopen("/dev/null", "w", stdout)) {
        fclose(doc);
        return nullptr;
    }
    return doc;
}

bool is_terminal(FILE* stream) { return isatty(fileno(stream)) == 1; }

bool output_streams_share_file() {
    struct stat out, err;
    if (fstat(STDOUT_FILENO, &out) != 0 || fstat(STDERR_FILENO, &err) != 0) return true;
    return out.st_dev == err.st_dev && out.st_ino == err.st_ino;
}

}  // namespace talvek
