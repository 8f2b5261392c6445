#include "spooler/queue_record.h"

#include <cstring>
#include <utility>

#include "context/install_context.h"
#include "context/names.h"
#include "context/run_log.h"
#include "context/text_compare.h"
#include "context/wide_text.h"
#include "platform/sized_query.h"

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
// The rest of a whole queue. An entry with the numbers (its attributes, priorities and hours,
// five 8-digit hex numbers) is whole; the blocks are in hex.
constexpr WCHAR kShareTag = W('S');
constexpr WCHAR kSepFileTag = W('F');
constexpr WCHAR kProcessorTag = W('R');
constexpr WCHAR kDatatypeTag = W('T');
constexpr WCHAR kParametersTag = W('A');
constexpr WCHAR kNumbersTag = W('Q');
constexpr WCHAR kDevModeTag = W('M');
constexpr WCHAR kSecurityTag = W('X');
// One printer-data value: its type and the lengths of its key and name (8 hex digits each),
// the key and the name, then its bytes in hex.
constexpr WCHAR kDataTag = W('V');
constexpr size_t kDataHeaderUnits = 24;
constexpr size_t kNumbers = 5;

// Each queue's entry is the value kQueueEntryValue of its own key under kSavedQueuesKey, so
// that a print server's thousands of queues never make one large value, and a queue's entry
// is written whole or not at all.
constexpr WCHAR kSavedQueuesKey[] = W("Software\\Vantrel Software KFT\\Orvalstone\\SavedQueues");
constexpr WCHAR kSavedQueuesAsideKey[] =
    W("Software\\Vantrel Software KFT\\Orvalstone\\SavedQueues.unreadable");
constexpr WCHAR kQueueEntryValue[] = W("Queue");

constexpr WCHAR kHexDigits[] = W("0123456789abcdef");
constexpr size_t kLongestKeyName = 255;
// What an empty value is written back from.
constexpr BYTE kNoBytes[1] = {};

void PutHex(LPWSTR at, const BYTE* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    at[2 * i] = kHexDigits[bytes[i] >> 4];
    at[2 * i + 1] = kHexDigits[bytes[i] & 15];
  }
}

void PutHexNumber(LPWSTR at, DWORD n) {
  for (int i = 7; i >= 0; --i, n >>= 4) at[i] = kHexDigits[n & 15];
}

int HexValue(WCHAR c) {
  if (c >= W('0') && c <= W('9')) return c - W('0');
  if (c >= W('a') && c <= W('f')) return c - W('a') + 10;
  return -1;
}

// `units` hex digits into bytes; false when one is no digit.
bool TakeHex(LPCWSTR text, size_t units, BYTE* out) {
  for (size_t i = 0; i + 1 < units; i += 2) {
    const int high = HexValue(text[i]);
    const int low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) return false;
    out[i / 2] = BYTE(high << 4 | low);
  }
  return units % 2 == 0;
}

bool TakeHexNumber(LPCWSTR text, DWORD* n) {
  BYTE bytes[4];
  if (!TakeHex(text, 8, bytes)) return false;
  *n = DWORD(bytes[0]) << 24 | DWORD(bytes[1]) << 16 | DWORD(bytes[2]) << 8 | bytes[3];
  return true;
}

// The ANSI "SubKey" is kept byte for byte, each byte one UTF-16 unit, so that it comes back
// exactly whatever the code page.
// *bytes goes false when a unit is no byte.
unique_global<CHAR> NarrowBytes(LPCWSTR s, size_t units, bool* bytes) {
  unique_global<CHAR> copy(static_cast<LPSTR>(GlobalAlloc(GPTR, units + 1)));
  for (size_t i = 0; copy && i < units; ++i) {
    if (s[i] > 0xFF) {
      *bytes = false;
      return unique_global<CHAR>();
    }
    copy.get()[i] = CHAR(BYTE(s[i]));
  }
  return copy;
}

// A global-heap copy of a byte string, or null when the heap refused.
unique_global<CHAR> GlobalBytes(LPCSTR text) {
  const size_t length = std::strlen(text);
  unique_global<CHAR> copy(static_cast<LPSTR>(GlobalAlloc(GPTR, length + 1)));
  if (copy) std::memcpy(copy.get(), text, length);
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

bool AppendHexField(WideText& out, WCHAR tag, const BYTE* bytes, size_t size) {
  const ULONGLONG start = Count(out);
  if (!Resize(out, start + 2 + 2 * size + 1)) return false;
  LPWSTR at = Data(out) + start;
  at[0] = tag;
  at[1] = W('=');
  PutHex(at + 2, bytes, size);
  at[2 + 2 * size] = 0;
  return true;
}

bool AppendNumbers(WideText& out, const SavedPrinter& p) {
  const DWORD numbers[kNumbers] = {p.Attributes, p.Priority, p.DefaultPriority, p.StartTime,
                                   p.UntilTime};
  const ULONGLONG start = Count(out);
  if (!Resize(out, start + 2 + 8 * kNumbers + 1)) return false;
  LPWSTR at = Data(out) + start;
  at[0] = kNumbersTag;
  at[1] = W('=');
  for (size_t i = 0; i < kNumbers; ++i) PutHexNumber(at + 2 + 8 * i, numbers[i]);
  at[2 + 8 * kNumbers] = 0;
  return true;
}

// A global-heap copy of `units` hex digits as bytes; null (*valid false when they are not
// hex) when it cannot be had.
unique_global<BYTE> GlobalHex(LPCWSTR text, size_t units, DWORD* size, bool* valid) {
  unique_global<BYTE> bytes(static_cast<BYTE*>(GlobalAlloc(GPTR, units / 2 + 1)));
  if (!bytes) return bytes;
  if (!TakeHex(text, units, bytes.get())) {
    *valid = false;
    return unique_global<BYTE>();
  }
  *size = DWORD(units / 2);
  return bytes;
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
bool SetRecordAside(LPCWSTR value) {
  unique_hkey key;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKeyPath, 0,
                                 KEY_QUERY_VALUE | KEY_SET_VALUE, key.put());
  unique_global<BYTE> data;
  DWORD type = 0;
  DWORD bytes = 0;
  if (status == ERROR_SUCCESS) status = ReadRegValue(key.get(), value, data, bytes, &type);
  if (status == ERROR_SUCCESS) {
    status =
        RegSetValueExW(key.get(), AsideName(value), 0, type, data ? data.get() : kNoBytes, bytes);
  }
  if (status == ERROR_SUCCESS) status = RegDeleteValueW(key.get(), value);
  return Failed(status == ERROR_SUCCESS ? ERROR_DATATYPE_MISMATCH : status);
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
  *status = ReadRegValue(key.get(), value, data, bytes, &type);
  if (*status == ERROR_FILE_NOT_FOUND) {
    *status = ERROR_SUCCESS;
    return data;
  }
  if (*status != ERROR_SUCCESS) return data;
  if (type != REG_MULTI_SZ) {
    data.reset();
    key.reset();
    SetRecordAside(value);
    *status = LSTATUS(GetLastError());
    return data;
  }
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

SavedPrinter* FindSavedPrinter(SavedPrinter* list, LPCWSTR name) {
  for (; list; list = list->Next.get()) {
    if (SameTextIgnoringCase(list->Name.get(), name)) return list;
  }
  return nullptr;
}

namespace {
// Appends the entries of a run of record strings to the list (its tail at *tail), passing
// over a queue already listed. *damaged goes true for what no run of ours writes; false when
// the heap refused.
bool ParseEntries(LPCWSTR data, size_t units, unique_list<SavedPrinter>& list,
                  unique_list<SavedPrinter>*& tail, bool* damaged) {
  unique_list<SavedPrinter> entry;
  bool whole = true;
  bool subKeySeen = false;
  bool dsUserSeen = false;
  WideText values;  // the entry's printer data
  auto finish = [&] {
    // An entry of an earlier build: its one SubKey was both copies.
    if (entry && !dsUserSeen && entry->SubKey) {
      entry->DsUserSubKey = GlobalBytes(entry->SubKey.get());
      whole = whole && entry->DsUserSubKey;
    }
    if (entry && Count(values)) {
      entry->DataUnits = SIZE_T(Count(values));
      entry->Data.reset(GlobalText(Chars(values), entry->DataUnits));
      whole = whole && entry->Data;
    }
    Assign(values, nullptr);
    subKeySeen = dsUserSeen = false;
    // A name no queue can have, and no key either: none, or one with a backslash.
    LPCWSTR name = entry ? entry->Name.get() : nullptr;
    const size_t nameUnits = name ? size_t(lstrlenW(name)) : 0;
    bool nameable = nameUnits > 0 && nameUnits <= kLongestKeyName;
    for (size_t i = 0; nameable && i < nameUnits; ++i) nameable = name[i] != W('\\');
    if (name && !nameable) {
      *damaged = true;
    } else if (name && !FindSavedPrinter(list.get(), name)) {
      *tail = std::move(entry);
      tail = &(*tail)->Next;
    }
    entry.reset();
  };
  EachField(
      data, units,
      [&] {
        finish();
        entry = NewNode<SavedPrinter>();
        whole = whole && entry;
      },
      [&](WCHAR tag, LPCWSTR text, size_t length) {
        if (!entry) return;
        unique_global<WCHAR>* slot = tag == kNameTag         ? &entry->Name
                                     : tag == kCommentTag    ? &entry->Comment
                                     : tag == kLocationTag   ? &entry->Location
                                     : tag == kShareTag      ? &entry->ShareName
                                     : tag == kSepFileTag    ? &entry->SepFile
                                     : tag == kProcessorTag  ? &entry->PrintProcessor
                                     : tag == kDatatypeTag   ? &entry->Datatype
                                     : tag == kParametersTag ? &entry->Parameters
                                                             : nullptr;
        bool valid = true;
        if (slot && !*slot) {
          slot->reset(GlobalText(text, length));
          whole = whole && *slot;
        } else if ((tag == kSubKeyTag && !subKeySeen) || (tag == kDsUserSubKeyTag && !dsUserSeen)) {
          // Only an entry's first of each counts, whether or not it could be copied.
          (tag == kSubKeyTag ? subKeySeen : dsUserSeen) = true;
          if (tag == kDsUserSubKeyTag && length == 0) return;  // none
          // A SubKey that cannot be copied makes the record unreadable, not the queue
          // SubKey-less.
          unique_global<CHAR>& subKey = tag == kSubKeyTag ? entry->SubKey : entry->DsUserSubKey;
          subKey = NarrowBytes(text, length, &valid);
          whole = whole && (subKey || !valid);
        } else if (tag == kDefaultTag) {
          entry->Default = length == 1 && text[0] == W('1');
        } else if (tag == kNumbersTag && !entry->Whole) {
          DWORD* numbers[kNumbers] = {&entry->Attributes, &entry->Priority, &entry->DefaultPriority,
                                      &entry->StartTime, &entry->UntilTime};
          valid = length == 8 * kNumbers;
          for (size_t i = 0; valid && i < kNumbers; ++i) {
            valid = TakeHexNumber(text + 8 * i, numbers[i]);
          }
          entry->Whole = valid;
        } else if ((tag == kDevModeTag && !entry->DevMode) ||
                   (tag == kSecurityTag && !entry->Security)) {
          unique_global<BYTE>& block = tag == kDevModeTag ? entry->DevMode : entry->Security;
          block =
              GlobalHex(text, length,
                        tag == kDevModeTag ? &entry->DevModeBytes : &entry->SecurityBytes, &valid);
          whole = whole && (block || !valid);
        } else if (tag == kDataTag) {
          DWORD header[3] = {};
          valid = length >= kDataHeaderUnits;
          for (size_t i = 0; valid && i < 3; ++i) valid = TakeHexNumber(text + 8 * i, &header[i]);
          valid = valid && ULONGLONG(header[1]) + header[2] + kDataHeaderUnits <= length &&
                  (length - kDataHeaderUnits - header[1] - header[2]) % 2 == 0;
          const ULONGLONG at = Count(values);
          if (valid && Resize(values, at + 2 + length + 1)) {
            std::memcpy(Data(values) + at, text - 2, (length + 2) * sizeof(WCHAR));
            Data(values)[at + 2 + length] = 0;
          } else if (valid) {
            whole = false;
          }
        }
        *damaged = *damaged || !valid;
      });
  finish();
  return whole;
}

// The record's entries, one per queue key, appended to the list. A missing key is an empty
// record; an entry that is not one of ours is moved aside, key by key.
bool ReadQueueKeys(unique_list<SavedPrinter>& list, unique_list<SavedPrinter>*& tail,
                   bool* damaged) {
  unique_hkey keys;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSavedQueuesKey, 0, KEY_READ, keys.put());
  if (status == ERROR_FILE_NOT_FOUND) return true;
  if (status != ERROR_SUCCESS) return Failed(status);
  WCHAR name[kLongestKeyName + 1];
  for (DWORD index = 0;; ++index) {
    DWORD length = DWORD(sizeof name / sizeof name[0]);
    status = RegEnumKeyExW(keys.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return true;
    if (status != ERROR_SUCCESS) return Failed(status);
    unique_hkey key;
    status = RegOpenKeyExW(keys.get(), name, 0, KEY_QUERY_VALUE, key.put());
    if (status != ERROR_SUCCESS) return Failed(status);
    unique_global<WCHAR> data;
    DWORD type = 0;
    DWORD bytes = 0;
    status = ReadRegValue(key.get(), kQueueEntryValue, data, bytes, &type);
    // A key without its entry is one a run was cut short while making: nothing was deleted
    // on its strength.
    if (status == ERROR_FILE_NOT_FOUND) continue;
    if (status != ERROR_SUCCESS) return Failed(status);
    bool ours = type == REG_MULTI_SZ;
    if (ours) {
      unique_list<SavedPrinter> found;
      unique_list<SavedPrinter>* foundTail = &found;
      bool bad = false;
      if (!ParseEntries(data.get(), bytes / sizeof(WCHAR), found, foundTail, &bad)) {
        return Failed(ERROR_NOT_ENOUGH_MEMORY);
      }
      // The key's name is the entry's, as the registry spells either: in any case.
      ours = !bad && found && !found->Next && SameTextIgnoringCase(found->Name.get(), name);
      if (ours && !FindSavedPrinter(list.get(), found->Name.get())) {
        *tail = std::move(found);
        tail = &(*tail)->Next;
      }
    }
    if (!ours) {
      // Kept for a person to look at under the same name; the key goes, so that no run reads
      // it again.
      *damaged = true;
      unique_hkey aside;
      status =
          RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSavedQueuesAsideKey, 0, nullptr,
                          REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, aside.put(), nullptr);
      if (status == ERROR_SUCCESS) {
        const BYTE* kept = data ? reinterpret_cast<const BYTE*>(data.get()) : kNoBytes;
        status = RegSetValueExW(aside.get(), name, 0, type, kept, bytes);
      }
      key.reset();
      if (status == ERROR_SUCCESS) status = RegDeleteKeyW(keys.get(), name);
      if (status != ERROR_SUCCESS) return Failed(status);
      --index;
    }
  }
}

// One queue's entry as the record keeps it.
bool BuildEntry(WideText& strings, const SavedPrinter& p) {
  bool built =
      AppendField(strings, kNameTag, p.Name.get()) &&
      (!p.SubKey || AppendBytesField(strings, kSubKeyTag, p.SubKey.get())) &&
      AppendBytesField(strings, kDsUserSubKeyTag, p.DsUserSubKey ? p.DsUserSubKey.get() : "") &&
      AppendField(strings, kCommentTag, p.Comment.get()) &&
      AppendField(strings, kLocationTag, p.Location.get()) &&
      (!p.Default || AppendField(strings, kDefaultTag, W("1")));
  if (!built || !p.Whole) return built;
  for (auto [tag, text] : {std::pair{kShareTag, p.ShareName.get()},
                           {kSepFileTag, p.SepFile.get()},
                           {kProcessorTag, p.PrintProcessor.get()},
                           {kDatatypeTag, p.Datatype.get()},
                           {kParametersTag, p.Parameters.get()}}) {
    if (text && !AppendField(strings, tag, text)) return false;
  }
  if (!AppendNumbers(strings, p)) return false;
  if (p.DevMode && !AppendHexField(strings, kDevModeTag, p.DevMode.get(), p.DevModeBytes)) {
    return false;
  }
  if (p.Security && !AppendHexField(strings, kSecurityTag, p.Security.get(), p.SecurityBytes)) {
    return false;
  }
  if (!p.DataUnits) return true;
  const ULONGLONG at = Count(strings);
  if (!Resize(strings, at + p.DataUnits)) return false;
  std::memcpy(Data(strings) + at, p.Data.get(), p.DataUnits * sizeof(WCHAR));
  return true;
}

LSTATUS DeleteLegacyRecord() {
  unique_hkey key;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKeyPath, 0,
                                 KEY_QUERY_VALUE | KEY_SET_VALUE, key.put());
  if (status == ERROR_SUCCESS) status = RegDeleteValueW(key.get(), kSavedQueuesValue);
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}
}  // namespace

bool AppendDataValue(WideText& values, LPCWSTR key, LPCWSTR name, DWORD type, const BYTE* bytes,
                     DWORD size) {
  const size_t keyUnits = size_t(lstrlenW(key));
  const size_t nameUnits = size_t(lstrlenW(name));
  const ULONGLONG start = Count(values);
  const ULONGLONG units = 2 + kDataHeaderUnits + keyUnits + nameUnits + 2ULL * size;
  if (!Resize(values, start + units + 1)) return false;
  LPWSTR at = Data(values) + start;
  at[0] = kDataTag;
  at[1] = W('=');
  PutHexNumber(at + 2, type);
  PutHexNumber(at + 10, DWORD(keyUnits));
  PutHexNumber(at + 18, DWORD(nameUnits));
  at += 2 + kDataHeaderUnits;
  std::memcpy(at, key, keyUnits * sizeof(WCHAR));
  std::memcpy(at + keyUnits, name, nameUnits * sizeof(WCHAR));
  PutHex(at + keyUnits + nameUnits, bytes, size);
  at[keyUnits + nameUnits + 2 * size] = 0;
  return true;
}

DWORD WritePrinterData(HANDLE printer, const SavedPrinter& saved) {
  DWORD firstError = ERROR_SUCCESS;
  for (SIZE_T at = 0; at < saved.DataUnits;) {
    LPCWSTR s = saved.Data.get() + at;
    const size_t length = size_t(lstrlenW(s));
    at += length + 1;
    DWORD header[3] = {};
    for (size_t i = 0; i < 3; ++i) TakeHexNumber(s + 2 + 8 * i, &header[i]);
    LPCWSTR text = s + 2 + kDataHeaderUnits;
    const size_t hexUnits = length - 2 - kDataHeaderUnits - header[1] - header[2];
    // The key and the name, each terminated, then the bytes, in one block.
    const unique_global<BYTE> block(static_cast<BYTE*>(
        GlobalAlloc(GPTR, (header[1] + header[2] + 2) * sizeof(WCHAR) + hexUnits / 2 + 1)));
    DWORD status = ERROR_NOT_ENOUGH_MEMORY;
    if (block) {
      auto* key = reinterpret_cast<LPWSTR>(block.get());
      LPWSTR name = key + header[1] + 1;
      BYTE* bytes = reinterpret_cast<BYTE*>(name + header[2] + 1);
      std::memcpy(key, text, header[1] * sizeof(WCHAR));
      std::memcpy(name, text + header[1], header[2] * sizeof(WCHAR));
      TakeHex(text + header[1] + header[2], hexUnits, bytes);
      status = SetPrinterDataExW(printer, key, name, header[0], bytes, DWORD(hexUnits / 2));
    }
    if (status != ERROR_SUCCESS && firstError == ERROR_SUCCESS) firstError = status;
  }
  return firstError;
}

bool ReadSavedQueues(unique_list<SavedPrinter>& list) {
  size_t units = 0;
  LSTATUS status = ERROR_SUCCESS;
  // A record an earlier build kept as one value.
  const unique_global<WCHAR> data = ReadMultiString(kSavedQueuesValue, &units, &status);
  if (status != ERROR_SUCCESS) return Failed(status);
  unique_list<SavedPrinter>* tail = &list;
  while (*tail) tail = &(*tail)->Next;
  bool damaged = false;
  bool keysDamaged = false;
  if (!ReadQueueKeys(list, tail, &keysDamaged)) return false;
  if (!ParseEntries(data.get(), units, list, tail, &damaged)) {
    return Failed(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (damaged) return SetRecordAside(kSavedQueuesValue);
  return !keysDamaged || Failed(ERROR_DATATYPE_MISMATCH);
}

bool WriteSavedQueues(const SavedPrinter* list) {
  LSTATUS status = ERROR_SUCCESS;
  if (!list) {
    status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSavedQueuesKey);
    if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    if (status == ERROR_SUCCESS) status = DeleteLegacyRecord();
    return status == ERROR_SUCCESS || Failed(status);
  }
  unique_hkey keys;
  DWORD disposition = 0;
  status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSavedQueuesKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, keys.put(), &disposition);
  if (status != ERROR_SUCCESS) return Failed(status);
  for (const SavedPrinter* p = list; p; p = p->Next.get()) {
    WideText strings;
    if (!BuildEntry(strings, *p)) return Failed(ERROR_NOT_ENOUGH_MEMORY);
    unique_hkey key;
    status = RegCreateKeyExW(keys.get(), p->Name.get(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_SET_VALUE, nullptr, key.put(), nullptr);
    // The list's closing zero follows the last string's own.
    const DWORD bytes = DWORD((Count(strings) + 1) * sizeof(WCHAR));
    if (status == ERROR_SUCCESS) {
      status = RegSetValueExW(key.get(), kQueueEntryValue, 0, REG_MULTI_SZ,
                              reinterpret_cast<const BYTE*>(Chars(strings)), bytes);
    }
    if (status != ERROR_SUCCESS) return Failed(status);
  }
  // What the record held beyond the list goes; a key made now holds nothing else.
  for (DWORD index = 0; disposition == REG_OPENED_EXISTING_KEY;) {
    WCHAR name[kLongestKeyName + 1];
    DWORD length = DWORD(sizeof name / sizeof name[0]);
    status = RegEnumKeyExW(keys.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) return Failed(status);
    if (FindSavedPrinter(const_cast<SavedPrinter*>(list), name)) {
      ++index;
      continue;
    }
    status = RegDeleteTreeW(keys.get(), name);
    if (status != ERROR_SUCCESS) return Failed(status);
  }
  status = DeleteLegacyRecord();
  return status == ERROR_SUCCESS || Failed(status);
}

bool AddParkedPrinter(unique_list<ParkedPrinter>& list, LPCWSTR name, LPCWSTR port) {
  for (const ParkedPrinter* p = list.get(); p; p = p->Next.get()) {
    if (SameText(p->Name.get(), name)) return true;
  }
  unique_list<ParkedPrinter> entry = NewNode<ParkedPrinter>();
  if (!entry) return false;
  entry->Name.reset(GlobalText(name));
  entry->Port.reset(GlobalText(port));
  entry->Next = std::move(list);
  list = std::move(entry);
  return list->Name && list->Port;
}

bool ReadParkedPrinters(unique_list<ParkedPrinter>& list) {
  size_t units = 0;
  LSTATUS status = ERROR_SUCCESS;
  const unique_global<WCHAR> data = ReadMultiString(kParkedPrintersValue, &units, &status);
  if (status != ERROR_SUCCESS) return Failed(status);
  ParkedPrinter* entry = nullptr;
  bool whole = true;
  EachField(
      data.get(), units,
      [&] {
        unique_list<ParkedPrinter> made = NewNode<ParkedPrinter>();
        entry = made.get();
        if (made) {
          made->Next = std::move(list);
          list = std::move(made);
        }
        whole = whole && entry;
      },
      [&](WCHAR tag, LPCWSTR text, size_t length) {
        if (!entry) return;
        unique_global<WCHAR>* slot = tag == kNameTag   ? &entry->Name
                                     : tag == kPortTag ? &entry->Port
                                                       : nullptr;
        if (slot && !*slot) {
          slot->reset(GlobalText(text, length));
          whole = whole && *slot;
        }
      });
  return whole || Failed(ERROR_NOT_ENOUGH_MEMORY);
}

void LogRecordFailure(InstallContext& context, LPCWSTR value) {
  if (GetLastError() == ERROR_DATATYPE_MISMATCH) {
    LogError(context, ErrRecordType, value, AsideName(value));
  } else {
    LogError(context, ErrQueueRecord);
  }
}

bool WriteParkedPrinters(const ParkedPrinter* list) {
  WideText strings;
  bool built = true;
  for (; list && built; list = list->Next.get()) {
    if (!list->Name || !list->Port) continue;
    built = AppendField(strings, kNameTag, list->Name.get()) &&
            AppendField(strings, kPortTag, list->Port.get());
  }
  if (!built) return Failed(ERROR_NOT_ENOUGH_MEMORY);
  return WriteMultiString(kParkedPrintersValue, strings);
}
