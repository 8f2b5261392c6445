#include "context/wide_text.h"

#include <cstdlib>
#include <cstring>
#ifdef _WIN32
#include <malloc.h>  // _msize
#endif

namespace {
constexpr SIZE_T kHeaderBytes = sizeof(ULONGLONG);
constexpr ULONGLONG kStep = 32;
// Larger counts would overflow the block size computation.
constexpr ULONGLONG kMaxCount = (ULONGLONG(SIZE_MAX) - kHeaderBytes) / sizeof(WCHAR) - 2 * kStep;

ULONGLONG StoredCount(const BYTE* block) {
  ULONGLONG n;
  std::memcpy(&n, block, sizeof n);
  return n;
}

WCHAR* CharsOf(BYTE* block) {
  return reinterpret_cast<WCHAR*>(block + kHeaderBytes);
}

// Position of s inside the text's characters, or -1 when s lies elsewhere. Needed because
// a reallocation would move a source that is part of the text itself.
LONGLONG OffsetInside(const WideText& text, LPCWSTR s) {
  if (!text.Block || !s) return -1;
  const WCHAR* first = CharsOf(text.Block);
  const WCHAR* last = first + StoredCount(text.Block);
  if (s < first || s > last) return -1;
  return s - first;
}

ULONGLONG Measure(LPCWSTR s) {
  if (!s) return 0;
  ULONGLONG n = 0;
  while (s[n]) ++n;
  return n;
}

void Release(WideText& text) {
  std::free(text.Block);
  text.Block = nullptr;
}

WideText& AssignCounted(WideText& text, LPCWSTR s, ULONGLONG n) {
  if (!s || n == 0) {
    Release(text);
    return text;
  }
  const LONGLONG offset = OffsetInside(text, s);
  if (offset >= 0) {
    // Move the wanted part to the front first: a shrinking reallocation keeps only the front.
    std::memmove(CharsOf(text.Block), s, n * sizeof(WCHAR));
    Resize(text, n);
    return text;
  }
  if (Resize(text, n)) std::memcpy(CharsOf(text.Block), s, n * sizeof(WCHAR));
  return text;
}

WideText& AppendCounted(WideText& text, LPCWSTR s, ULONGLONG n) {
  if (!s || n == 0) return text;
  const LONGLONG offset = OffsetInside(text, s);
  const ULONGLONG a = Count(text);
  if (n > kMaxCount - a || !Resize(text, a + n)) return text;
  const WCHAR* source = offset >= 0 ? CharsOf(text.Block) + offset : s;
  std::memmove(CharsOf(text.Block) + a, source, n * sizeof(WCHAR));
  return text;
}
}  // namespace

WideText& WideText::operator=(WideText&& other) noexcept {
  if (this != &other) {
    std::free(Block);
    Block = other.Block;
    other.Block = nullptr;
  }
  return *this;
}

WideText::~WideText() {
  std::free(Block);
}

SIZE_T WideTextBlockBytes(ULONGLONG count) {
  if (count == 0) return 0;
  const ULONGLONG units = (count + 1 + kStep - 1) / kStep * kStep;
  return SIZE_T(kHeaderBytes + units * sizeof(WCHAR));
}

ULONGLONG Count(const WideText& text) {
  return text.Block ? StoredCount(text.Block) : 0;
}

LPCWSTR Chars(const WideText& text) {
  return text.Block ? CharsOf(text.Block) : W("");
}

LPWSTR Data(WideText& text) {
  return text.Block ? CharsOf(text.Block) : nullptr;
}

bool Resize(WideText& text, ULONGLONG n) {
  if (n == 0) {
    Release(text);
    return true;
  }
  if (n > kMaxCount) return false;
  const SIZE_T newBytes = WideTextBlockBytes(n);
  if (newBytes != WideTextBlockBytes(Count(text))) {
    void* block = std::realloc(text.Block, newBytes);
    if (!block) return false;
    text.Block = static_cast<BYTE*>(block);
  }
  CharsOf(text.Block)[n] = 0;
  std::memcpy(text.Block, &n, sizeof n);
  return true;
}

WideText& Assign(WideText& text, LPCWSTR s) {
  return AssignCounted(text, s, Measure(s));
}

WideText& Assign(WideText& text, const WideText& source) {
  if (&text == &source) return text;
  return AssignCounted(text, Chars(source), Count(source));
}

WideText& Append(WideText& text, LPCWSTR s) {
  return AppendCounted(text, s, Measure(s));
}

WideText& Append(WideText& text, const WideText& source) {
  return AppendCounted(text, Chars(source), Count(source));
}

WideText AssignAnsi(LPCSTR s) {
  WideText text;
  if (!s) return text;
  const int m = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, s, -1, nullptr, 0);
  if (m < 2 || !Resize(text, ULONGLONG(m - 1))) return text;
  // Room for m units: the characters and the terminator Resize already wrote.
  if (MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, s, -1, CharsOf(text.Block), m) == 0) {
    Release(text);
  }
  return text;
}

WideText Copy(const WideText& text) {
  WideText copy;
  if (!text.Block) return copy;
  const size_t bytes = _msize(text.Block);
  void* block = std::malloc(bytes);
  if (!block) return copy;
  std::memcpy(block, text.Block, bytes);
  copy.Block = static_cast<BYTE*>(block);
  return copy;
}

WideText ParentDirectory(const WideText& text) {
  const ULONGLONG n = Count(text);
  const WCHAR* chars = Chars(text);
  ULONGLONG cut = n;  // n means "not found"
  for (ULONGLONG i = n; i-- > 0;) {
    if (chars[i] == W('\\')) {
      cut = i;
      break;
    }
  }
  if (cut == n) {
    for (ULONGLONG i = n; i-- > 0;) {
      if (chars[i] == W('/')) {
        cut = i;
        break;
      }
    }
  }
  WideText parent;
  if (cut == n || cut == 0) return parent;
  AssignCounted(parent, chars, cut);
  return Copy(parent);
}

LPWSTR DuplicateToGlobal(LPCWSTR s) {
  if (!s) return nullptr;
  const int length = lstrlenW(s);
  if (length == 0) return nullptr;
  auto* copy = static_cast<LPWSTR>(GlobalAlloc(GMEM_FIXED, SIZE_T(length) * 2 + 2));
  if (!copy) return nullptr;
  std::memset(copy, 0, SIZE_T(length) * 2 + 2);
  lstrcpyW(copy, s);
  return copy;
}

LPWSTR GlobalText(LPCWSTR s, size_t units) {
  auto* copy = static_cast<LPWSTR>(GlobalAlloc(GPTR, (units + 1) * sizeof(WCHAR)));
  if (copy && units) std::memcpy(copy, s, units * sizeof(WCHAR));
  return copy;
}

LPWSTR GlobalText(LPCWSTR s) {
  return GlobalText(s ? s : W(""), s ? size_t(lstrlenW(s)) : 0);
}
