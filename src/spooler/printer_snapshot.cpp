#include "spooler/printer_snapshot.h"

#include <cstring>

#include "context/install_context.h"
#include "context/run_log.h"
#include "platform/default_printer.h"

namespace {
// The spooler is never offered these; they stay zero behind the last string.
constexpr SIZE_T kEnumSlack = 32;
constexpr DWORD kDefaultNameUnits = 255;
constexpr DWORD kPrinterEnumFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;

LPBYTE AllocateZeroed(SIZE_T bytes) {
  auto* block = static_cast<LPBYTE>(GlobalAlloc(GMEM_FIXED, bytes));
  if (!block) {
    SetLastError(DWORD(E_OUTOFMEMORY));
    return nullptr;
  }
  std::memset(block, 0, bytes);
  return block;
}

// Frees a block without disturbing the last error the caller is to report.
void FreeKeepingError(LPVOID block) {
  const DWORD error = GetLastError();
  GlobalFree(block);
  SetLastError(error);
}

bool SameName(LPCWSTR a, LPCWSTR b) {
  if (!a || !b) return false;
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

CHAR kSubKeyValue[] = "SubKey";
constexpr CHAR kDsUserKey[] = "DsUser";
}  // namespace

void ReleasePrinterList(PrinterList& list) {
  GlobalFree(list.Buffer);
  list.Buffer = nullptr;
  list.Count = 0;
}

bool EnumeratePrinters(PrinterList& list) {
  ReleasePrinterList(list);
  DWORD needed = 0;
  DWORD count = 0;
  if (EnumPrintersW(kPrinterEnumFlags, nullptr, 2, nullptr, 0, &needed, &count)) return true;
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
  list.Buffer = AllocateZeroed(SIZE_T(needed) + kEnumSlack);
  if (!list.Buffer) return false;
  if (!EnumPrintersW(kPrinterEnumFlags, nullptr, 2, list.Buffer, needed, &needed, &count)) {
    const DWORD error = GetLastError();
    ReleasePrinterList(list);
    SetLastError(error);
    return false;
  }
  list.Count = count;
  return true;
}

void TakePrinterSnapshot(InstallContext& context) {
  PrinterList& snapshot = context.PrinterSnapshot;
  context.SnapshotTaken = EnumeratePrinters(snapshot) ? 1 : 0;
  if (!context.SnapshotTaken) LogError(context, ErrListPrinters, W("Can`t list the printers"));
  context.DefaultKnown = 0;
  WCHAR fixed[kDefaultNameUnits] = {};
  LPWSTR name = fixed;
  DWORD size = kDefaultNameUnits;
  BOOL found = SpoolerGetDefaultPrinter(name, &size);
  if (!found && GetLastError() == ERROR_INSUFFICIENT_BUFFER && size > kDefaultNameUnits) {
    // A name longer than the usual buffer is still a name.
    name = reinterpret_cast<LPWSTR>(AllocateZeroed(SIZE_T(size) * sizeof(WCHAR)));
    found = name && SpoolerGetDefaultPrinter(name, &size);
  }
  if (!found) {
    // No default printer at all is something known; any other failure is not.
    context.DefaultError = GetLastError();
    context.DefaultKnown = context.DefaultError == ERROR_FILE_NOT_FOUND ? 1 : 0;
  } else {
    context.DefaultKnown = 1;
    PRINTER_INFO_2W* records = PrinterRecords(snapshot);
    for (DWORD i = 0; i < snapshot.Count; ++i) {
      // Every record of that name: a local queue and a connection may share it.
      if (SameName(records[i].pPrinterName, name)) {
        records[i].Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
      }
    }
  }
  if (name != fixed) GlobalFree(name);
}

PRINTER_INFO_2W* GetPrinterInfo(HANDLE printer) {
  DWORD needed = 0;
  GetPrinterW(printer, 2, nullptr, 0, &needed);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return nullptr;
  LPBYTE block = AllocateZeroed(needed);
  if (!block) return nullptr;
  if (!GetPrinterW(printer, 2, block, needed, &needed)) {
    FreeKeepingError(block);
    return nullptr;
  }
  return reinterpret_cast<PRINTER_INFO_2W*>(block);
}

DRIVER_INFO_2W* GetDriverInfo(HANDLE printer) {
  DWORD needed = 0;
  WCHAR environment[] = W("Windows x64");
  GetPrinterDriverW(printer, environment, 2, nullptr, 0, &needed);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return nullptr;
  LPBYTE block = AllocateZeroed(needed);
  if (!block) return nullptr;
  // No environment: the spooler's own, which is the one sized above on 64-bit Windows.
  if (!GetPrinterDriverW(printer, nullptr, 2, block, needed, &needed)) {
    FreeKeepingError(block);
    return nullptr;
  }
  return reinterpret_cast<DRIVER_INFO_2W*>(block);
}

BOOL ClosePrinterHandle(HANDLE printer) {
  return ClosePrinter(printer);
}

HANDLE CreatePrinterQueue(PRINTER_INFO_2W* info) {
  return AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(info));
}

BOOL PurgeAndDeletePrinter(HANDLE printer) {
  // A failed purge does not keep the queue: the deletion is tried all the same.
  SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE);
  return DeletePrinter(printer);
}

namespace {
// One copy of the value: asked for its size first, so that no length is cut short.
SubKeyRead ReadSubKeyCopy(HANDLE printer, LPCSTR key, LPSTR* text) {
  auto read = [&](LPBYTE data, DWORD size, DWORD* type, DWORD* needed) {
    return key ? GetPrinterDataExA(printer, key, kSubKeyValue, type, data, size, needed)
               : GetPrinterDataA(printer, kSubKeyValue, type, data, size, needed);
  };
  DWORD type = 0;
  DWORD needed = 0;
  DWORD result = read(nullptr, 0, &type, &needed);
  if (result == ERROR_FILE_NOT_FOUND || result == ERROR_SUCCESS) return SubKeyRead::None;
  if (result != ERROR_MORE_DATA) {
    SetLastError(result);
    return SubKeyRead::Failed;
  }
  // One byte more than asked, so that a value stored without its terminator gets one.
  auto* buffer = reinterpret_cast<LPSTR>(AllocateZeroed(SIZE_T(needed) + 1));
  if (!buffer) return SubKeyRead::Failed;
  DWORD got = 0;
  result = read(reinterpret_cast<LPBYTE>(buffer), needed, &type, &got);
  if (result != ERROR_SUCCESS || type != REG_SZ || buffer[0] == 0) {
    GlobalFree(buffer);
    if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) return SubKeyRead::None;
    SetLastError(result);
    return SubKeyRead::Failed;
  }
  *text = buffer;
  return SubKeyRead::Found;
}
}  // namespace

SubKeyRead ReadSubKey(HANDLE printer, LPSTR* text) {
  *text = nullptr;
  const SubKeyRead plain = ReadSubKeyCopy(printer, nullptr, text);
  if (plain == SubKeyRead::Found) return plain;
  const DWORD plainError = GetLastError();
  const SubKeyRead keyed = ReadSubKeyCopy(printer, kDsUserKey, text);
  if (keyed != SubKeyRead::None) return keyed;
  // Neither copy is there, unless the plain one only could not be read.
  if (plain == SubKeyRead::Failed) SetLastError(plainError);
  return plain;
}

DWORD WriteSubKey(HANDLE printer, LPCSTR text) {
  const DWORD size = DWORD(lstrlenA(text)) + 1;
  auto* data = reinterpret_cast<LPBYTE>(const_cast<LPSTR>(text));
  const DWORD plain = SetPrinterDataA(printer, kSubKeyValue, REG_SZ, data, size);
  const DWORD keyed = SetPrinterDataExA(printer, kDsUserKey, kSubKeyValue, REG_SZ, data, size);
  return plain != ERROR_SUCCESS ? plain : keyed;
}
