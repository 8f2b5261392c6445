// Parsing of the start-up operation list. Kept apart from the registry and file calls so that
// it needs nothing of the platform but the global heap.
#include "files/pending_renames.h"

#include "platform/unique.h"

namespace {
// Characters are assembled from their two little-endian bytes: the data need not be aligned.
WCHAR CharAt(const BYTE* data, SIZE_T index) {
  return WCHAR(data[2 * index] | (WCHAR(data[2 * index + 1]) << 8));
}

// Characters of the list before its closing NUL. A value too short to hold even that NUL has
// none; the unsigned subtraction would otherwise wrap to a huge length.
SIZE_T TextLength(DWORD size) {
  return size < 2 ? 0 : (SIZE_T(size) - 2) / 2;
}

// The end of the string starting at `pos`: its NUL, or the end of the text when the last
// string has no terminator of its own.
SIZE_T StringEnd(const BYTE* data, SIZE_T pos, SIZE_T length) {
  while (pos < length && CharAt(data, pos) != 0) ++pos;
  return pos;
}

LPWSTR CopyString(const BYTE* data, SIZE_T begin, SIZE_T end) {
  auto* copy = static_cast<LPWSTR>(GlobalAlloc(GPTR, (end - begin + 1) * sizeof(WCHAR)));
  if (!copy) return nullptr;
  for (SIZE_T i = begin; i < end; ++i) copy[i - begin] = CharAt(data, i);
  return copy;  // zero-filled: terminated
}
}  // namespace

PendingRenameTable::PendingRenameTable(PendingRenameTable&& other) noexcept
    : Strings(other.Strings), Exists(other.Exists), PairCount(other.PairCount) {
  other.Strings = nullptr;
  other.Exists = nullptr;
  other.PairCount = 0;
}

PendingRenameTable& PendingRenameTable::operator=(PendingRenameTable&& other) noexcept {
  if (this != &other) {
    ReleasePendingRenames(*this);
    Strings = other.Strings;
    Exists = other.Exists;
    PairCount = other.PairCount;
    other.Strings = nullptr;
    other.Exists = nullptr;
    other.PairCount = 0;
  }
  return *this;
}

PendingRenameTable::~PendingRenameTable() {
  ReleasePendingRenames(*this);
}

void ReleasePendingRenames(PendingRenameTable& table) {
  if (table.Strings) {
    for (LONG i = 0; i < 2 * table.PairCount; ++i) ReleaseGlobal(table.Strings[i]);
    ReleaseGlobal(table.Strings);
  }
  ReleaseGlobal(table.Exists);
  table.Strings = nullptr;
  table.Exists = nullptr;
  table.PairCount = 0;
}

void ParsePendingRenames(const BYTE* data, DWORD size, PendingRenameTable& table) {
  ReleasePendingRenames(table);
  if (!data) return;
  const SIZE_T length = TextLength(size);
  // Empty strings count: an empty target is what makes a pair a deletion.
  SIZE_T count = 0;
  for (SIZE_T pos = 0; pos < length; pos = StringEnd(data, pos, length) + 1) ++count;
  const LONG pairs = LONG(count / 2);
  if (pairs == 0) return;

  const SIZE_T entries = 2 * SIZE_T(pairs);
  table.Strings = static_cast<LPWSTR*>(GlobalAlloc(GPTR, entries * sizeof(LPWSTR)));
  table.Exists = static_cast<DWORD*>(GlobalAlloc(GPTR, entries * sizeof(DWORD)));
  table.PairCount = pairs;
  if (!table.Strings || !table.Exists) {
    ReleasePendingRenames(table);
    return;
  }
  SIZE_T pos = 0;
  for (SIZE_T i = 0; pos < length && i < entries; ++i) {
    const SIZE_T end = StringEnd(data, pos, length);
    if (end > pos) {
      table.Strings[i] = CopyString(data, pos, end);
      // A half-made table would pass a deletion off as a rename, or drop a source.
      if (!table.Strings[i]) {
        ReleasePendingRenames(table);
        return;
      }
    }
    pos = end + 1;
  }
}
