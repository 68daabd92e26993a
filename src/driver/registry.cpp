// The checked-module registry: a list in request order with a hash index beside it.
#include "driver/registry.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "common/hash_index.h"
#include "driver/driver.h"
#include "platform/fs.h"

namespace talvek {

PLOADED_FILE pLoadedFiles = nullptr;
int32_t cLoadedFiles = 0;

static PLOADED_FILE pLastFile = nullptr;
static HASH_INDEX FileIndex{};
static std::vector<PLOADED_FILE> NeededFiles;
// With -m: the path by which the DLL search would reach each module named (absolute and
// normalised), so that one named before is not checked again when an import leads to it.
static std::unordered_map<std::string, PLOADED_FILE> NamedPaths;

// A record reached as a DLL (below the named module's level) joins the DLLs needed once.
static void mark_needed(PLOADED_FILE p) {
    if (p->fNeeded || level < 2) return;
    p->fNeeded = true;
    NeededFiles.push_back(p);
}

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
    pFile->fNeeded = false;
    mark_needed(pFile);
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
    HASH_SLOT* slot = lookup(filespec);
    PLOADED_FILE p = slot && slot->p ? static_cast<PLOADED_FILE>(slot->p) : nullptr;
    if (!p && !NamedPaths.empty()) {
        auto named = NamedPaths.find(filespec);
        if (named != NamedPaths.end()) p = named->second;
    }
    if (p) {
        // With -m a module named before is needed as soon as another reaches it as a DLL.
        if (several_modules) mark_needed(p);
        return nullptr;
    }
    return add_file(filespec, fAbort);
}

FILE* get_named_file(const char* filespec, int32_t* rc) {
    int32_t cBefore = cLoadedFiles;
    FILE* f = find_file(filespec) ? open_for_reading(filespec) : add_file(filespec, FALSE);
    if (cLoadedFiles > cBefore) {
        std::string path = normal_path(filespec);
        if (!find_file(path.c_str())) NamedPaths.emplace(std::move(path), pLastFile);
    }
    if (f) return f;
    // A record entered without a stream, or one met before: the open failed.
    *rc = cLoadedFiles > cBefore || find_file(filespec) ? RC_OPEN_FAILED : RC_NOT_PROCESSED;
    if (*rc == RC_OPEN_FAILED && cLoadedFiles == cBefore) report_error(ERR_OPEN_FAILED, RC_OPEN_FAILED, filespec);
    return nullptr;
}

const std::vector<PLOADED_FILE>& needed_files() { return NeededFiles; }

void reset_registry() {
    for (PLOADED_FILE p = pLoadedFiles; p;) {
        PLOADED_FILE next = p->pNext;
        free(p);
        p = next;
    }
    pLoadedFiles = pLastFile = nullptr;
    NeededFiles.clear();
    NamedPaths.clear();
    cLoadedFiles = 0;
    hash_free(&FileIndex);
}

}  // namespace talvek
