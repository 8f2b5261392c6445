// Feeds arbitrary bytes to the parser of the system's start-up operation list, as they could
// stand in the registry value, and compares the table with a plain model of the format. Any
// read outside the value is caught by the address sanitizer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "files/pending_renames.h"
#include "platform/win32.h"

namespace {

// The global heap, on the C runtime's heap (the parser needs nothing else of the platform):
// allocations are counted from a reset, and the `failAt`-th one (1-based, 0: none) fails.
unsigned long allocations = 0;
unsigned long failAt = 0;
long live = 0;        // blocks handed out and not yet freed
DWORD lastError = 0;  // the thread's, which the heap's owners keep across a release

void ResetGlobalHeap(unsigned long failing) {
  allocations = 0;
  failAt = failing;
}

void Require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "pending renames: %s\n", what);
  std::abort();
}

// The strings of the complete pairs. The text ends before the list's closing NUL; a value
// shorter than one character has none, and a last string without its NUL ends with the text.
std::vector<std::u16string> Model(const uint8_t* data, size_t size) {
  const size_t length = size >= 2 ? (size - 2) / 2 : 0;
  std::u16string text(length, u'\0');
  for (size_t i = 0; i < length; ++i) text[i] = char16_t(data[2 * i] | data[2 * i + 1] << 8);
  std::vector<std::u16string> strings;
  for (size_t pos = 0; pos < length;) {
    size_t end = text.find(u'\0', pos);
    if (end == std::u16string::npos) end = length;
    strings.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  strings.resize(strings.size() / 2 * 2);
  return strings;
}

bool IsEmpty(const PendingRenameTable& table) {
  return table.PairCount == 0 && !table.Strings && !table.Exists;
}

}  // namespace

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

DWORD WINAPI GetLastError() {
  return lastError;
}

void WINAPI SetLastError(DWORD error) {
  lastError = error;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;  // beyond any registry value
  const std::vector<std::u16string> expected = Model(data, size);

  ResetGlobalHeap(0);
  PendingRenameTable table;
  ParsePendingRenames(data, DWORD(size), table);
  Require(size_t(table.PairCount) * 2 == expected.size(), "pair count");
  Require(expected.empty() == IsEmpty(table), "empty table");
  for (size_t i = 0; i < expected.size(); ++i) {
    // An empty string has no entry: a target read as present would hide a deletion.
    if (expected[i].empty()) {
      Require(table.Strings[i] == nullptr, "empty string has an entry");
    } else {
      Require(table.Strings[i] && table.Strings[i] == expected[i], "string copy");
    }
    Require(table.Exists[i] == 0, "flag set by parsing");
  }
  const unsigned long made = allocations;
  ReleasePendingRenames(table);
  Require(IsEmpty(table) && live == 0, "release");

  // Whichever allocation fails, the table is all or nothing: a lost target would turn a
  // rename into a deletion.
  if (made > 0) {
    ResetGlobalHeap(1 + size % made);
    ParsePendingRenames(data, DWORD(size), table);
    Require(IsEmpty(table) && live == 0, "failed allocation");
  }
  return 0;
}
