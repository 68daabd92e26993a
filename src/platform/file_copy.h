// Copying a file into a folder for --deploy, leaving nothing half-written.
#pragma once

#include <string>

namespace talvek {

// What copy_file_into did: copied the file in (COPY_NEW), found an identical file there and
// left it (COPY_IDENTICAL), found a different one and left it (COPY_REFUSED), replaced a
// different one as forced (COPY_REPLACED), or failed (COPY_FAILED: the target, if any, is
// as it was).
enum COPY_OUTCOME { COPY_NEW, COPY_IDENTICAL, COPY_REFUSED, COPY_REPLACED, COPY_FAILED };

struct COPY_RESULT {
    COPY_OUTCOME outcome;
    std::string target;   // the path of the file in the folder
    std::string failed;   // with COPY_FAILED: src or target, whichever the failing call was on
    std::string why;      // with COPY_FAILED: the system's text for the error
};

// Copies the file src into the folder dir under its base name. A file of that name with the
// same bytes is left alone; one with other bytes is replaced only with fForce. The copy is
// written under a temporary name in dir and renamed over the target when complete, so the
// target is never seen half-written; the temporary is removed on every failure.
COPY_RESULT copy_file_into(const std::string& src, const std::string& dir, bool fForce);

}  // namespace talvek
