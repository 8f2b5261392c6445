// The two-call shape of the sized queries: ask with no buffer, expect
// ERROR_INSUFFICIENT_BUFFER with the size needed, allocate it (zero-filled, from the global
// heap, with `extra` bytes more that the query is never offered), ask again. An answer that
// grew in between (another process adding printers on a busy print server) is asked for again
// with the new size, a bounded number of times, as the Windows Implementation Libraries do.
#pragma once
#include <cstring>

#include "platform/unique.h"

// What an enumerating sized query fills: Count records one after another, followed by their
// strings, in one zero-filled global-heap block (none when there are none).
template <class Record>
struct RecordBlock {
  unique_global<BYTE> Buffer;
  DWORD Count = 0;
};

// How many times a block is offered before a still-growing answer counts as a failure.
constexpr int kSizedQueryFills = 10;

// How a sized query went, so that each caller can say so in its own words.
enum class SizedQuery {
  Empty,       // the first call succeeded: nothing to hand out
  Filled,      // the block holds the answer
  SizeFailed,  // the first call failed otherwise than for the size
  NoMemory,    // the block could not be had (last error E_OUTOFMEMORY)
  FillFailed,  // a later call failed, or the answer still grew after the last fill
};

// A call that answers with its status (the printer-data calls), as the sized queries expect an
// answer: "more data" is their "insufficient buffer".
inline BOOL SizedAnswer(DWORD status) {
  if (status == ERROR_SUCCESS) return TRUE;
  SetLastError(status == ERROR_MORE_DATA ? DWORD(ERROR_INSUFFICIENT_BUFFER) : status);
  return FALSE;
}

// `query(buffer, size, &needed)` answers as the spooler's sized calls do. On Filled the
// block is in `block`; otherwise `block` is empty and the last error says why.
template <class Query>
SizedQuery QuerySized(Query query, unique_global<BYTE>& block, SIZE_T extra = 0) {
  block.reset();
  DWORD needed = 0;
  if (query(nullptr, 0, &needed)) return SizedQuery::Empty;
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return SizedQuery::SizeFailed;
  for (int fill = 1;; ++fill) {
    const SIZE_T bytes = SIZE_T(needed) + extra;
    block.reset(static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED, bytes)));
    if (!block) {
      SetLastError(DWORD(E_OUTOFMEMORY));
      return SizedQuery::NoMemory;
    }
    std::memset(block.get(), 0, bytes);
    if (query(block.get(), needed, &needed)) return SizedQuery::Filled;
    const DWORD error = GetLastError();
    block.reset();
    SetLastError(error);
    // Only a larger answer is worth another block.
    if (error != ERROR_INSUFFICIENT_BUFFER || fill == kSizedQueryFills) {
      return SizedQuery::FillFailed;
    }
  }
}

// The registry's two-call read: one value whatever its size, into a zero-filled global-heap
// block with room for two wide terminators that the stored value may lack (a string, or a
// multi-string's closing pair). A value that grew in between is asked for again, as above.
// The registry's answer; on ERROR_SUCCESS `bytes` is what the value holds (0: no block) and
// `type`, when asked for, its type.
template <class T>
LSTATUS ReadRegValue(HKEY key, LPCWSTR name, unique_global<T>& data, DWORD& bytes,
                     DWORD* type = nullptr) {
  data.reset();
  bytes = 0;
  LSTATUS status = RegQueryValueExW(key, name, nullptr, type, nullptr, &bytes);
  for (int fill = 1; status == ERROR_SUCCESS && bytes != 0; ++fill) {
    data.reset(static_cast<T*>(GlobalAlloc(GPTR, SIZE_T(bytes) + 2 * sizeof(WCHAR))));
    if (!data) return ERROR_NOT_ENOUGH_MEMORY;
    DWORD read = bytes;
    status =
        RegQueryValueExW(key, name, nullptr, type, reinterpret_cast<LPBYTE>(data.get()), &read);
    if (status == ERROR_SUCCESS) {
      bytes = read;
      return status;
    }
    data.reset();
    if (status != ERROR_MORE_DATA || fill == kSizedQueryFills) break;
    bytes = read;
  }
  if (status != ERROR_SUCCESS) bytes = 0;
  return status;
}
