// Growth and hashing for the pointer index.
#include "common/hash_index.h"

#include <cstdlib>
#include <cstring>

#include "common/types.h"

namespace talvek {

uint64_t hash_mix(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    x ^= x >> 31;
    return x;
}

uint64_t hash_bytes(const char* s, size_t n) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < n; i++) {
        h ^= uint8_t(s[i]);
        h *= 0x100000001b3ull;
    }
    return hash_mix(h);
}

bool hash_reserve_one(HASH_INDEX* h) {
    if (h->cap != 0 && (h->count + 1) * 2 <= h->cap) return true;
    size_t cap = h->cap ? h->cap * 2 : 16;
    if (cap < h->cap) return false;
    HASH_SLOT* slots = static_cast<HASH_SLOT*>(tool_alloc_array(h->alloc, cap, sizeof(HASH_SLOT)));
    if (!slots) return false;
    memset(static_cast<void*>(slots), 0, cap * sizeof(HASH_SLOT));
    size_t mask = cap - 1;
    for (size_t k = 0; k < h->cap; k++) {
        const HASH_SLOT& old = h->slots[k];
        if (!old.p) continue;
        size_t i = size_t(old.hash) & mask;
        while (slots[i].p) i = (i + 1) & mask;
        slots[i] = old;
    }
    free(h->slots);
    h->slots = slots;
    h->cap = cap;
    return true;
}

void hash_free(HASH_INDEX* h) {
    free(h->slots);
    ALLOC_FN alloc = h->alloc;
    *h = HASH_INDEX{};
    h->alloc = alloc;
}

}  // namespace talvek
