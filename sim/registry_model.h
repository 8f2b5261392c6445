// The registry: HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and HKEY_USERS with typed values.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <unordered_map>
#include <vector>

#include "sim/text.h"

namespace sim {

struct RegValue {
  U16 name;  // "" is the key's default value
  DWORD type = 0;
  std::vector<uint8_t> data;  // the bytes as written: a string keeps or lacks its terminator
};

struct RegKey;

// A key's subkeys in the order they were made, indexed by folded name: a key with thousands of
// subkeys (one per printer queue, say) costs a lookup no more than one with a few. Reads through
// a const list leave the index alone; non-const access drops it and the next Find rebuilds it.
// A key's name never changes once it is made.
class RegKeyList {
 public:
  using value_type = RegKey;
  using iterator = std::vector<RegKey>::iterator;
  using const_iterator = std::vector<RegKey>::const_iterator;

  RegKeyList();
  RegKeyList(std::initializer_list<RegKey> keys);
  RegKeyList(const RegKeyList& other);
  RegKeyList(RegKeyList&& other) noexcept;
  RegKeyList& operator=(const RegKeyList& other);
  RegKeyList& operator=(RegKeyList&& other) noexcept;
  ~RegKeyList();

  size_t size() const;
  bool empty() const;
  const_iterator begin() const;
  const_iterator end() const;
  const RegKey& operator[](size_t i) const;
  iterator begin();
  iterator end();
  RegKey& operator[](size_t i);
  void clear();
  void push_back(RegKey key);
  template <class Pred>
  friend size_t erase_if(RegKeyList& list, Pred pred) {
    list.indexed_ = false;
    return std::erase_if(list.keys_, pred);
  }

  // The subkey of that name (ignoring case), or null; Add appends one (its name must be new).
  RegKey* Find(std::u16string_view name);
  RegKey& Add(RegKey key);

 private:
  std::vector<RegKey> keys_;
  bool indexed_ = false;
  std::unordered_map<U16, size_t> byName_;
};

struct RegKey {
  U16 name;  // compared ignoring case
  std::vector<RegValue> values;
  RegKeyList subkeys;
  bool accessDenied = false;  // opening it fails with ERROR_ACCESS_DENIED, whatever the access
};

struct RegistryModel {
  RegKey hklm{u"HKEY_LOCAL_MACHINE", {}, {}};
  RegKey hkcu{u"HKEY_CURRENT_USER", {}, {}};
  // Other users' hives loaded beside the program's own (users logged on while it runs as the
  // local system account), each a subkey named by the user's SID.
  RegKey hku{u"HKEY_USERS", {}, {}};
};

struct Machine;
// Direct access for the machine's own models, tests and orvsim (no access checks).
// root is HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER or HKEY_USERS; path uses backslashes.
RegKey* FindRegKey(Machine& m, HKEY root, std::u16string_view path, bool create = false);
const RegValue* FindRegValue(Machine& m, HKEY root, std::u16string_view path,
                             std::u16string_view name);
void SetRegValue(Machine& m, HKEY root, std::u16string_view path, std::u16string_view name,
                 DWORD type, std::vector<uint8_t> data);
bool DeleteRegValue(Machine& m, HKEY root, std::u16string_view path, std::u16string_view name);

}  // namespace sim
