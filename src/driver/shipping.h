// --ship and --deploy: the DLLs a program must bring to a clean Windows, printed or copied.
#pragma once

#include <cstdint>
#include <cstdio>

namespace talvek {

// Prints the files of the DLLs to ship, one path per line, in the order the run met them.
void print_ship_list(FILE* out);

// Copies the DLLs to ship into the folder dir, saying on standard output what became of each.
// A file of the same name with other bytes is replaced only with fForce. Returns 0, or
// RC_NOT_DEPLOYED when any was refused or could not be copied (said on standard error); a
// copy that fails leaves nothing half-written.
int32_t deploy_ship_list(const char* dir, bool fForce);

}  // namespace talvek
