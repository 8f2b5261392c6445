// Registry and printer-data values as machine.json and orvsim show them: a type by its name
// and the bytes in the most readable form that gives back exactly those bytes.
#include <algorithm>
#include <array>

#include "sim/persist.h"

namespace sim {
namespace {

using json = nlohmann::json;

// Every type Windows names; others are shown by number.
struct TypeName {
  DWORD type;
  const char* name;
};
constexpr TypeName kTypeNames[] = {
    {0, "REG_NONE"},
    {1, "REG_SZ"},
    {2, "REG_EXPAND_SZ"},
    {3, "REG_BINARY"},
    {4, "REG_DWORD"},
    {5, "REG_DWORD_BIG_ENDIAN"},
    {6, "REG_LINK"},
    {7, "REG_MULTI_SZ"},
    {8, "REG_RESOURCE_LIST"},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {11, "REG_QWORD"},
};

}  // namespace

std::string RegTypeName(DWORD type) {
  for (const auto& t : kTypeNames) {
    if (t.type == type) return t.name;
  }
  return std::to_string(type);
}

bool ParseRegType(std::string_view text, DWORD* type) {
  std::string upper;
  for (char c : text) upper += (c >= 'a' && c <= 'z') ? char(c - 32) : c;
  for (const auto& t : kTypeNames) {
    if (upper == t.name || "REG_" + upper == t.name) {
      *type = t.type;
      return true;
    }
  }
  if (upper == "MULTISZ" || upper == "REG_MULTISZ") {
    *type = REG_MULTI_SZ;
    return true;
  }
  if (text.empty() || text.size() > 10) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + uint64_t(c - '0');
  }
  if (n > 0xFFFFFFFFu) return false;
  *type = DWORD(n);
  return true;
}

json TypedValueToJson(DWORD type, const std::vector<uint8_t>& bytes, bool ansiStrings) {
  json out = json::object();
  out["type"] = RegTypeName(type) == std::to_string(type) ? json(type) : json(RegTypeName(type));
  const bool even = bytes.size() % 2 == 0;
  if ((type == REG_SZ || type == REG_EXPAND_SZ) && ansiStrings && !bytes.empty() &&
      bytes.back() == 0 && std::count(bytes.begin(), bytes.end(), uint8_t(0)) == 1) {
    const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size() - 1);
    const U16 text = FromAnsi(raw);
    if (ToAnsi(text) == raw) {
      out["ansi"] = ToUtf8(text);
      return out;
    }
  }
  if ((type == REG_SZ || type == REG_EXPAND_SZ) && even) {
    U16 text = Utf16FromBytes(bytes);
    const bool terminated = !text.empty() && text.back() == 0;
    if (terminated) text.pop_back();
    if (text.find(u'\0') == U16::npos && WellFormedUtf16(text)) {
      out["sz"] = ToUtf8(text);
      if (!terminated) out["terminated"] = false;
      return out;
    }
  } else if (type == REG_MULTI_SZ && even && !bytes.empty()) {
    const U16 units = Utf16FromBytes(bytes);
    json list = json::array();
    std::vector<uint8_t> rebuilt;
    size_t start = 0;
    bool ok = true;
    while (start < units.size() && units[start] != 0) {
      const size_t end = units.find(u'\0', start);
      if (end == U16::npos) {
        ok = false;
        break;
      }
      const std::u16string_view s(units.data() + start, end - start);
      if (!WellFormedUtf16(s)) {
        ok = false;
        break;
      }
      list.push_back(ToUtf8(s));
      AppendUtf16Terminated(&rebuilt, s);
      start = end + 1;
    }
    AppendUtf16(&rebuilt, std::u16string_view(u"\0", 1));
    if (ok && rebuilt == bytes) {
      out["multiSz"] = list;
      return out;
    }
  } else if (type == REG_DWORD && bytes.size() == 4) {
    out["dword"] = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
                   uint32_t(bytes[3]) << 24;
    return out;
  } else if (type == REG_QWORD && bytes.size() == 8) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | bytes[size_t(i)];
    out["qword"] = v;
    return out;
  }
  out["hex"] = ToHex(bytes.data(), bytes.size());
  return out;
}

bool TypedValueFromJson(const json& j, DWORD* type, std::vector<uint8_t>* bytes, std::string* error,
                        std::string_view besides) {
  if (!j.is_object()) {
    *error = "expected a typed value";
    return false;
  }
  auto t = j.find("type");
  if (t == j.end()) {
    *error = "the value has no type";
    return false;
  }
  if (t->is_string()) {
    if (!ParseRegType(t->get<std::string>(), type)) {
      *error = "unknown value type \"" + t->get<std::string>() + "\"";
      return false;
    }
  } else if (t->is_number_unsigned() && t->get<uint64_t>() <= 0xFFFFFFFFu) {
    *type = DWORD(t->get<uint64_t>());
  } else {
    *error = "bad value type";
    return false;
  }
  bytes->clear();
  int forms = 0;
  // A print server's machine holds tens of thousands of values: no allocation per value here.
  std::array<std::string_view, 9> allowed = {"type"};
  size_t nAllowed = 1;
  const auto allow = [&](std::string_view key) { allowed[nAllowed++] = key; };
  if (!besides.empty()) allow(besides);
  if (auto it = j.find("sz"); it != j.end()) {
    ++forms;
    allow("sz");
    allow("terminated");
    if (!it->is_string()) {
      *error = "\"sz\" must be text";
      return false;
    }
    AppendUtf16(bytes, FromUtf8(it->get<std::string>()));
    bool terminated = true;
    if (auto term = j.find("terminated"); term != j.end()) {
      if (!term->is_boolean()) {
        *error = "\"terminated\" must be true or false";
        return false;
      }
      terminated = term->get<bool>();
    }
    if (terminated) AppendUtf16(bytes, std::u16string_view(u"\0", 1));
  }
  if (auto it = j.find("ansi"); it != j.end()) {
    ++forms;
    allow("ansi");
    if (!it->is_string()) {
      *error = "\"ansi\" must be text";
      return false;
    }
    const U16 text = FromUtf8(it->get<std::string>());
    const std::string raw = ToAnsi(text);
    if (FromAnsi(raw) != text) {
      *error = "\"ansi\" holds characters Windows-1252 cannot spell";
      return false;
    }
    bytes->assign(raw.begin(), raw.end());
    bytes->push_back(0);
  }
  if (auto it = j.find("multiSz"); it != j.end()) {
    ++forms;
    allow("multiSz");
    if (!it->is_array()) {
      *error = "\"multiSz\" must be a list of texts";
      return false;
    }
    for (const auto& s : *it) {
      if (!s.is_string() || s.get<std::string>().empty()) {
        *error = "\"multiSz\" must be a list of non-empty texts";
        return false;
      }
      AppendUtf16Terminated(bytes, FromUtf8(s.get<std::string>()));
    }
    AppendUtf16(bytes, std::u16string_view(u"\0", 1));
  }
  if (auto it = j.find("dword"); it != j.end()) {
    ++forms;
    allow("dword");
    if (!it->is_number_unsigned() || it->get<uint64_t>() > 0xFFFFFFFFu) {
      *error = "\"dword\" must be a number from 0 to 4294967295";
      return false;
    }
    const uint32_t v = uint32_t(it->get<uint64_t>());
    for (int i = 0; i < 4; ++i) bytes->push_back(uint8_t(v >> (8 * i)));
  }
  if (auto it = j.find("qword"); it != j.end()) {
    ++forms;
    allow("qword");
    if (!it->is_number_unsigned()) {
      *error = "\"qword\" must be a number from 0 to 18446744073709551615";
      return false;
    }
    const uint64_t v = it->get<uint64_t>();
    for (int i = 0; i < 8; ++i) bytes->push_back(uint8_t(v >> (8 * i)));
  }
  if (auto it = j.find("hex"); it != j.end()) {
    ++forms;
    allow("hex");
    if (!it->is_string() || !ParseHexBytes(it->get<std::string>(), " ", bytes)) {
      *error = "\"hex\" must be pairs of hex digits";
      return false;
    }
  }
  if (forms != 1) {
    *error =
        "a value needs exactly one of \"sz\", \"ansi\", \"multiSz\", \"dword\", \"qword\", "
        "\"hex\"";
    return false;
  }
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (std::find(allowed.begin(), allowed.begin() + nAllowed, it.key()) ==
        allowed.begin() + nAllowed) {
      *error = "unknown field \"" + it.key() + "\" in a value";
      return false;
    }
  }
  return true;
}

}  // namespace sim
