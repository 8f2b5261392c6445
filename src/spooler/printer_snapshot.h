// The printers present when a run begins, and the thin spooler calls the queue operations
// share. Nothing here writes to the log: failures reach the caller through the thread's
// last error, which these wrappers leave as the failing call set it.
#pragma once
#include "context/names.h"
#include "context/text_compare.h"
#include "platform/sized_query.h"

struct InstallContext;

// The printers as EnumPrintersW lists them at level 2.
using PrinterList = RecordBlock<PRINTER_INFO_2W>;

inline PRINTER_INFO_2W* PrinterRecords(const PrinterList& list) {
  return reinterpret_cast<PRINTER_INFO_2W*>(list.Buffer.get());
}

// A queue of the package's driver (named exactly).
inline bool IsPackageQueue(const PRINTER_INFO_2W& record) {
  return SameText(record.pDriverName, kPackageDriverName);
}

// Local queues and connections at level 2; an enumeration that fails leaves an empty list
// and answers false (the last error says why).
bool EnumeratePrinters(PrinterList& list);
// Fills the context's PrinterSnapshot and marks every record named like the default printer;
// sets SnapshotTaken and DefaultKnown. A failed enumeration is an error line.
void TakePrinterSnapshot(InstallContext& context);

// One PRINTER_INFO_2W (or DRIVER_INFO_2W) and its strings in a zero-filled global-heap block,
// or empty (the last error says why).
unique_global<PRINTER_INFO_2W> GetPrinterInfo(HANDLE printer);
unique_global<DRIVER_INFO_2W> GetDriverInfo(HANDLE printer);

// AddPrinterW on the local machine at level 2; the caller closes the handle.
HANDLE CreatePrinterQueue(PRINTER_INFO_2W* info);
// Purges pending jobs (whatever that gives), then deletes the queue. The handle stays open.
BOOL PurgeAndDeletePrinter(HANDLE printer);

// How reading a queue's "SubKey" went: a text, no usable text in either place, or a read
// that failed (the last error says why), so that nobody can tell whether it has one.
enum class SubKeyRead { Found, None, Failed };
// The queue's whole "SubKey" text, of whatever length: the plain value, or when that is
// missing, empty or not a string, the copy under "DsUser". On Found, `text` holds it,
// terminated; otherwise it is empty.
SubKeyRead ReadSubKey(HANDLE printer, unique_global<CHAR>& text);
// One copy alone: the plain value (key null) or the one under `key`.
SubKeyRead ReadSubKeyAt(HANDLE printer, LPCSTR key, unique_global<CHAR>& text);
// Each copy given (null: left alone); the first failure's status, or ERROR_SUCCESS.
DWORD WriteSubKeys(HANDLE printer, LPCSTR plain, LPCSTR dsUser);
