// The global heap for the fuzz target, on the C runtime's heap: the parser needs nothing
// else of the platform. An allocation can be made to fail, to drive the parser's clean-up.
#include <cstdlib>

#include "global_heap.h"
#include "platform/win32.h"

namespace {
unsigned long allocations = 0;
unsigned long failAt = 0;  // 0: none fails
long live = 0;
}  // namespace

void ResetGlobalHeap(unsigned long failing) {
  allocations = 0;
  failAt = failing;
}

unsigned long GlobalAllocations() {
  return allocations;
}
long LiveGlobalBlocks() {
  return live;
}

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) {
  // Only the zero-filled fixed blocks the parser asks for are modelled.
  if (flags != GPTR) std::abort();
  if (++allocations == failAt) return nullptr;
  void* block = std::calloc(bytes ? bytes : 1, 1);
  if (block) ++live;
  return block;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL mem) {
  if (mem) {
    --live;
    std::free(mem);
  }
  return nullptr;
}

// The thread's last error, which the heap's owners keep across a release.
namespace {
DWORD lastError = 0;
}  // namespace

DWORD WINAPI GetLastError() {
  return lastError;
}

void WINAPI SetLastError(DWORD error) {
  lastError = error;
}
