#include "spooler/queue_record.h"

#include <cstring>
#include <utility>

#include "context/install_context.h"
#include "context/names.h"
#include "context/run_log.h"
#include "context/text_compare.h"
#include "context/wide_text.h"
#include "platform/unique.h"

namespace {
// Each entry is a run of strings "T=text", one per field, T its tag; an entry starts with
// its "N=" string. Tags keep every string non-empty, as a multi-string needs, and unknown
// tags are passed over, so that a later build may add fields.
constexpr WCHAR kNameTag = W('N');
constexpr WCHAR kSubKeyTag = W('K');
// The "DsUser" copy, always written ("U=" for none); an entry without it, from an earlier
// build, had one SubKey for both.
constexpr WCHAR kDsUserSubKeyTag = W('U');
constexpr WCHAR kCommentTag = W('C');
constexpr WCHAR kLocationTag = W('L');
constexpr WCHAR kDefaultTag = W('D');
constexpr WCHAR kPortTag = W('P');

// The ANSI "SubKey" is kept byte for byte, each byte one UTF-16 unit, so that it comes back
// exactly whatever the code page.
// *bytes goes false when a unit is no byte.
LPSTR NarrowBytes(LPCWSTR s, size_t units, bool* bytes) {
  auto* copy = static_cast<LPSTR>(GlobalAlloc(GPTR, units + 1));
  if (!copy) return nullptr;
  for (size_t i = 0; i < units; ++i) {
    if (s[i] > 0xFF) {
      *bytes = false;
      ReleaseGlobal(copy);
      return nullptr;
    }
    copy[i] = CHAR(BYTE(s[i]));
  }
  return copy;
}

// A global-heap copy of a byte string, or null when the heap refused.
LPSTR GlobalBytes(LPCSTR text) {
  const size_t length = std::strlen(text);
  auto* copy = static_cast<LPSTR>(GlobalAlloc(GPTR, length + 1));
  if (copy) std::memcpy(copy, text, length);
  return copy;
}

// One "T=text" string and its terminator, appended to the multi-string being built.
bool AppendField(WideText& out, WCHAR tag, LPCWSTR text) {
  const ULONGLONG start = Count(out);
  const ULONGLONG units = text ? ULONGLONG(lstrlenW(text)) : 0;
  if (!Resize(out, start + 2 + units + 1)) return false;
  LPWSTR at = Data(out) + start;
  at[0] = tag;
  at[1] = W('=');
  if (units) std::memcpy(at + 2, text, units * sizeof(WCHAR));
  at[2 + units] = 0;
  return true;
}

bool AppendBytesField(WideText& out, WCHAR tag, LPCSTR bytes) {
  const size_t length = std::strlen(bytes);
  const ULONGLONG start = Count(out);
  if (!Resize(out, start + 2 + length + 1)) return false;
  LPWSTR at = Data(out) + start;
  at[0] = tag;
  at[1] = W('=');
  for (size_t i = 0; i < length; ++i) at[2 + i] = WCHAR(BYTE(bytes[i]));
  at[2 + length] = 0;
  return true;
}

LSTATUS OpenRecordKey(bool create, unique_hkey& key) {
  if (!create) return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKeyPath, 0, KEY_READ, key.put());
  return RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
}

bool Failed(LSTATUS status) {
  SetLastError(DWORD(status));
  return false;
}

// The name a damaged record is moved to.
LPCWSTR AsideName(LPCWSTR value) {
  return SameText(value, kSavedQueuesValue) ? kSavedQueuesAside : kParkedPrintersAside;
}

// Moves a record no run can read out of the way, type and bytes as they are, so that the
// next run starts from an empty one; fails with ERROR_DATATYPE_MISMATCH when moved, else
// with why it could not be.
bool SetRecordAside(HKEY key, LPCWSTR value, DWORD bytes) {
  const unique_global<BYTE> data(static_cast<BYTE*>(GlobalAlloc(GPTR, bytes ? bytes : 1)));
  if (!data) return Failed(ERROR_NOT_ENOUGH_MEMORY);
  DWORD type = 0;
  LSTATUS status = RegQueryValueExW(key, value, nullptr, &type, data.get(), &bytes);
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExW(key, AsideName(value), 0, type, data.get(), bytes);
  }
  if (status == ERROR_SUCCESS) status = RegDeleteValueW(key, value);
  return Failed(status == ERROR_SUCCESS ? ERROR_DATATYPE_MISMATCH : status);
}

bool SetRecordAside(LPCWSTR value) {
  unique_hkey key;
  const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKeyPath, 0,
                                       KEY_QUERY_VALUE | KEY_SET_VALUE, key.put());
  if (status != ERROR_SUCCESS) return Failed(status);
  DWORD bytes = 0;
  const LSTATUS size = RegQueryValueExW(key.get(), value, nullptr, nullptr, nullptr, &bytes);
  if (size != ERROR_SUCCESS) return Failed(size);
  return SetRecordAside(key.get(), value, bytes);
}

// The value's strings in a zero-filled global-heap block closed by two zeros (*units counts
// what lies before them), or empty with ERROR_SUCCESS for a missing key or value. A value of
// another type is set aside (ERROR_DATATYPE_MISMATCH).
unique_global<WCHAR> ReadMultiString(LPCWSTR value, size_t* units, LSTATUS* status) {
  *units = 0;
  unique_global<WCHAR> data;
  unique_hkey key;
  *status = OpenRecordKey(false, key);
  if (*status != ERROR_SUCCESS) {
    if (*status == ERROR_FILE_NOT_FOUND) *status = ERROR_SUCCESS;
    return data;
  }
  DWORD type = 0;
  DWORD bytes = 0;
  *status = RegQueryValueExW(key.get(), value, nullptr, &type, nullptr, &bytes);
  if (*status == ERROR_FILE_NOT_FOUND) {
    *status = ERROR_SUCCESS;
    return data;
  }
  if (*status != ERROR_SUCCESS) return data;
  if (type != REG_MULTI_SZ) {
    key.reset();
    SetRecordAside(value);
    *status = LSTATUS(GetLastError());
    return data;
  }
  if (bytes == 0) return data;
  data.reset(static_cast<LPWSTR>(GlobalAlloc(GPTR, bytes + 2 * sizeof(WCHAR))));
  if (!data) {
    *status = ERROR_NOT_ENOUGH_MEMORY;
    return data;
  }
  *status = RegQueryValueExW(key.get(), value, nullptr, &type, reinterpret_cast<LPBYTE>(data.get()),
                             &bytes);
  if (*status != ERROR_SUCCESS) return unique_global<WCHAR>();
  *units = bytes / sizeof(WCHAR);
  return data;
}

bool WriteMultiString(LPCWSTR value, const WideText& strings) {
  unique_hkey key;
  // An empty record needs no key: none is made just to hold nothing.
  LSTATUS status = Count(strings) == 0 ? RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKeyPath, 0,
                                                       KEY_SET_VALUE, key.put())
                                       : OpenRecordKey(true, key);
  if (status == ERROR_FILE_NOT_FOUND && Count(strings) == 0) return true;
  if (status != ERROR_SUCCESS) return Failed(status);
  if (Count(strings) == 0) {
    status = RegDeleteValueW(key.get(), value);
    if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
  } else {
    // The list's closing zero follows the last string's own.
    const DWORD bytes = DWORD((Count(strings) + 1) * sizeof(WCHAR));
    status = RegSetValueExW(key.get(), value, 0, REG_MULTI_SZ,
                            reinterpret_cast<const BYTE*>(Chars(strings)), bytes);
  }
  return status == ERROR_SUCCESS || Failed(status);
}

// Calls `field(tag, text, units)` for each string and `start()` before each "N=" string.
template <class Start, class Field>
void EachField(LPCWSTR data, size_t units, Start start, Field field) {
  size_t at = 0;
  while (at < units && data[at]) {
    const LPCWSTR s = data + at;
    size_t length = 0;
    while (at + length < units && s[length]) ++length;
    if (length >= 2 && s[1] == W('=')) {
      if (s[0] == kNameTag) start();
      field(s[0], s + 2, length - 2);
    }
    at += length + 1;
  }
}
}  // namespace

SavedPrinter* NewSavedPrinter(LPCWSTR name, LPCSTR subKey, LPCSTR dsUserSubKey, LPCWSTR comment,
                              LPCWSTR location, BOOL isDefault) {
  auto* node = static_cast<SavedPrinter*>(GlobalAlloc(GPTR, sizeof(SavedPrinter)));
  if (!node) return nullptr;
  node->Name = GlobalText(name);
  node->Comment = GlobalText(comment);
  node->Location = GlobalText(location);
  node->Default = isDefault;
  bool whole = node->Name && node->Comment && node->Location;
  for (auto [from, to] : {std::pair{subKey, &node->SubKey}, {dsUserSubKey, &node->DsUserSubKey}}) {
    if (!from) continue;
    *to = GlobalBytes(from);
    whole = whole && *to;
  }
  if (!whole) {
    ReleaseSavedPrinters(node);
    return nullptr;
  }
  return node;
}

SavedPrinter* FindSavedPrinter(SavedPrinter* list, LPCWSTR name) {
  for (; list; list = list->Next) {
    if (SameText(list->Name, name)) return list;
  }
  return nullptr;
}

bool ReadSavedQueues(SavedPrinter*& list) {
  size_t units = 0;
  LSTATUS status = ERROR_SUCCESS;
  const unique_global<WCHAR> data = ReadMultiString(kSavedQueuesValue, &units, &status);
  if (status != ERROR_SUCCESS) return Failed(status);
  SavedPrinter** tail = &list;
  while (*tail) tail = &(*tail)->Next;
  SavedPrinter* entry = nullptr;
  bool whole = true;
  bool damaged = false;  // a SubKey no run of ours wrote
  bool subKeySeen = false;
  bool dsUserSeen = false;
  auto finish = [&] {
    // An entry of an earlier build: its one SubKey was both copies.
    if (entry && !dsUserSeen && entry->SubKey) {
      entry->DsUserSubKey = GlobalBytes(entry->SubKey);
      whole = whole && entry->DsUserSubKey;
    }
    subKeySeen = dsUserSeen = false;
    if (entry && !FindSavedPrinter(list, entry->Name)) {
      *tail = entry;
      tail = &entry->Next;
    } else {
      ReleaseSavedPrinters(entry);
    }
    entry = nullptr;
  };
  EachField(
      data.get(), units,
      [&] {
        finish();
        entry = static_cast<SavedPrinter*>(GlobalAlloc(GPTR, sizeof(SavedPrinter)));
        whole = whole && entry;
      },
      [&](WCHAR tag, LPCWSTR text, size_t length) {
        if (!entry) return;
        LPWSTR* slot = tag == kNameTag       ? &entry->Name
                       : tag == kCommentTag  ? &entry->Comment
                       : tag == kLocationTag ? &entry->Location
                                             : nullptr;
        if (slot && !*slot) {
          *slot = GlobalText(text, length);
          whole = whole && *slot;
        } else if ((tag == kSubKeyTag && !subKeySeen) || (tag == kDsUserSubKeyTag && !dsUserSeen)) {
          // Only an entry's first of each counts, whether or not it could be copied.
          (tag == kSubKeyTag ? subKeySeen : dsUserSeen) = true;
          if (tag == kDsUserSubKeyTag && length == 0) return;  // none
          // A SubKey that cannot be copied makes the record unreadable, not the queue
          // SubKey-less.
          bool bytes = true;
          LPSTR& slot = tag == kSubKeyTag ? entry->SubKey : entry->DsUserSubKey;
          slot = NarrowBytes(text, length, &bytes);
          damaged = damaged || !bytes;
          whole = whole && slot;
        } else if (tag == kDefaultTag) {
          entry->Default = length == 1 && text[0] == W('1');
        }
      });
  finish();
  if (damaged) return SetRecordAside(kSavedQueuesValue);
  return whole || Failed(ERROR_NOT_ENOUGH_MEMORY);
}

bool WriteSavedQueues(const SavedPrinter* list) {
  WideText strings;
  bool built = true;
  for (; list && built; list = list->Next) {
    built =
        AppendField(strings, kNameTag, list->Name) &&
        (!list->SubKey || AppendBytesField(strings, kSubKeyTag, list->SubKey)) &&
        AppendBytesField(strings, kDsUserSubKeyTag, list->DsUserSubKey ? list->DsUserSubKey : "") &&
        AppendField(strings, kCommentTag, list->Comment) &&
        AppendField(strings, kLocationTag, list->Location) &&
        (!list->Default || AppendField(strings, kDefaultTag, W("1")));
  }
  if (!built) return Failed(ERROR_NOT_ENOUGH_MEMORY);
  return WriteMultiString(kSavedQueuesValue, strings);
}

void ReleaseParkedPrinters(ParkedPrinter*& list) {
  while (list) {
    ParkedPrinter* next = list->Next;
    ReleaseGlobal(list->Name);
    ReleaseGlobal(list->Port);
    ReleaseGlobal(list);
    list = next;
  }
}

bool AddParkedPrinter(ParkedPrinter*& list, LPCWSTR name, LPCWSTR port) {
  for (const ParkedPrinter* p = list; p; p = p->Next) {
    if (SameText(p->Name, name)) return true;
  }
  auto* entry = static_cast<ParkedPrinter*>(GlobalAlloc(GPTR, sizeof(ParkedPrinter)));
  if (!entry) return false;
  entry->Name = GlobalText(name);
  entry->Port = GlobalText(port);
  entry->Next = list;
  list = entry;
  return entry->Name && entry->Port;
}

bool ReadParkedPrinters(ParkedPrinter*& list) {
  size_t units = 0;
  LSTATUS status = ERROR_SUCCESS;
  const unique_global<WCHAR> data = ReadMultiString(kParkedPrintersValue, &units, &status);
  if (status != ERROR_SUCCESS) return Failed(status);
  ParkedPrinter* entry = nullptr;
  bool whole = true;
  EachField(
      data.get(), units,
      [&] {
        entry = static_cast<ParkedPrinter*>(GlobalAlloc(GPTR, sizeof(ParkedPrinter)));
        if (entry) {
          entry->Next = list;
          list = entry;
        }
        whole = whole && entry;
      },
      [&](WCHAR tag, LPCWSTR text, size_t length) {
        if (!entry) return;
        LPWSTR* slot = tag == kNameTag ? &entry->Name : tag == kPortTag ? &entry->Port : nullptr;
        if (slot && !*slot) {
          *slot = GlobalText(text, length);
          whole = whole && *slot;
        }
      });
  return whole || Failed(ERROR_NOT_ENOUGH_MEMORY);
}

void LogRecordFailure(InstallContext& context, LPCWSTR value) {
  if (GetLastError() == ERROR_DATATYPE_MISMATCH) {
    LogError(context, ErrRecordType, W("Can`t read the record %s, kept aside as %s"), value,
             AsideName(value));
  } else {
    LogError(context, ErrQueueRecord, W("Can`t update the record of saved printers"));
  }
}

bool WriteParkedPrinters(const ParkedPrinter* list) {
  WideText strings;
  bool built = true;
  for (; list && built; list = list->Next) {
    if (!list->Name || !list->Port) continue;
    built =
        AppendField(strings, kNameTag, list->Name) && AppendField(strings, kPortTag, list->Port);
  }
  if (!built) return Failed(ERROR_NOT_ENOUGH_MEMORY);
  return WriteMultiString(kParkedPrintersValue, strings);
}
