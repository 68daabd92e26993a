// The checked-module registry: a list in request order with a hash index beside it.
#include "driver/registry.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/fs.h"

namespace talvek {

// A record reached as a DLL (below the named module's level) joins the DLLs needed once.
static void mark_needed(REGISTRY* reg, PLOADED_FILE p, uint32_t level) {
    if (p->fNeeded || level < 2) return;
    p->fNeeded = true;
    reg->NeededFiles.push_back(p);
}

static HASH_SLOT* lookup(REGISTRY* reg, const char* filespec) {
    size_t n = strlen(filespec);
    return hash_lookup(&reg->FileIndex, hash_bytes(filespec, n), 0, [&](void* p) {
        return strcmp(static_cast<PLOADED_FILE>(p)->filespec, filespec) == 0;
    });
}

bool find_file(REGISTRY* reg, const char* filespec) {
    HASH_SLOT* slot = lookup(reg, filespec);
    return slot && slot->p;
}

FILE* add_file(REGISTRY* reg, REPORT_SINK* sink, const char* filespec, uint32_t level, int32_t* rc) {
    size_t n = strlen(filespec);
    // The record and its name are one block; the index makes room first, so a record
    // is entered whole or not at all.
    PLOADED_FILE pFile = nullptr;
    if (n < SIZE_MAX - sizeof(LOADED_FILE) && hash_reserve_one(&reg->FileIndex))
        pFile = static_cast<PLOADED_FILE>(tool_alloc(reg->FileIndex.alloc, sizeof(LOADED_FILE) + n + 1));
    if (!pFile) {
        *rc = report_error(sink, ERR_NO_MORE_FILES, RC_NOT_PROCESSED);
        return nullptr;
    }
    FILE* f = open_for_reading(filespec);
    if (!f) *rc = report_error(sink, ERR_OPEN_FAILED, RC_OPEN_FAILED, filespec);
    char* name = reinterpret_cast<char*>(pFile + 1);
    memcpy(name, filespec, n + 1);
    pFile->pNext = nullptr;
    pFile->filespec = name;
    pFile->hFile = f;
    pFile->fNeeded = false;
    mark_needed(reg, pFile, level);
    if (reg->pLastFile)
        reg->pLastFile->pNext = pFile;
    else
        reg->pLoadedFiles = pFile;
    reg->pLastFile = pFile;
    reg->cLoadedFiles++;
    HASH_SLOT* slot = lookup(reg, filespec);
    *slot = HASH_SLOT{pFile, uint32_t(hash_bytes(filespec, n)), 0};
    reg->FileIndex.count++;
    return f;
}

FILE* get_file(REGISTRY* reg, REPORT_SINK* sink, const char* filespec, uint32_t level, bool fSeveral, int32_t* rc) {
    HASH_SLOT* slot = lookup(reg, filespec);
    PLOADED_FILE p = slot && slot->p ? static_cast<PLOADED_FILE>(slot->p) : nullptr;
    if (!p && !reg->NamedPaths.empty()) {
        auto named = reg->NamedPaths.find(filespec);
        if (named != reg->NamedPaths.end()) p = named->second;
    }
    if (p) {
        if (fSeveral) mark_needed(reg, p, level);
        *rc = RC_NOT_PROCESSED;
        return nullptr;
    }
    return add_file(reg, sink, filespec, level, rc);
}

FILE* get_named_file(REGISTRY* reg, REPORT_SINK* sink, const char* filespec, uint32_t level, int32_t* rc) {
    int32_t cBefore = reg->cLoadedFiles;
    FILE* f = find_file(reg, filespec) ? open_for_reading(filespec) : add_file(reg, sink, filespec, level, rc);
    if (f) return f;
    // A record entered without a stream, or one met before: the open failed.
    *rc = reg->cLoadedFiles > cBefore || find_file(reg, filespec) ? RC_OPEN_FAILED : RC_NOT_PROCESSED;
    if (*rc == RC_OPEN_FAILED && reg->cLoadedFiles == cBefore) report_error(sink, ERR_OPEN_FAILED, RC_OPEN_FAILED, filespec);
    return nullptr;
}

void note_named_path(REGISTRY* reg, const char* filespec) {
    HASH_SLOT* slot = lookup(reg, filespec);
    std::string path = normal_path(filespec);
    if (slot && slot->p && !find_file(reg, path.c_str())) reg->NamedPaths.emplace(std::move(path), static_cast<PLOADED_FILE>(slot->p));
}

REGISTRY::~REGISTRY() {
    for (PLOADED_FILE p = pLoadedFiles; p;) {
        PLOADED_FILE next = p->pNext;
        free(p);
        p = next;
    }
    hash_free(&FileIndex);
}

}  // namespace talvek
