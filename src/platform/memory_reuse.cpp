#include "platform/memory_reuse.h"

#include <malloc.h>

namespace trovanex {

void KeepFreedMemoryForReuse() {
  // Both fixed, since setting one stops the allocator from moving the other on its own.
  mallopt(M_MMAP_THRESHOLD, 512 * 1024);
  mallopt(M_TRIM_THRESHOLD, 1024 * 1024);
}

}  // namespace trovanex
