// orvsim: the command line and checks of what it names against the machine.
#include <cctype>
#include <map>
#include <optional>
#include <sstream>

#include "sim/orvsim.h"
#include "sim/persist.h"

namespace orvsim {

uint64_t ParseNumber(const std::string& text, uint64_t max, const std::string& what) {
  uint64_t v = 0;
  size_t i = 0;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i >= text.size()) Reject(what + " must be a number, not \"" + text + "\"");
  for (; i < text.size(); ++i) {
    const int d = sim::HexDigit(text[i]);
    if (d < 0 || d >= base) Reject(what + " must be a number, not \"" + text + "\"");
    if (uint64_t(d) > max || v > (max - uint64_t(d)) / uint64_t(base)) {
      Reject(what + " is too large (at most " + std::to_string(max) + "): " + text);
    }
    v = v * uint64_t(base) + uint64_t(d);
  }
  return v;
}

uint32_t ParseDword(const std::string& text, const std::string& what) {
  return uint32_t(ParseNumber(text, 0xFFFFFFFFu, what));
}

// Hex bytes, optionally separated by spaces, commas or colons (as regedit shows them).
bool ParseHex(const std::string& text, std::vector<uint8_t>* out) {
  return sim::ParseHexBytes(text, " ,:", out);
}

// A typed value from TYPE DATA... (or TYPE --hex HEX). Printer data strings are ANSI.
void ParseTypedValue(const Given& a, bool ansi, DWORD* type, std::vector<uint8_t>* bytes) {
  if (!sim::ParseRegType(a.type, type)) {
    Reject("unknown value type \"" + a.type +
           "\" (sz, expand_sz, multi_sz, dword, qword, binary, none or a number)");
  }
  const std::vector<std::string>& data = a.words;
  bytes->clear();
  if (a.hex) {
    if (!data.empty()) Reject("give the data either as words or after --hex, not both");
    if (!ParseHex(*a.hex, bytes)) Reject("--hex needs pairs of hex digits, not \"" + *a.hex + "\"");
    return;
  }
  auto one = [&]() -> const std::string& {
    if (data.size() != 1) Reject(sim::RegTypeName(*type) + " takes one DATA word");
    return data[0];
  };
  switch (*type) {
    case REG_SZ:
    case 2: {  // REG_EXPAND_SZ
      const U16 text = sim::FromUtf8(one());
      if (text.find(u'\0') != U16::npos) Reject("a string cannot hold a NUL character");
      if (ansi) {
        const std::string raw = sim::ToAnsi(text);
        if (sim::FromAnsi(raw) != text) {
          Reject("\"" + data[0] + "\" holds characters Windows-1252 cannot spell");
        }
        bytes->assign(raw.begin(), raw.end());
        bytes->push_back(0);
      } else {
        sim::AppendUtf16Terminated(bytes, text);
      }
      return;
    }
    case REG_MULTI_SZ:
      for (const auto& s : data) {
        if (s.empty()) Reject("the strings of a multi_sz value cannot be empty");
        sim::AppendUtf16Terminated(bytes, sim::FromUtf8(s));
      }
      sim::AppendUtf16Terminated(bytes, {});  // the list's closing NUL
      return;
    case REG_DWORD: {
      const uint32_t v = ParseDword(one(), "a dword");
      for (int i = 0; i < 4; ++i) bytes->push_back(uint8_t(v >> (8 * i)));
      return;
    }
    case REG_QWORD: {
      const uint64_t v = ParseNumber(one(), UINT64_MAX, "a qword");
      for (int i = 0; i < 8; ++i) bytes->push_back(uint8_t(v >> (8 * i)));
      return;
    }
    default: {
      std::string hex;
      for (const auto& d : data) hex += d;
      if (!ParseHex(hex, bytes)) Reject("the data of " + sim::RegTypeName(*type) + " is hex bytes");
      return;
    }
  }
}

// ---- Validation against the machine ------------------------------------------------------------

// A Windows path on one of the machine's drives, made full: "C:\dir\file". Host paths,
// relative paths, device and UNC paths, and paths that climb above their drive are refused.
U16 MachinePath(sim::Machine& m, const std::string& text) {
  const U16 in = sim::FromUtf8(text);
  const bool drive = in.size() >= 3 && in[1] == u':' && (in[2] == u'\\' || in[2] == u'/') &&
                     ((in[0] >= u'A' && in[0] <= u'Z') || (in[0] >= u'a' && in[0] <= u'z'));
  if (!drive) {
    Reject("\"" + text + "\" is not a Windows path on a drive of the machine (C:\\...)");
  }
  const U16 letter = U16(1, in[0]) + u":";
  if (!sim::DirectoryExists(m, letter)) {
    Reject("\"" + text + "\" is outside the machine: it has no drive " + sim::ToUtf8(letter));
  }
  std::vector<U16> parts;
  U16 part;
  auto flush = [&] {
    if (part.empty() || part == u".") {
    } else if (part == u"..") {
      if (parts.empty()) Reject("\"" + text + "\" climbs above its drive");
      parts.pop_back();
    } else {
      for (char16_t c : part) {
        if (c < 0x20 || std::u16string_view(u"<>:\"|?*").find(c) != std::u16string_view::npos) {
          Reject("\"" + text + "\" holds a character Windows does not allow in a file name");
        }
      }
      if (part.back() == u'.' || part.back() == u' ') {
        Reject("\"" + text + "\" has a name ending in a dot or a space");
      }
      parts.push_back(part);
    }
    part.clear();
  };
  for (size_t i = 3; i < in.size(); ++i) {
    if (in[i] == u'\\' || in[i] == u'/') {
      flush();
    } else {
      part += in[i];
    }
  }
  flush();
  U16 out = letter;
  for (const auto& p : parts) out += u"\\" + p;
  if (out.size() > 32767) Reject("\"" + text + "\" is too long");
  return out;
}

U16 FilePathForChange(sim::Machine& m, const std::string& text) {
  const U16 path = MachinePath(m, text);
  if (path.size() <= 2) Reject("\"" + text + "\" names a drive, not a file");
  if (sim::DirectoryExists(m, path)) Reject("\"" + text + "\" is a directory");
  // No file may stand where a directory of the path has to be.
  for (size_t slash = path.find(u'\\', 3); slash != U16::npos;
       slash = path.find(u'\\', slash + 1)) {
    if (sim::FindFile(m, path.substr(0, slash))) {
      Reject("\"" + sim::ToUtf8(path.substr(0, slash)) + "\" is a file, not a directory");
    }
  }
  return path;
}

sim::SimFile& ExistingFile(sim::Machine& m, const std::string& text) {
  const U16 path = MachinePath(m, text);
  sim::SimFile* f = sim::FindFile(m, path);
  if (!f) Reject("there is no file " + sim::ToUtf8(path) + " on the machine");
  return *f;
}

sim::VersionInfo ParseVersion(const std::string& text) {
  sim::VersionInfo v;
  size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t dot = i < 3 ? text.find('.', pos) : text.size();
    if (dot == std::string::npos) Reject("a version is A.B.C.D, not \"" + text + "\"");
    const uint16_t n = uint16_t(ParseNumber(text.substr(pos, dot - pos), 0xFFFF, "a version part"));
    v.file[i] = v.product[i] = n;
    pos = dot + 1;
  }
  return v;
}

// Registry keys: HKLM\..., HKCU\... or HKU\... (long names too).
HKEY ParseRegKey(const std::string& text, U16* path) {
  const size_t slash = text.find('\\');
  std::string root = text.substr(0, slash);
  for (auto& c : root) c = char(std::toupper(static_cast<unsigned char>(c)));
  HKEY key;
  if (root == "HKLM" || root == "HKEY_LOCAL_MACHINE") {
    key = HKEY_LOCAL_MACHINE;
  } else if (root == "HKCU" || root == "HKEY_CURRENT_USER") {
    key = HKEY_CURRENT_USER;
  } else if (root == "HKU" || root == "HKEY_USERS") {
    key = HKEY_USERS;
  } else {
    Reject("a registry key starts with HKLM\\, HKCU\\ or HKU\\, not \"" + text + "\"");
  }
  *path = slash == std::string::npos ? U16() : sim::FromUtf8(text.substr(slash + 1));
  if (!path->empty() && (u"\\" + *path + u"\\").find(u"\\\\") != U16::npos) {
    Reject("the registry key \"" + text + "\" has an empty name in it");
  }
  return key;
}

sim::SimService& Spooler(sim::Machine& m) {
  for (auto& s : m.services.services) {
    if (sim::EqualFold(s.name, u"Spooler")) return s;
  }
  Reject("the machine has no spooler service");
}

sim::SimPrinter& ExistingPrinter(sim::Machine& m, const std::string& name) {
  sim::SimPrinter* p = sim::FindPrinter(m, sim::FromUtf8(name));
  if (!p) Reject("there is no printer \"" + name + "\"");
  return *p;
}

// The ports as the monitors spell them; every one must exist.
U16 KnownPorts(sim::Machine& m, const std::string& text) {
  const std::vector<U16> ports = sim::SplitPorts(sim::FromUtf8(text));
  if (ports.empty()) Reject("--port needs a port name");
  U16 out;
  for (const auto& want : ports) {
    const U16* found = nullptr;
    for (const auto& mon : m.spooler.monitors) {
      for (const auto& p : mon.ports) {
        if (sim::EqualFold(p, want)) found = &p;
      }
    }
    if (!found) Reject("there is no port \"" + sim::ToUtf8(want) + "\" on the machine");
    if (!out.empty()) out += u',';
    out += *found;
  }
  return out;
}

U16 KnownDriver(sim::Machine& m, const std::string& name) {
  sim::SimDriver* d = sim::FindDriver(m, sim::FromUtf8(name));
  if (!d) Reject("there is no printer driver \"" + name + "\" for Windows x64");
  return d->name;
}

U16 PrinterName(const std::string& text) {
  const U16 name = sim::FromUtf8(text);
  if (name.empty() || name.size() > 220 || name.find_first_of(u",\\!") != U16::npos) {
    Reject("\"" + text + "\" is not a valid printer name (1 to 220 characters, no , \\ or !)");
  }
  return name;
}

namespace {

// A comma-separated list of names, each one bit of `bits`; nullopt for a name not there.
std::optional<DWORD> ParseBits(const std::string& text, const std::map<std::string, DWORD>& bits) {
  DWORD out = 0;
  std::stringstream in(text);
  for (std::string name; std::getline(in, name, ',');) {
    auto it = bits.find(name);
    if (it == bits.end()) return std::nullopt;
    out |= it->second;
  }
  return out;
}

}  // namespace

DWORD ParseAttributes(const std::string& text) {
  if (!text.empty() && text[0] >= '0' && text[0] <= '9') return ParseDword(text, "--attributes");
  const auto bits = ParseBits(text, {{"readonly", FILE_ATTRIBUTE_READONLY},
                                     {"hidden", FILE_ATTRIBUTE_HIDDEN},
                                     {"system", FILE_ATTRIBUTE_SYSTEM},
                                     {"archive", FILE_ATTRIBUTE_ARCHIVE},
                                     {"normal", FILE_ATTRIBUTE_NORMAL}});
  if (!bits)
    Reject("--attributes is a number or a list of readonly, hidden, system, archive, normal");
  return *bits;
}

DWORD ParseAccess(const std::string& text) {
  if (text == "read") return GENERIC_READ;
  if (text == "write") return GENERIC_WRITE;
  if (text == "readwrite") return GENERIC_READ | GENERIC_WRITE;
  Reject("--access is read, write or readwrite, not \"" + text + "\"");
}

DWORD ParseShare(const std::string& text) {
  const auto bits = text == "none" ? 0
                                   : ParseBits(text, {{"read", FILE_SHARE_READ},
                                                      {"write", FILE_SHARE_WRITE},
                                                      {"delete", FILE_SHARE_DELETE}});
  if (!bits) Reject("--share is none or a list of read, write, delete");
  return *bits;
}

}  // namespace orvsim
