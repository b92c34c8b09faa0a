#pragma once
// Memory for large image buffers. Blocks of 4 MiB and more are mapped
// directly and marked for transparent huge pages, so that touching a
// 200 MB image takes hundreds of page faults instead of tens of thousands.

#include <cstddef>

namespace orvanta {

// Blocks of at least this size are mapped, and so come zeroed.
inline constexpr std::size_t kLargeAllocThreshold = 4u << 20;

// Null when no memory can be had. The contents of smaller blocks are
// unspecified.
void *allocateLarge(std::size_t bytes);
void freeLarge(void *p, std::size_t bytes);

} // namespace orvanta
