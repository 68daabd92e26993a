// Insertion into the reference lists, and their storage.
#include "common/reflist.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/types.h"

namespace talvek {

// Nodes are carved from blocks that double in size up to a cap, so a module with a
// million entries takes a few dozen allocations instead of a million.
struct REF_BLOCK {
    REF_BLOCK* next;
    size_t used;
    size_t cap;
    size_t align_pad;
};
constexpr size_t REF_BLOCK_FIRST = 16;
constexpr size_t REF_BLOCK_MAX = 65536;

template <class NODE>
static void free_table(REF_TABLE<NODE>* t);

template <class NODE>
static bool alloc_table(REF_TABLE<NODE>* t, uint64_t cMods, ALLOC_FN alloc) {
    free_table(t);
    t->alloc = alloc;
    t->index.alloc = alloc;
    if (cMods >= UINT32_MAX) return false;
    NODE** heads = static_cast<NODE**>(tool_alloc_array(alloc, cMods + 1, sizeof(NODE*)));
    if (!heads) return false;
    for (uint64_t i = 0; i <= cMods; i++) heads[i] = nullptr;
    t->heads = heads;
    t->cMods = uint32_t(cMods);
    return true;
}

template <class NODE>
static NODE* new_node(REF_TABLE<NODE>* t) {
    REF_BLOCK* b = t->blocks;
    if (!b || b->used == b->cap) {
        size_t cap = b ? std::min(b->cap * 2, REF_BLOCK_MAX) : REF_BLOCK_FIRST;
        b = static_cast<REF_BLOCK*>(tool_alloc(t->alloc, sizeof(REF_BLOCK) + cap * sizeof(NODE)));
        if (!b) return nullptr;
        b->next = t->blocks;
        b->used = 0;
        b->cap = cap;
        t->blocks = b;
    }
    return reinterpret_cast<NODE*>(b + 1) + b->used++;
}

template <class NODE, class NUM>
static bool add_entry(REF_TABLE<NODE>* t, uint16_t mod, NUM key, uint8_t type) {
    if (!t->heads || mod > t->cMods) return true;
    // The low four bits of the number stay the low bits of the hash, so entries with
    // neighbouring numbers (ordinals are mostly dense) share a few cache lines of the index;
    // the rest of the key is mixed, so no pattern of numbers piles up in one place.
    uint64_t hash = hash_mix((uint64_t(key) >> 4 << 8 | type) ^ hash_mix(mod)) << 4 | (uint64_t(key) & 15);
    auto same = [&](void* p) {
        const NODE* n = static_cast<const NODE*>(p);
        return n->key == key && n->type == type;
    };
    HASH_SLOT* slot = hash_lookup(&t->index, hash, mod, same);
    if (slot && slot->p) return true;
    if (!hash_reserve_one(&t->index)) return false;
    NODE* node = new_node(t);
    if (!node) return false;
    node->key = key;
    node->type = type;
    node->next = t->heads[mod];
    t->heads[mod] = node;
    slot = hash_lookup(&t->index, hash, mod, same);
    *slot = HASH_SLOT{node, uint32_t(hash), mod};
    t->index.count++;
    return true;
}

template <class NODE>
static void free_table(REF_TABLE<NODE>* t) {
    for (REF_BLOCK* b = t->blocks; b;) {
        REF_BLOCK* next = b->next;
        free(b);
        b = next;
    }
    free(t->heads);
    hash_free(&t->index);
    t->heads = nullptr;
    t->cMods = 0;
    t->blocks = nullptr;
}

template <>
REF_TABLE<REF_NODE32>::~REF_TABLE() {
    free_table(this);
}
template <>
REF_TABLE<REF_NODE>::~REF_TABLE() {
    free_table(this);
}

bool alloc_ref_table(REF_TABLE32* t, uint64_t cMods, ALLOC_FN alloc) { return alloc_table(t, cMods, alloc); }
bool alloc_ref_table(REF_TABLE16* t, uint64_t cMods, ALLOC_FN alloc) { return alloc_table(t, cMods, alloc); }

bool AddRelocEntry32(REF_TABLE32* t, uint16_t mod, uintptr_t key, uint8_t type) {
    return add_entry(t, mod, key, type);
}

bool AddRelocEntry(REF_TABLE16* t, uint16_t mod, uint16_t key, uint8_t type) {
    return add_entry(t, mod, key, type);
}

void free_ref_lists(REF_TABLE32* t) { free_table(t); }
void free_ref_lists(REF_TABLE16* t) { free_table(t); }

}  // namespace talvek
