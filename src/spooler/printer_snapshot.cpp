#include "spooler/printer_snapshot.h"

#include <cstring>

#include "context/install_context.h"
#include "context/run_log.h"
#include "context/names.h"
#include "context/text_compare.h"
#include "platform/default_printer.h"
#include "platform/sized_query.h"

namespace {
// The spooler is never offered these; they stay zero behind the last string.
constexpr SIZE_T kEnumSlack = 32;
constexpr DWORD kDefaultNameUnits = 255;
constexpr DWORD kPrinterEnumFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
}  // namespace

bool EnumeratePrinters(PrinterList& list) {
  list = PrinterList();
  DWORD count = 0;
  unique_global<BYTE> block;
  const SizedQuery answer = QuerySized(
      [&](LPBYTE buffer, DWORD size, DWORD* needed) {
        return EnumPrintersW(kPrinterEnumFlags, nullptr, 2, buffer, size, needed, &count);
      },
      block, kEnumSlack);
  if (answer != SizedQuery::Filled) return answer == SizedQuery::Empty;
  list.Buffer = std::move(block);
  list.Count = count;
  return true;
}

void TakePrinterSnapshot(InstallContext& context) {
  PrinterList& snapshot = context.PrinterSnapshot;
  context.SnapshotTaken = EnumeratePrinters(snapshot) ? 1 : 0;
  if (!context.SnapshotTaken) LogError(context, ErrListPrinters);
  context.DefaultKnown = 0;
  WCHAR fixed[kDefaultNameUnits] = {};
  LPWSTR name = fixed;
  DWORD size = kDefaultNameUnits;
  BOOL found = SpoolerGetDefaultPrinter(name, &size);
  unique_global<WCHAR> longer;
  if (!found && GetLastError() == ERROR_INSUFFICIENT_BUFFER && size > kDefaultNameUnits) {
    // A name longer than the usual buffer is still a name.
    longer.reset(static_cast<LPWSTR>(GlobalAlloc(GPTR, SIZE_T(size) * sizeof(WCHAR))));
    name = longer.get();
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
      if (SameText(records[i].pPrinterName, name)) {
        records[i].Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
      }
    }
  }
}

unique_global<PRINTER_INFO_2W> GetPrinterInfo(HANDLE printer) {
  unique_global<BYTE> block;
  QuerySized([&](LPBYTE buffer, DWORD size,
                 DWORD* needed) { return GetPrinterW(printer, 2, buffer, size, needed); },
             block);
  return unique_global<PRINTER_INFO_2W>(reinterpret_cast<PRINTER_INFO_2W*>(block.release()));
}

unique_global<DRIVER_INFO_2W> GetDriverInfo(HANDLE printer) {
  unique_global<BYTE> block;
  QuerySized(
      [&](LPBYTE buffer, DWORD size, DWORD* needed) {
        // Sized for the package's environment, fetched for the spooler's own (no name), which
        // is the same one on 64-bit Windows.
        LPWSTR environment = buffer ? nullptr : const_cast<LPWSTR>(kEnvironment);
        return GetPrinterDriverW(printer, environment, 2, buffer, size, needed);
      },
      block);
  return unique_global<DRIVER_INFO_2W>(reinterpret_cast<DRIVER_INFO_2W*>(block.release()));
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
// One copy of the value: asked for its size first, so that no length is cut short, and again
// while it grows.
SubKeyRead ReadSubKeyCopy(HANDLE printer, LPCSTR key, unique_global<CHAR>& text) {
  DWORD type = 0;
  unique_global<BYTE> block;
  // One byte more than asked, so that a value stored without its terminator gets one.
  const SizedQuery answer = QuerySized(
      [&](LPBYTE data, DWORD size, DWORD* needed) {
        LPSTR value = const_cast<LPSTR>(kSubKeyValue);
        return SizedAnswer(key ? GetPrinterDataExA(printer, key, value, &type, data, size, needed)
                               : GetPrinterDataA(printer, value, &type, data, size, needed));
      },
      block, 1);
  switch (answer) {
    case SizedQuery::Empty:
      return SubKeyRead::None;
    case SizedQuery::Filled:
      if (type != REG_SZ || block.get()[0] == 0) return SubKeyRead::None;
      text.reset(reinterpret_cast<LPSTR>(block.release()));
      return SubKeyRead::Found;
    default:
      // A value that is not there, or went meanwhile, is no failure.
      return GetLastError() == ERROR_FILE_NOT_FOUND ? SubKeyRead::None : SubKeyRead::Failed;
  }
}
}  // namespace

SubKeyRead ReadSubKey(HANDLE printer, unique_global<CHAR>& text) {
  text.reset();
  const SubKeyRead plain = ReadSubKeyCopy(printer, nullptr, text);
  if (plain == SubKeyRead::Found) return plain;
  const DWORD plainError = GetLastError();
  const SubKeyRead keyed = ReadSubKeyCopy(printer, kDsUserKey, text);
  if (keyed != SubKeyRead::None) return keyed;
  // Neither copy is there, unless the plain one only could not be read.
  if (plain == SubKeyRead::Failed) SetLastError(plainError);
  return plain;
}

SubKeyRead ReadSubKeyAt(HANDLE printer, LPCSTR key, unique_global<CHAR>& text) {
  text.reset();
  return ReadSubKeyCopy(printer, key, text);
}

DWORD WriteSubKeys(HANDLE printer, LPCSTR plain, LPCSTR dsUser) {
  auto bytes = [](LPCSTR text) { return reinterpret_cast<LPBYTE>(const_cast<LPSTR>(text)); };
  DWORD status = ERROR_SUCCESS;
  if (plain) {
    status = SetPrinterDataA(printer, const_cast<LPSTR>(kSubKeyValue), REG_SZ, bytes(plain),
                             DWORD(lstrlenA(plain)) + 1);
  }
  if (dsUser) {
    const DWORD keyed = SetPrinterDataExA(printer, kDsUserKey, kSubKeyValue, REG_SZ, bytes(dsUser),
                                          DWORD(lstrlenA(dsUser)) + 1);
    if (status == ERROR_SUCCESS) status = keyed;
  }
  return status;
}
