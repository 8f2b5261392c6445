// The two-call shape of the sized queries: ask with no buffer, expect
// ERROR_INSUFFICIENT_BUFFER with the size needed, allocate it (zero-filled, from the global
// heap, with `extra` bytes more that the query is never offered), ask again.
#pragma once
#include <cstring>

#include "platform/unique.h"

// How a sized query went, so that each caller can say so in its own words.
enum class SizedQuery {
  Empty,       // the first call succeeded: nothing to hand out
  Filled,      // the block holds the answer
  SizeFailed,  // the first call failed otherwise than for the size
  NoMemory,    // the block could not be had (last error E_OUTOFMEMORY)
  FillFailed,  // the second call failed
};

// `query(buffer, size, &needed)` answers as the spooler's sized calls do. On Filled the
// block is in `block`; otherwise `block` is empty and the last error says why.
template <class Query>
SizedQuery QuerySized(Query query, unique_global<BYTE>& block, SIZE_T extra = 0) {
  block.reset();
  DWORD needed = 0;
  if (query(nullptr, 0, &needed)) return SizedQuery::Empty;
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return SizedQuery::SizeFailed;
  const SIZE_T bytes = SIZE_T(needed) + extra;
  block.reset(static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED, bytes)));
  if (!block) {
    SetLastError(DWORD(E_OUTOFMEMORY));
    return SizedQuery::NoMemory;
  }
  std::memset(block.get(), 0, bytes);
  if (!query(block.get(), needed, &needed)) {
    block.reset();  // keeps the query's last error
    return SizedQuery::FillFailed;
  }
  return SizedQuery::Filled;
}
