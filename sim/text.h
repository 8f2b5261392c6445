// Text helpers of the simulated machine: UTF-16 strings, conversions, case folding.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
// A text argument as the call record shows it: its UTF-8, or "(null)".
std::string CallArg(const WCHAR* s);
std::string CallArg(const char* s);

// Whether the bytes are UTF-8 (shortest forms, no surrogates), and whether UTF-16 text
// survives the trip through UTF-8 (no unpaired surrogates).
bool ValidUtf8(std::string_view s);
bool WellFormedUtf16(std::u16string_view s);

// UTF-16 as the machine stores it in registry values and printer data: little-endian units.
// Appending adds no terminator; reading drops an odd last byte.
void AppendUtf16(std::vector<uint8_t>* bytes, std::u16string_view s);
void AppendUtf16Terminated(std::vector<uint8_t>* bytes, std::u16string_view s);
U16 Utf16FromBytes(const std::vector<uint8_t>& bytes);
// The strings of a multi-string value. Tolerates an odd byte count (the last byte is no
// character) and a last string without its terminator.
std::vector<U16> SplitMultiString(const std::vector<uint8_t>& bytes);

// Hex bytes: "0a 1b" out; in, pairs of digits of either case with any of `separators`
// between them. False on anything else or an odd count of digits.
std::string ToHex(const uint8_t* data, size_t size, bool spaced = true);
bool ParseHexBytes(std::string_view text, std::string_view separators, std::vector<uint8_t>* out);
// 0 to 15 for a hex digit, -1 for anything else.
int HexDigit(char c);

// The parts of a path around its last separator (either one): "C:\\dir" and "x.dll" of
// "C:\\dir\\x.dll"; a path without one is all file name.
std::u16string_view FileNamePart(std::u16string_view path);
std::u16string_view DirectoryPart(std::u16string_view path);

// A comma-separated port list ("LPT1:, FILE:") as its names, spaces around each trimmed and
// empty entries dropped.
std::vector<U16> SplitPorts(std::u16string_view list);

}  // namespace sim
