// The registry: HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER with typed values.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/text.h"

namespace sim {

struct RegValue {
  U16 name;  // "" is the key's default value
  DWORD type = 0;
  std::vector<uint8_t> data;  // the bytes as written: a string keeps or lacks its terminator
};

struct RegKey {
  U16 name;  // compared ignoring case
  std::vector<RegValue> values;
  std::vector<RegKey> subkeys;
  bool accessDenied = false;  // opening it fails with ERROR_ACCESS_DENIED, whatever the access
};

struct RegistryModel {
  RegKey hklm{u"HKEY_LOCAL_MACHINE", {}, {}};
  RegKey hkcu{u"HKEY_CURRENT_USER", {}, {}};
};

struct Machine;
// Direct access for the machine's own models, tests and orvsim (no access checks).
// root is HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER; path uses backslashes.
RegKey* FindRegKey(Machine& m, HKEY root, std::u16string_view path, bool create = false);
const RegValue* FindRegValue(Machine& m, HKEY root, std::u16string_view path,
                             std::u16string_view name);
void SetRegValue(Machine& m, HKEY root, std::u16string_view path, std::u16string_view name,
                 DWORD type, std::vector<uint8_t> data);
bool DeleteRegValue(Machine& m, HKEY root, std::u16string_view path, std::u16string_view name);

}  // namespace sim
