// The print spooler's objects: printers (local queues and connections), drivers per
// environment and version, monitors with their ports, print processors, printer data and the
// default printer. Plain data throughout, so a machine can be saved and loaded as it is.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sim/text.h"

namespace sim {

// One printer-data value, stored as the bytes written (a string written without its
// terminator stays without it).
struct PrinterDataValue {
  std::string name;  // UTF-8; compared ignoring case
  DWORD type = 0;
  std::vector<uint8_t> bytes;
};

// A printer-data key. The plain values (SetPrinterData) live under "PrinterDriverData", as
// Windows keeps them, so the plain and the keyed calls see the same values.
struct PrinterDataKey {
  std::string name;  // UTF-8, may hold "\" for subkeys; compared ignoring case
  std::vector<PrinterDataValue> values;
};

inline constexpr const char* kPlainDataKey = "PrinterDriverData";

struct SimPrinter {
  uint32_t id = 0;  // stable identity: open handles follow a printer through renames
  U16 name;
  U16 serverName;  // connections only ("\\server")
  U16 shareName;
  U16 portName;  // one or more port names separated by commas, as the ports spell them
  U16 driverName;
  U16 comment;
  U16 location;
  U16 sepFile;
  U16 printProcessor = u"winprint";
  U16 datatype = u"RAW";
  U16 parameters;
  DWORD attributes = 0x40;  // PRINTER_ATTRIBUTE_LOCAL
  DWORD priority = 1;
  DWORD defaultPriority = 0;
  DWORD startTime = 0;
  DWORD untilTime = 0;
  DWORD status = 0;   // PRINTER_STATUS_*: paused, pending deletion
  uint32_t jobs = 0;  // queued jobs; a purge empties the queue
  bool connection = false;
  std::vector<PrinterDataKey> data;
};

struct SimDriver {
  U16 name;
  U16 environment = u"Windows x64";
  DWORD version = 3;
  U16 driverPath;  // full paths of the installed copies
  U16 dataFile;
  U16 configFile;
  U16 helpFile;
  std::vector<U16> dependentFiles;
  U16 monitorName;
  U16 defaultDataType;
  std::vector<U16> previousNames;
  U16 mfgName;
  U16 oemUrl;
  U16 hardwareId;
  U16 provider;
  uint64_t driverDate = 0;  // FILETIME as one number
  uint64_t driverVersion = 0;
};

// A registered port monitor. Its module lies in the system directory. A monitor added
// through AddMonitorW reports one port named after the monitor (as a virtual-printer
// monitor such as "Name:" does); the built-in ones list theirs.
struct SimMonitor {
  U16 name;
  U16 environment = u"Windows x64";
  U16 dllName;  // file name in the system directory, as registered
  std::vector<U16> ports;
};

struct SpoolerModel {
  std::vector<SimPrinter> printers;
  std::vector<SimDriver> drivers;
  std::vector<SimMonitor> monitors;
  std::vector<U16> printProcessors = {u"winprint"};
  U16 defaultPrinter;  // empty: no default printer
  // Root of the printer-driver directories: <root>\<env dir>\<version>\ (x64, W32X86).
  U16 driverRoot = u"C:\\Windows\\system32\\spool\\drivers";
  uint32_t nextPrinterId = 1;
  // Modules of monitors removed while the spooler ran: it keeps them loaded until it stops.
  std::vector<U16> loadedModules;
};

struct Machine;
// Direct access for tests, orvsim and the other models. Names compare ignoring case, as
// the spooler compares them.
SimPrinter* FindPrinter(Machine& m, std::u16string_view name);
SimDriver* FindDriver(Machine& m, std::u16string_view name,
                      std::u16string_view environment = u"Windows x64");
SimMonitor* FindMonitor(Machine& m, std::u16string_view name);
// Adds a printer as it stands (no checks), giving it an id; returns it.
SimPrinter& AddSimPrinter(Machine& m, SimPrinter printer);
// Closes every printer handle of the running program, as its end does.
void CloseAllPrinterHandles();
// The printer's value, or nullptr. key "" means the plain values.
const PrinterDataValue* FindPrinterData(const SimPrinter& p, std::string_view key,
                                        std::string_view value);

}  // namespace sim
