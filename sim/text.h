// Text helpers of the simulated machine: UTF-16 strings, conversions, case folding.
#pragma once
#include <string>
#include <string_view>

#include "sim/win32/base.h"

namespace sim {

using U16 = std::u16string;

std::string ToUtf8(std::u16string_view s);
U16 FromUtf8(std::string_view s);
// Windows-1252, the machine's ANSI code page.
U16 FromAnsi(std::string_view s);
std::string ToAnsi(std::u16string_view s);
// Folds ASCII letters and the Latin-1 range the way the machine's case-insensitive
// names (paths, registry keys, service names) compare.
U16 Fold(std::u16string_view s);
bool EqualFold(std::u16string_view a, std::u16string_view b);
std::string FoldA(std::string_view s);
inline U16 FromW(const WCHAR* s) {
  return s ? U16(s) : U16();
}
inline std::string FromA(const char* s) {
  return s ? std::string(s) : std::string();
}

}  // namespace sim
