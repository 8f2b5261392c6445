#include "spooler/printer_snapshot.h"

#include <cstring>

#include "context/install_context.h"
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

// One read of a REG_SZ "SubKey": accepted only when the text ends within the buffer. Data
// stored without its terminator is terminated here; data that fills all 64 bytes without
// one is longer than the buffer can hold and is passed over like any longer text.
bool AcceptSubKey(DWORD result, DWORD type, LPSTR buffer, DWORD needed) {
  if (result != ERROR_SUCCESS || type != REG_SZ) return false;
  const DWORD written = needed < kSubKeyBytes ? needed : kSubKeyBytes;
  for (DWORD i = 0; i < written; ++i) {
    if (buffer[i] == 0) return true;
  }
  if (written == kSubKeyBytes) return false;
  buffer[written] = 0;
  return true;
}

CHAR kSubKeyValue[] = "SubKey";
constexpr CHAR kDsUserKey[] = "DsUser";
}  // namespace

void ReleasePrinterList(PrinterList& list) {
  GlobalFree(list.Buffer);
  list.Buffer = nullptr;
  list.Count = 0;
}

void EnumeratePrinters(PrinterList& list) {
  ReleasePrinterList(list);
  DWORD needed = 0;
  DWORD count = 0;
  if (EnumPrintersW(kPrinterEnumFlags, nullptr, 2, nullptr, 0, &needed, &count)) return;
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return;
  list.Buffer = AllocateZeroed(SIZE_T(needed) + kEnumSlack);
  if (!list.Buffer) return;
  if (!EnumPrintersW(kPrinterEnumFlags, nullptr, 2, list.Buffer, needed, &needed, &count)) {
    const DWORD error = GetLastError();
    ReleasePrinterList(list);
    SetLastError(error);
    return;
  }
  list.Count = count;
}

void TakePrinterSnapshot(InstallContext& context) {
  PrinterList& snapshot = context.PrinterSnapshot;
  EnumeratePrinters(snapshot);
  WCHAR name[kDefaultNameUnits] = {};
  DWORD size = kDefaultNameUnits;
  if (!SpoolerGetDefaultPrinter(name, &size)) return;
  name[kDefaultNameUnits - 1] = 0;
  PRINTER_INFO_2W* records = PrinterRecords(snapshot);
  for (DWORD i = 0; i < snapshot.Count; ++i) {
    // Every record of that name: a local queue and a connection may share it.
    if (SameName(records[i].pPrinterName, name)) {
      records[i].Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
    }
  }
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

void ReadSubKey(HANDLE printer, LPSTR buffer) {
  DWORD type = 0;
  DWORD needed = 0;
  DWORD result = GetPrinterDataA(printer, kSubKeyValue, &type, reinterpret_cast<LPBYTE>(buffer),
                                 kSubKeyBytes, &needed);
  if (AcceptSubKey(result, type, buffer, needed)) return;
  type = 0;
  needed = 0;
  result = GetPrinterDataExA(printer, kDsUserKey, kSubKeyValue, &type,
                             reinterpret_cast<LPBYTE>(buffer), kSubKeyBytes, &needed);
  if (!AcceptSubKey(result, type, buffer, needed)) buffer[0] = 0;
}

bool WriteSubKey(HANDLE printer, LPCSTR text) {
  const DWORD size = DWORD(lstrlenA(text)) + 1;
  auto* data = reinterpret_cast<LPBYTE>(const_cast<LPSTR>(text));
  SetPrinterDataA(printer, kSubKeyValue, REG_SZ, data, size);
  return SetPrinterDataExA(printer, kDsUserKey, kSubKeyValue, REG_SZ, data, size) == ERROR_SUCCESS;
}
