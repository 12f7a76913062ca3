// LocalAlloc and LocalFree: fixed blocks only, so a local handle is the block's address.
#include <kov02/ce.h>

#include <algorithm>
#include <cstdlib>

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  // A zero-byte request still yields a distinct block, as on the handset.
  const SIZE_T size = std::max<SIZE_T>(bytes, 1);
  void* block = (flags & LMEM_ZEROINIT) ? std::calloc(1, size) : std::malloc(size);
  if (!block) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

HLOCAL LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}
