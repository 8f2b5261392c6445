// advapi32: the registry. Keys compare ignoring case, values keep the bytes written, every
// handle is checked for the access it was opened with, and the Reg* calls return their error
// without touching the thread's last error.
#include <algorithm>
#include <cstring>

#include "sim/machine.h"

namespace sim {

namespace {

// Removes the value of that name from the key; false when it has none.
bool EraseValue(RegKey& key, std::u16string_view name) {
  auto it = std::find_if(key.values.begin(), key.values.end(),
                         [&](const RegValue& v) { return EqualFold(v.name, name); });
  if (it == key.values.end()) return false;
  key.values.erase(it);
  return true;
}

RegKey* RootKey(Machine& m, HKEY root) {
  if (root == HKEY_LOCAL_MACHINE) return &m.registry.hklm;
  if (root == HKEY_CURRENT_USER) return &m.registry.hkcu;
  if (root == HKEY_USERS) return &m.registry.hku;
  return nullptr;
}

}  // namespace

RegKeyList::RegKeyList() = default;
RegKeyList::RegKeyList(std::initializer_list<RegKey> keys) : keys_(keys) {}
RegKeyList::RegKeyList(const RegKeyList& other) : keys_(other.keys_) {}
RegKeyList::RegKeyList(RegKeyList&& other) noexcept : keys_(std::move(other.keys_)) {
  other.indexed_ = false;
}
RegKeyList& RegKeyList::operator=(const RegKeyList& other) {
  if (this != &other) {
    keys_ = other.keys_;
    indexed_ = false;
  }
  return *this;
}
RegKeyList& RegKeyList::operator=(RegKeyList&& other) noexcept {
  keys_ = std::move(other.keys_);
  indexed_ = other.indexed_ = false;
  return *this;
}
RegKeyList::~RegKeyList() = default;

size_t RegKeyList::size() const {
  return keys_.size();
}
bool RegKeyList::empty() const {
  return keys_.empty();
}
RegKeyList::const_iterator RegKeyList::begin() const {
  return keys_.begin();
}
RegKeyList::const_iterator RegKeyList::end() const {
  return keys_.end();
}
const RegKey& RegKeyList::operator[](size_t i) const {
  return keys_[i];
}
RegKeyList::iterator RegKeyList::begin() {
  indexed_ = false;
  return keys_.begin();
}
RegKeyList::iterator RegKeyList::end() {
  indexed_ = false;
  return keys_.end();
}
RegKey& RegKeyList::operator[](size_t i) {
  indexed_ = false;
  return keys_[i];
}
void RegKeyList::clear() {
  indexed_ = false;
  keys_.clear();
}
void RegKeyList::push_back(RegKey key) {
  indexed_ = false;
  keys_.push_back(std::move(key));
}

RegKey* RegKeyList::Find(std::u16string_view name) {
  if (!indexed_) {
    byName_.clear();
    byName_.reserve(keys_.size());
    for (size_t i = 0; i < keys_.size(); ++i) byName_.emplace(Fold(keys_[i].name), i);
    indexed_ = true;
  }
  auto it = byName_.find(Fold(name));
  return it == byName_.end() ? nullptr : &keys_[it->second];
}

RegKey& RegKeyList::Add(RegKey key) {
  if (indexed_) byName_.emplace(Fold(key.name), keys_.size());
  keys_.push_back(std::move(key));
  return keys_.back();
}

RegKey* FindRegKey(Machine& m, HKEY root, std::u16string_view path, bool create) {
  RegKey* key = RootKey(m, root);
  size_t pos = 0;
  while (key && pos <= path.size()) {
    size_t end = path.find(u'\\', pos);
    if (end == std::u16string_view::npos) end = path.size();
    std::u16string_view part = path.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty()) continue;
    RegKey* next = key->subkeys.Find(part);
    if (!next && create) next = &key->subkeys.Add(RegKey{U16(part), {}, {}});
    key = next;
  }
  return key;
}

const RegValue* FindRegValue(Machine& m, HKEY root, std::u16string_view path,
                             std::u16string_view name) {
  RegKey* key = FindRegKey(m, root, path);
  if (!key) return nullptr;
  for (auto& v : key->values) {
    if (EqualFold(v.name, name)) return &v;
  }
  return nullptr;
}

void SetRegValue(Machine& m, HKEY root, std::u16string_view path, std::u16string_view name,
                 DWORD type, std::vector<uint8_t> data) {
  RegKey* key = FindRegKey(m, root, path, true);
  if (!key) return;
  for (auto& v : key->values) {
    if (EqualFold(v.name, name)) {
      v.type = type;
      v.data = std::move(data);
      return;
    }
  }
  key->values.push_back(RegValue{U16(name), type, std::move(data)});
}

bool DeleteRegValue(Machine& m, HKEY root, std::u16string_view path, std::u16string_view name) {
  RegKey* key = FindRegKey(m, root, path);
  return key && EraseValue(*key, name);
}

}  // namespace sim

using namespace sim;

namespace {

constexpr LSTATUS kErrorBadPathname = 161;
constexpr LSTATUS kErrorKeyDeleted = 1018;
constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kKeyRights = 0x3F | DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER;

// An open key: where it is (root and path, looked up afresh on each use, since keys move in
// memory as their siblings come and go) and what it may do.
struct KeyObject : KernelObject {
  HKEY root = nullptr;
  std::vector<U16> path;
  REGSAM access = 0;
};

REGSAM KeyAccess(REGSAM access) {
  if (access & (GENERIC_ALL | kMaximumAllowed)) return kKeyRights;
  REGSAM out = access & kKeyRights;
  if (access & GENERIC_READ) out |= KEY_READ & kKeyRights;
  if (access & GENERIC_WRITE) out |= KEY_WRITE & kKeyRights;
  if (access & GENERIC_EXECUTE) out |= KEY_EXECUTE & kKeyRights;
  return out;
}

bool IsRoot(HKEY key) {
  return key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_USERS;
}

U16 JoinPath(const std::vector<U16>& parts) {
  U16 out;
  for (const auto& p : parts) {
    if (!out.empty()) out += u'\\';
    out += p;
  }
  return out;
}

// A key handle as the calls take it: a predefined root (all rights) or an open key.
struct KeyRef {
  HKEY root = nullptr;
  std::vector<U16> path;
  REGSAM access = 0;
  LSTATUS error = 0;
};

KeyRef Ref(Machine& m, HKEY key) {
  KeyRef r;
  if (IsRoot(key)) {
    r.root = key;
    r.access = kKeyRights;
    return r;
  }
  auto o = m.kernelHandles.GetAs<KeyObject>(key);
  if (!o) {
    r.error = ERROR_INVALID_HANDLE;
    return r;
  }
  r.root = o->root;
  r.path = o->path;
  r.access = o->access;
  if (!FindRegKey(m, r.root, JoinPath(r.path))) r.error = kErrorKeyDeleted;
  return r;
}

// Splits a sub-key path into its names. A leading backslash is a syntax error, as on Windows;
// a trailing one is tolerated.
LSTATUS SplitSubKey(std::u16string_view sub, std::vector<U16>* parts) {
  if (!sub.empty() && sub[0] == u'\\') return kErrorBadPathname;
  size_t pos = 0;
  while (pos < sub.size()) {
    size_t end = sub.find(u'\\', pos);
    if (end == std::u16string_view::npos) end = sub.size();
    if (end == pos) return kErrorBadPathname;  // "a\\b"
    parts->push_back(U16(sub.substr(pos, end - pos)));
    pos = end + 1;
  }
  return 0;
}

LSTATUS OpenKey(Machine& m, HKEY key, std::u16string_view sub, REGSAM access, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  KeyRef parent = Ref(m, key);
  if (parent.error) return parent.error;
  std::vector<U16> path = parent.path;
  if (LSTATUS e = SplitSubKey(sub, &path)) return e;
  RegKey* k = FindRegKey(m, parent.root, JoinPath(path));
  if (!k) return ERROR_FILE_NOT_FOUND;
  if (k->accessDenied) return ERROR_ACCESS_DENIED;
  auto o = std::make_shared<KeyObject>();
  o->root = parent.root;
  o->path.clear();
  // Keep the stored spelling of each name.
  RegKey* walk = RootKey(m, parent.root);
  for (const auto& part : path) {
    if (RegKey* s = walk->subkeys.Find(part)) walk = s;
    o->path.push_back(walk->name);
  }
  o->access = KeyAccess(access);
  *result = static_cast<HKEY>(m.kernelHandles.Add(o));
  return ERROR_SUCCESS;
}

RegValue* FindValue(RegKey& key, std::u16string_view name) {
  for (auto& v : key.values) {
    if (EqualFold(v.name, name)) return &v;
  }
  return nullptr;
}

bool IsString(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The key a value call works on, after its rights check.
RegKey* ValueKey(Machine& m, HKEY key, REGSAM right, LSTATUS* error) {
  KeyRef r = Ref(m, key);
  *error = r.error;
  if (r.error) return nullptr;
  if ((r.access & right) != right) {
    *error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  return FindRegKey(m, r.root, JoinPath(r.path));
}

LSTATUS QueryValue(Machine& m, HKEY key, std::u16string_view name, LPDWORD reserved, LPDWORD type,
                   LPBYTE data, LPDWORD size) {
  if (reserved || (data && !size)) return ERROR_INVALID_PARAMETER;
  LSTATUS error = 0;
  RegKey* k = ValueKey(m, key, KEY_QUERY_VALUE, &error);
  if (!k) return error;
  RegValue* v = FindValue(*k, name);
  if (!v) return ERROR_FILE_NOT_FOUND;
  const std::vector<uint8_t>& bytes = v->data;
  if (type) *type = v->type;
  if (!size) return ERROR_SUCCESS;
  DWORD needed = DWORD(bytes.size());
  if (!data) {
    *size = needed;
    return ERROR_SUCCESS;
  }
  if (*size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (needed) std::memcpy(data, bytes.data(), needed);
  // Windows ends a string stored without its terminator when the buffer has room for one;
  // the size reported stays that of the data.
  if (IsString(v->type)) {
    const size_t unit = 2;
    bool terminated = needed >= unit && std::all_of(data + needed - unit, data + needed,
                                                    [](BYTE b) { return b == 0; });
    if (needed >= unit && !terminated && *size >= needed + unit) {
      std::memset(data + needed, 0, unit);
    }
  }
  *size = needed;
  return ERROR_SUCCESS;
}

LSTATUS DeleteValue(Machine& m, HKEY key, std::u16string_view name) {
  LSTATUS error = 0;
  RegKey* k = ValueKey(m, key, KEY_SET_VALUE, &error);
  if (!k) return error;
  return EraseValue(*k, name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

std::u16string_view View(const WCHAR* s) {
  return s ? std::u16string_view(s) : std::u16string_view();
}

}  // namespace

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  (void)options;
  if (DWORD e = Enter("RegOpenKeyExA", CallArg(subKey))) return LSTATUS(e);
  U16 sub = subKey ? FromAnsi(subKey) : U16();
  return OpenKey(M(), key, sub, access, result);
}

LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  (void)options;
  if (DWORD e = Enter("RegOpenKeyExW", CallArg(subKey))) return LSTATUS(e);
  return OpenKey(M(), key, View(subKey), access, result);
}

LSTATUS WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR cls, DWORD options,
                               REGSAM access, LPSECURITY_ATTRIBUTES sa, PHKEY result,
                               LPDWORD disposition) {
  (void)reserved;
  (void)cls;
  (void)options;
  (void)sa;
  if (DWORD e = Enter("RegCreateKeyExW", CallArg(subKey))) return LSTATUS(e);
  Machine& m = M();
  if (!result || !subKey) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  KeyRef parent = Ref(m, key);
  if (parent.error) return parent.error;
  std::vector<U16> parts;
  if (LSTATUS e = SplitSubKey(subKey, &parts)) return e;
  std::vector<U16> path = parent.path;
  path.insert(path.end(), parts.begin(), parts.end());
  bool existed = FindRegKey(m, parent.root, JoinPath(path)) != nullptr;
  if (!existed) {
    if (!(parent.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    // Each missing key is created under a parent that must let us in.
    std::vector<U16> walk = parent.path;
    for (const auto& part : parts) {
      RegKey* above = FindRegKey(m, parent.root, JoinPath(walk));
      if (above && above->accessDenied && walk.size() > parent.path.size()) {
        return ERROR_ACCESS_DENIED;
      }
      walk.push_back(part);
    }
    FindRegKey(m, parent.root, JoinPath(path), true);
  }
  LSTATUS status = OpenKey(m, parent.root, JoinPath(path), access, result);
  if (status == ERROR_SUCCESS && disposition) {
    *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  }
  return status;
}

LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD size) {
  if (DWORD e = Enter("RegQueryValueExW", CallArg(name))) return LSTATUS(e);
  return QueryValue(M(), key, View(name), reserved, type, data, size);
}

LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD size) {
  (void)reserved;
  if (DWORD e = Enter("RegSetValueExW",
                      CallArg(name) + " " + std::to_string(type) + " " + std::to_string(size))) {
    return LSTATUS(e);
  }
  Machine& m = M();
  if (!data && size) return ERROR_INVALID_PARAMETER;
  LSTATUS error = 0;
  RegKey* k = ValueKey(m, key, KEY_SET_VALUE, &error);
  if (!k) return error;
  std::vector<uint8_t> bytes(data, data + size);
  if (RegValue* v = FindValue(*k, View(name))) {
    v->type = type;
    v->data = std::move(bytes);
  } else {
    k->values.push_back(RegValue{U16(View(name)), type, std::move(bytes)});
  }
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueA(HKEY key, LPCSTR name) {
  if (DWORD e = Enter("RegDeleteValueA", CallArg(name))) return LSTATUS(e);
  U16 wide = name ? FromAnsi(name) : U16();
  return DeleteValue(M(), key, wide);
}

LSTATUS WINAPI RegDeleteValueW(HKEY key, LPCWSTR name) {
  if (DWORD e = Enter("RegDeleteValueW", CallArg(name))) return LSTATUS(e);
  return DeleteValue(M(), key, View(name));
}

LSTATUS WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  if (DWORD e = Enter("RegDeleteKeyW", CallArg(subKey))) return LSTATUS(e);
  Machine& m = M();
  if (!subKey) return ERROR_INVALID_PARAMETER;
  KeyRef parent = Ref(m, key);
  if (parent.error) return parent.error;
  std::vector<U16> path = parent.path;
  if (LSTATUS e = SplitSubKey(subKey, &path)) return e;
  // A root cannot go, and a key goes only without sub-keys.
  if (path.empty()) return ERROR_ACCESS_DENIED;
  RegKey* k = FindRegKey(m, parent.root, JoinPath(path));
  if (!k) return ERROR_FILE_NOT_FOUND;
  if (k->accessDenied || !k->subkeys.empty()) return ERROR_ACCESS_DENIED;
  U16 name = path.back();
  path.pop_back();
  RegKey* above = FindRegKey(m, parent.root, JoinPath(path));
  erase_if(above->subkeys, [&](const RegKey& s) { return EqualFold(s.name, name); });
  return ERROR_SUCCESS;
}

namespace {
// A subkey's name by index, as each character type's call gives it.
template <class Char, class Convert>
LSTATUS EnumKey(const char* api, HKEY key, DWORD index, Char* name, LPDWORD nameLength, Char* cls,
                LPDWORD classLength, Convert convert) {
  if (DWORD e = Enter(api, std::to_string(index))) return LSTATUS(e);
  Machine& m = M();
  const KeyRef r = Ref(m, key);
  if (r.error) return r.error;
  if (!(r.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  const RegKey* k = FindRegKey(m, r.root, JoinPath(r.path));
  if (!k) return kErrorKeyDeleted;
  if (!name || !nameLength) return ERROR_INVALID_PARAMETER;
  if (index >= k->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  const auto text = convert(k->subkeys[index].name);
  // The length in characters without the terminator, which must fit as well.
  if (text.size() + 1 > *nameLength) return ERROR_MORE_DATA;
  std::memcpy(name, text.c_str(), (text.size() + 1) * sizeof(Char));
  *nameLength = DWORD(text.size());
  if (cls && classLength && *classLength) cls[0] = 0;
  if (classLength) *classLength = 0;
  return ERROR_SUCCESS;
}
}  // namespace

LSTATUS WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                             LPDWORD /*reserved*/, LPSTR cls, LPDWORD classLength,
                             PFILETIME /*written*/) {
  return EnumKey("RegEnumKeyExA", key, index, name, nameLength, cls, classLength,
                 [](const U16& s) { return ToAnsi(s); });
}

LSTATUS WINAPI RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength,
                             LPDWORD /*reserved*/, LPWSTR cls, LPDWORD classLength,
                             PFILETIME /*written*/) {
  return EnumKey("RegEnumKeyExW", key, index, name, nameLength, cls, classLength,
                 [](const U16& s) { return s; });
}

namespace {
bool AnyDenied(const RegKey& k) {
  for (const auto& s : k.subkeys) {
    if (s.accessDenied || AnyDenied(s)) return true;
  }
  return false;
}
}  // namespace

// The key and everything below it; without a subkey, what lies below the key itself.
LSTATUS WINAPI RegDeleteTreeW(HKEY key, LPCWSTR subKey) {
  if (DWORD e = Enter("RegDeleteTreeW", CallArg(subKey))) return LSTATUS(e);
  Machine& m = M();
  KeyRef parent = Ref(m, key);
  if (parent.error) return parent.error;
  std::vector<U16> path = parent.path;
  if (subKey) {
    if (LSTATUS e = SplitSubKey(subKey, &path)) return e;
  }
  RegKey* k = FindRegKey(m, parent.root, JoinPath(path));
  if (!k) return ERROR_FILE_NOT_FOUND;
  if (k->accessDenied || AnyDenied(*k)) return ERROR_ACCESS_DENIED;
  if (!subKey || path.size() == parent.path.size()) {
    k->subkeys.clear();
    k->values.clear();
    return ERROR_SUCCESS;
  }
  if (path.empty()) return ERROR_ACCESS_DENIED;
  U16 name = path.back();
  path.pop_back();
  RegKey* above = FindRegKey(m, parent.root, JoinPath(path));
  erase_if(above->subkeys, [&](const RegKey& s) { return EqualFold(s.name, name); });
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
  if (DWORD e = Enter("RegCloseKey")) return LSTATUS(e);
  if (IsRoot(key) || key == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
  Machine& m = M();
  if (!m.kernelHandles.GetAs<KeyObject>(key)) {
    RecordMisuse(m, "RegCloseKey of a key not open");
    return ERROR_INVALID_HANDLE;
  }
  m.kernelHandles.Close(key);
  return ERROR_SUCCESS;
}

namespace sim {

void InitRegistry(Machine& m) {
  m.registry = RegistryModel{};
  auto sz = [](std::u16string_view s) {
    std::vector<uint8_t> out;
    AppendUtf16Terminated(&out, s);
    return out;
  };
  const HKEY lm = HKEY_LOCAL_MACHINE, cu = HKEY_CURRENT_USER;
  // The list of start-up file operations lives here; none is pending on a fresh machine.
  FindRegKey(m, lm, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager", true);
  FindRegKey(m, lm, u"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors", true);
  FindRegKey(m, lm, u"SYSTEM\\CurrentControlSet\\Services", true);
  FindRegKey(m, lm, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", true);
  FindRegKey(m, lm, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce", true);
  SetRegValue(m, lm, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", u"ProgramFilesDir", REG_SZ,
              sz(u"C:\\Program Files"));
  SetRegValue(m, lm, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", u"SystemRoot", REG_SZ,
              sz(u"C:\\Windows"));
  SetRegValue(m, lm, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", u"CurrentBuildNumber",
              REG_SZ, sz(u"19045"));
  FindRegKey(m, cu, u"Software\\Microsoft\\Windows\\CurrentVersion\\Run", true);
  FindRegKey(m, cu, u"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", true);
  FindRegKey(m, cu, u"Printers", true);
}

}  // namespace sim
