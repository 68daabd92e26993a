// The name copies of one PE module: blocks that double, freed together.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/types.h"
#include "pe/pe_internal.h"

namespace talvek {

struct NAME_BLOCK {
    NAME_BLOCK* next;
    size_t used;
    size_t cap;
};
// Blocks double from the first to the last size: a module with a few names, as every
// module on a long recursion path may be, keeps a small block while its DLLs are checked.
constexpr size_t NAME_BLOCK_FIRST = 256;
constexpr size_t NAME_BLOCK_SIZE = 16384;

char* pool_copy(NAME_POOL* pool, std::string_view s) {
    size_t need = s.size() + 1;
    NAME_BLOCK* b = pool->head;
    if (!b || b->cap - b->used < need) {
        size_t cap = std::max(b ? std::min(2 * b->cap, NAME_BLOCK_SIZE) : NAME_BLOCK_FIRST, need);
        b = static_cast<NAME_BLOCK*>(tool_alloc(pool->alloc, sizeof(NAME_BLOCK) + cap));
        if (!b) return nullptr;
        b->next = pool->head;
        b->used = 0;
        b->cap = cap;
        pool->head = b;
    }
    char* p = reinterpret_cast<char*>(b + 1) + b->used;
    if (!s.empty()) memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    b->used += need;
    return p;
}

void pool_free(NAME_POOL* pool) {
    for (NAME_BLOCK* b = pool->head; b;) {
        NAME_BLOCK* next = b->next;
        free(b);
        b = next;
    }
    pool->head = nullptr;
}

}  // namespace talvek
