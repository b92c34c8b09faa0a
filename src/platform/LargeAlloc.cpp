#include "LargeAlloc.h"

#include <cstdlib>
#include <sys/mman.h>

namespace orvanta {

namespace {
constexpr std::size_t kMapThreshold = kLargeAllocThreshold;
}

void *allocateLarge(std::size_t bytes) {
    if (bytes < kMapThreshold) return std::malloc(bytes ? bytes : 1);
    void *p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
    ::madvise(p, bytes, MADV_HUGEPAGE);
#endif
    return p;
}

void freeLarge(void *p, std::size_t bytes) {
    if (!p) return;
    if (bytes < kMapThreshold)
        std::free(p);
    else
        ::munmap(p, bytes);
}

} // namespace orvanta
