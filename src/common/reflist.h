// Per-DLL lists of imported entries, one list per imported module, newest entry first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/hash_index.h"
#include "common/types.h"

namespace talvek {

constexpr uint8_t REF_BY_NAME = 1;
constexpr uint8_t REF_BY_ORDINAL = 2;

// One imported entry, told apart from the others by its type and key: for REF_BY_ORDINAL the
// ordinal; for REF_BY_NAME where its name is, an LX procedure-name-table offset, or the
// address of a PE module's copy of the name (ref_name_copy), which is why the key is as wide
// as a pointer.
struct REF_NODE32 {
    uintptr_t key;
    uint8_t type;
    REF_NODE32* next;
};

inline const char* ref_name_copy(const REF_NODE32* n) { return reinterpret_cast<const char*>(n->key); }

// An entry of an NE module: the ordinal, or the offset of its name in the imported-names table.
struct REF_NODE {
    uint16_t key;
    uint8_t type;
    REF_NODE* next;
};

struct REF_BLOCK;   // node storage, released with the table

// The list heads of one module, indexed 1..cMods (head 0 exists and is never reported),
// with the index that finds an entry already present in O(1) expected. The processor
// releases it at its common end; the destructor only covers a harness that unwinds
// through a processor, so a table is never copied.
template <class NODE>
struct REF_TABLE {
    NODE** heads = nullptr;
    uint32_t cMods = 0;
    HASH_INDEX index{};
    REF_BLOCK* blocks = nullptr;
    ALLOC_FN alloc = nullptr;   // the allocator of the heads, the index and the nodes

    REF_TABLE() = default;
    REF_TABLE(const REF_TABLE&) = delete;
    REF_TABLE& operator=(const REF_TABLE&) = delete;
    ~REF_TABLE();
};
typedef REF_TABLE<REF_NODE32> REF_TABLE32;
typedef REF_TABLE<REF_NODE> REF_TABLE16;

// Takes cMods + 1 empty heads from alloc. False when they cannot be had (the caller's code 6).
bool alloc_ref_table(REF_TABLE32* t, uint64_t cMods, ALLOC_FN alloc);
bool alloc_ref_table(REF_TABLE16* t, uint64_t cMods, ALLOC_FN alloc);

// Enters an entry once per list, at the head; an entry already present does not move.
// False when a node cannot be had, which ends the run ("Insufficient memory.\n", exit code 6:
// the caller reports it). A module number outside 0..cMods is ignored, so no head outside the
// table is touched.
bool AddRelocEntry32(REF_TABLE32* t, uint16_t mod, uintptr_t key, uint8_t type);
bool AddRelocEntry(REF_TABLE16* t, uint16_t mod, uint16_t key, uint8_t type);

// Releases every node, the heads and the index. Safe on a table never taken.
void free_ref_lists(REF_TABLE32* t);
void free_ref_lists(REF_TABLE16* t);

}  // namespace talvek
