// The key wait on Windows: the console routine that reads one key without echo.
#include <conio.h>

#include "platform/console.h"

namespace talvek {

void read_console_key() { (void)_getch(); }

}  // namespace talvek
