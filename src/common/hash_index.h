// An open-addressing index of pointers beside the registry and the reference lists,
// so that "is it there already" costs O(1) expected instead of a walk of the list.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/types.h"

namespace talvek {

struct HASH_SLOT {
    void* p;        // the indexed record; null marks an empty slot
    uint32_t hash;  // the low half of the key's hash, to skip most comparisons and to regrow
    uint32_t tag;   // a second key part kept beside the hash (the module number of a reference)
};

struct HASH_INDEX {
    HASH_SLOT* slots;   // cap slots, cap a power of two or 0
    size_t cap;
    size_t count;
    ALLOC_FN alloc;     // the allocator of the slots (null: malloc)
};

// FNV-1a over n bytes, then mixed.
uint64_t hash_bytes(const char* s, size_t n);
// A 64-bit finaliser that spreads every input bit over the result.
uint64_t hash_mix(uint64_t x);

// Makes room for one more entry, keeping at most half the slots used. False when the
// larger slot array cannot be had; the index is then unchanged.
bool hash_reserve_one(HASH_INDEX* h);

// The slot of the entry with this hash and tag that eq accepts, or else the empty slot
// where such an entry goes. Null only for an index that has no slots yet.
template <class EQ>
HASH_SLOT* hash_lookup(HASH_INDEX* h, uint64_t hash, uint32_t tag, EQ eq) {
    if (h->cap == 0) return nullptr;
    size_t mask = h->cap - 1;
    for (size_t i = size_t(hash) & mask;; i = (i + 1) & mask) {
        HASH_SLOT* s = &h->slots[i];
        if (!s->p) return s;
        if (s->hash == uint32_t(hash) && s->tag == tag && eq(s->p)) return s;
    }
}

void hash_free(HASH_INDEX* h);

}  // namespace talvek
