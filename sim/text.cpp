#include "sim/text.h"

#include <algorithm>
#include <array>

namespace sim {
namespace {
// Windows-1252 bytes 0x80-0x9F; the rest of the code page maps to the same code point.
const char16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
}  // namespace

std::string ToUtf8(std::u16string_view s) {
  // Most text is ASCII: that part is copied as it is, in one go.
  size_t i = 0;
  while (i < s.size() && s[i] < 0x80) ++i;
  std::string out(s.begin(), s.begin() + i);
  for (; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

U16 FromUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
  U16 out(s.begin(), s.begin() + i);
  while (i < s.size()) {
    unsigned char b = s[i];
    uint32_t c;
    int extra;
    if (b < 0x80) {
      c = b;
      extra = 0;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    } else {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    if (i + extra >= s.size()) {
      out += u'\uFFFD';
      break;
    }
    ++i;
    for (int k = 0; k < extra && i < s.size(); ++k, ++i) c = (c << 6) | (s[i] & 0x3F);
    if (c >= 0x10000) {
      c -= 0x10000;
      out += char16_t(0xD800 + (c >> 10));
      out += char16_t(0xDC00 + (c & 0x3FF));
    } else {
      out += char16_t(c);
    }
  }
  return out;
}

U16 FromAnsi(std::string_view s) {
  U16 out;
  out.reserve(s.size());
  for (unsigned char b : s) out += (b >= 0x80 && b < 0xA0) ? kCp1252High[b - 0x80] : char16_t(b);
  return out;
}

std::string ToAnsi(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) {
    if (c < 0x80 || (c >= 0xA0 && c < 0x100)) {
      out += char(c);
      continue;
    }
    char mapped = '?';
    for (int i = 0; i < 32; ++i) {
      if (kCp1252High[i] == c) mapped = char(0x80 + i);
    }
    out += mapped;
  }
  return out;
}

namespace {
char16_t FoldChar(char16_t c) {
  return ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) ? c + 0x20 : c;
}
}  // namespace

U16 Fold(std::u16string_view s) {
  U16 out(s);
  for (auto& c : out) c = FoldChar(c);
  return out;
}

// Compared in place: lookups run it on every name they pass.
bool EqualFold(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && FoldChar(a[i]) != FoldChar(b[i])) return false;
  }
  return true;
}

std::string FoldA(std::string_view s) {
  std::string out(s);
  for (auto& c : out) {
    if (c >= 'A' && c <= 'Z') c += 0x20;
  }
  return out;
}

std::string CallArg(const WCHAR* s) {
  return s ? ToUtf8(s) : std::string("(null)");
}

std::string CallArg(const char* s) {
  return s ? std::string(s) : std::string("(null)");
}

bool ValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char b = s[i];
    int extra;
    uint32_t c;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      extra = 1;
      c = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2;
      c = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3;
      c = b & 0x07;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      const unsigned char n = s[i + k];
      if ((n & 0xC0) != 0x80) return false;
      c = (c << 6) | (n & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return false;
    i += extra + 1;
  }
  return true;
}

bool WellFormedUtf16(std::u16string_view s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00) {
      if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] >= 0xE000) return false;
      ++i;
    } else if (c >= 0xDC00 && c < 0xE000) {
      return false;
    }
  }
  return true;
}

void AppendUtf16(std::vector<uint8_t>* bytes, std::u16string_view s) {
  for (char16_t c : s) {
    bytes->push_back(uint8_t(c & 0xFF));
    bytes->push_back(uint8_t(c >> 8));
  }
}

void AppendUtf16Terminated(std::vector<uint8_t>* bytes, std::u16string_view s) {
  AppendUtf16(bytes, s);
  bytes->push_back(0);
  bytes->push_back(0);
}

U16 Utf16FromBytes(const std::vector<uint8_t>& bytes) {
  U16 out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) out += char16_t(bytes[i] | bytes[i + 1] << 8);
  return out;
}

std::vector<U16> SplitMultiString(const std::vector<uint8_t>& bytes) {
  std::vector<U16> out;
  U16 cur;
  bool open = false;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const char16_t c = char16_t(bytes[i] | (bytes[i + 1] << 8));
    if (c == 0) {
      out.push_back(cur);
      cur.clear();
      open = false;
    } else {
      cur += c;
      open = true;
    }
  }
  if (open) out.push_back(cur);
  return out;
}

std::string ToHex(const uint8_t* data, size_t size, bool spaced) {
  static const char kDigits[] = "0123456789abcdef";
  if (!size) return {};
  const size_t step = spaced ? 3 : 2;
  std::string out(size * step - (spaced ? 1 : 0), ' ');
  for (size_t i = 0; i < size; ++i) {
    out[i * step] = kDigits[data[i] >> 4];
    out[i * step + 1] = kDigits[data[i] & 15];
  }
  return out;
}

int HexDigit(char c) {
  static constexpr auto kDigits = [] {
    std::array<int8_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
      t[i] = i >= '0' && i <= '9'   ? int8_t(i - '0')
             : i >= 'a' && i <= 'f' ? int8_t(i - 'a' + 10)
             : i >= 'A' && i <= 'F' ? int8_t(i - 'A' + 10)
                                    : int8_t(-1);
    }
    return t;
  }();
  return kDigits[static_cast<unsigned char>(c)];
}

bool ParseHexBytes(std::string_view text, std::string_view separators, std::vector<uint8_t>* out) {
  // Looked up, not searched for: a print server's machine file holds millions of digits.
  std::array<bool, 256> skip{};
  for (char c : separators) skip[static_cast<unsigned char>(c)] = true;
  out->clear();
  if (text.size() % 2 == 0 && std::none_of(text.begin(), text.end(), [&](char c) {
        return skip[static_cast<unsigned char>(c)];
      })) {
    // Digits only, as the machine file writes its blocks: two to a byte, sized at once.
    out->resize(text.size() / 2);
    for (size_t i = 0; i < out->size(); ++i) {
      const int high = HexDigit(text[2 * i]), low = HexDigit(text[2 * i + 1]);
      if (high < 0 || low < 0) return false;
      (*out)[i] = uint8_t(high << 4 | low);
    }
    return true;
  }
  out->reserve(text.size() / 2);
  int high = -1;
  for (char c : text) {
    if (skip[static_cast<unsigned char>(c)]) continue;
    const int v = HexDigit(c);
    if (v < 0) return false;
    if (high < 0) {
      high = v;
    } else {
      out->push_back(uint8_t(high << 4 | v));
      high = -1;
    }
  }
  return high < 0;
}

std::u16string_view FileNamePart(std::u16string_view path) {
  const size_t sep = path.find_last_of(u"\\/");
  return sep == std::u16string_view::npos ? path : path.substr(sep + 1);
}

std::u16string_view DirectoryPart(std::u16string_view path) {
  const size_t sep = path.find_last_of(u"\\/");
  return sep == std::u16string_view::npos ? std::u16string_view() : path.substr(0, sep);
}

std::vector<U16> SplitPorts(std::u16string_view list) {
  std::vector<U16> out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(u',', start);
    if (comma == std::u16string_view::npos) comma = list.size();
    std::u16string_view item = list.substr(start, comma - start);
    while (!item.empty() && item.front() == u' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == u' ') item.remove_suffix(1);
    if (!item.empty()) out.emplace_back(item);
    start = comma + 1;
  }
  return out;
}

}  // namespace sim
