// The system's basic types, the owners of streams and heap blocks, and the allocator seam.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace talvek {

typedef uint32_t BOOL;
typedef const char* PSZ;
constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

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

// Every allocation whose failure the tool reports goes through tool_alloc, so tests can
// make any of them fail. The hook is null in the tool; a hook returning null stands for
// an exhausted heap.
extern void* (*tool_alloc_hook)(size_t cb);

inline void* tool_alloc(size_t cb) {
    if (tool_alloc_hook) return tool_alloc_hook(cb);
    return malloc(cb ? cb : 1);
}

// n elements of cb bytes each; null when the product overflows or the heap is exhausted.
inline void* tool_alloc_array(uint64_t n, uint64_t cb) {
    if (cb != 0 && n > SIZE_MAX / cb) return nullptr;
    return tool_alloc(size_t(n * cb));
}

// Every end of the process goes through tool_exit. With -j or -g the tool sets the hook to
// write its document, then the process ends; a fuzz or replay harness sets it to return
// control to itself, and that hook does not return.
extern void (*tool_exit_hook)(int rc);

[[noreturn]] void tool_exit(int rc);

}  // namespace talvek
