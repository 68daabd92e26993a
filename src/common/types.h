// The system's basic types, the owners of streams and heap blocks, and the allocator seam.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace talvek {

struct FILE_CLOSER {
    void operator()(FILE* f) const {
        if (f) fclose(f);
    }
};
struct MEM_FREER {
    void operator()(void* p) const { free(p); }
};
typedef std::unique_ptr<FILE, FILE_CLOSER> FILE_PTR;
template <class T>
using MEM_PTR = std::unique_ptr<T, MEM_FREER>;

// Every allocation whose failure the tool reports goes through the run's allocator, so tests
// can make any of them fail. Null is malloc; an allocator returning null stands for an
// exhausted heap.
typedef void* (*ALLOC_FN)(size_t cb);

inline void* tool_alloc(ALLOC_FN fn, size_t cb) {
    if (fn) return fn(cb);
    return malloc(cb ? cb : 1);
}

// n elements of cb bytes each; null when the product overflows or the heap is exhausted.
inline void* tool_alloc_array(ALLOC_FN fn, uint64_t n, uint64_t cb) {
    if (cb != 0 && n > SIZE_MAX / cb) return nullptr;
    return tool_alloc(fn, size_t(n * cb));
}

}  // namespace talvek
