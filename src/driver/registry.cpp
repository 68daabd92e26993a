// The checked-module registry: a list in request order with a hash index beside it.
#include "driver/registry.h"

#include <cstdlib>
#include <cstring>

#include "common/hash_index.h"
#include "driver/driver.h"
#include "platform/fs.h"

namespace talvek {

PLOADED_FILE pLoadedFiles = nullptr;
int32_t cLoadedFiles = 0;

static PLOADED_FILE pLastFile = nullptr;
static HASH_INDEX FileIndex{};

static HASH_SLOT* lookup(const char* filespec) {
    size_t n = strlen(filespec);
    return hash_lookup(&FileIndex, hash_bytes(filespec, n), 0, [&](void* p) {
        return strcmp(static_cast<PLOADED_FILE>(p)->filespec, filespec) == 0;
    });
}

BOOL find_file(const char* filespec) {
    HASH_SLOT* slot = lookup(filespec);
    return slot && slot->p ? TRUE : FALSE;
}

FILE* add_file(const char* filespec, BOOL fAbort) {
    size_t n = strlen(filespec);
    // The record and its name are one block; the index makes room first, so a record
    // is entered whole or not at all.
    PLOADED_FILE pFile = nullptr;
    if (n < SIZE_MAX - sizeof(LOADED_FILE) && hash_reserve_one(&FileIndex))
        pFile = static_cast<PLOADED_FILE>(tool_alloc(sizeof(LOADED_FILE) + n + 1));
    if (!pFile) {
        report_error(ERR_NO_MORE_FILES, RC_NOT_PROCESSED);
        return nullptr;
    }
    FILE* f = open_for_reading(filespec);
    if (!f) {
        report_error(ERR_OPEN_FAILED, RC_OPEN_FAILED, filespec);
        if (fAbort) XExit(RC_OPEN_FAILED);
    }
    char* name = reinterpret_cast<char*>(pFile + 1);
    memcpy(name, filespec, n + 1);
    pFile->pNext = nullptr;
    pFile->filespec = name;
    pFile->hFile = f;
    if (pLastFile)
        pLastFile->pNext = pFile;
    else
        pLoadedFiles = pFile;
    pLastFile = pFile;
    cLoadedFiles++;
    HASH_SLOT* slot = lookup(filespec);
    *slot = HASH_SLOT{pFile, uint32_t(hash_bytes(filespec, n)), 0};
    FileIndex.count++;
    return f;
}

FILE* get_file(const char* filespec, BOOL fAbort) {
    if (find_file(filespec)) return nullptr;
    return add_file(filespec, fAbort);
}

void reset_registry() {
    for (PLOADED_FILE p = pLoadedFiles; p;) {
        PLOADED_FILE next = p->pNext;
        free(p);
        p = next;
    }
    pLoadedFiles = pLastFile = nullptr;
    cLoadedFiles = 0;
    hash_free(&FileIndex);
}

}  // namespace talvek
