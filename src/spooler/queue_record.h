// What a reinstall must not lose, whichever call fails and wherever the run is cut short:
// the settings of each package queue it deletes, and the port of each printer it moves to
// "file:" while the monitor is replaced. Both are kept in the registry, machine-wide, from
// before the change until the queue is whole again or the printer back on its port, so that
// a later run finishes what an earlier one left.
#pragma once
#include "context/wide_text.h"
#include "platform/unique.h"

struct InstallContext;

// A package queue to re-create, with what it had: name, "SubKey" text, plain and under
// "DsUser" (none: it had none), comment, location and default mark; and, unless the entry
// comes from an earlier build that kept only those (Whole 0), everything else the user can
// set. Every text and block is a global-heap copy.
struct SavedPrinter {
  unique_global<WCHAR> Name;
  unique_global<CHAR> SubKey;
  unique_global<CHAR> DsUserSubKey;
  unique_global<WCHAR> Comment;
  unique_global<WCHAR> Location;
  BOOL Default = FALSE;
  BOOL Whole = FALSE;
  unique_global<WCHAR> ShareName;
  unique_global<WCHAR> SepFile;
  unique_global<WCHAR> PrintProcessor;
  unique_global<WCHAR> Datatype;
  unique_global<WCHAR> Parameters;
  DWORD Attributes = 0;
  DWORD Priority = 0;
  DWORD DefaultPriority = 0;
  DWORD StartTime = 0;
  DWORD UntilTime = 0;
  unique_global<BYTE> DevMode;  // public part and the driver's, as the driver build then wrote it
  DWORD DevModeBytes = 0;
  unique_global<BYTE> Security;  // self-relative
  DWORD SecurityBytes = 0;
  // Every printer-data value, each as the record keeps it ("V=..."), one after another.
  unique_global<WCHAR> Data;
  SIZE_T DataUnits = 0;
  unique_list<SavedPrinter> Next;
};

// Kept under kRecordKeyPath: the saved queues one key each under "SavedQueues" (an earlier
// build kept them all in the REG_MULTI_SZ value kSavedQueuesValue, still read), the parked
// printers in the REG_MULTI_SZ value kParkedPrintersValue.

// A printer moved off the package's port: its name and the whole port text it had.
struct ParkedPrinter {
  unique_global<WCHAR> Name;
  unique_global<WCHAR> Port;
  unique_list<ParkedPrinter> Next;
};

// The node of that name in the list, or null; names compare ignoring case, as the spooler's
// (and the registry's keys) do.
SavedPrinter* FindSavedPrinter(SavedPrinter* list, LPCWSTR name);

// A read below fails with ERROR_DATATYPE_MISMATCH when the value was of another type or held
// what no run writes: it is then moved aside (kSavedQueuesAside, kParkedPrintersAside), so
// that the next run starts from an empty record.

// Appends the recorded queues to the end of the list, in their recorded order. A missing
// record is an empty one; false (with the last error set) when it could not be read.
bool ReadSavedQueues(unique_list<SavedPrinter>& list);
// Records exactly the listed queues (none: the value goes). False with the last error set.
bool WriteSavedQueues(const SavedPrinter* list);

bool ReadParkedPrinters(unique_list<ParkedPrinter>& list);
bool WriteParkedPrinters(const ParkedPrinter* list);
// Adds an entry at the head, unless one of that name is listed; false when the heap refused.
bool AddParkedPrinter(unique_list<ParkedPrinter>& list, LPCWSTR name, LPCWSTR port);

// One printer-data value as a whole queue's entry keeps it, appended to `values`; false when
// the heap refused.
bool AppendDataValue(WideText& values, LPCWSTR key, LPCWSTR name, DWORD type, const BYTE* bytes,
                     DWORD size);
// Writes back every printer-data value the entry keeps: the first failure's status, or
// ERROR_SUCCESS.
DWORD WritePrinterData(HANDLE printer, const SavedPrinter& saved);

// The error line for a record (value) that could not be read or written, by the last error.
void LogRecordFailure(InstallContext& context, LPCWSTR value);
