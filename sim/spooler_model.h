// The print spooler's objects: printers (local queues and connections), drivers per
// environment and version, monitors with their ports, printer data, the default printer.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/text.h"

namespace sim {

struct PrinterDataValue {
  DWORD type = 0;
  std::vector<uint8_t> bytes;  // exactly as written
};

struct SimPrinter {
  U16 name;
  U16 serverName;  // connections only
  U16 shareName;
  U16 portName;
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
  DWORD status = 0;
  uint32_t jobs = 0;
  bool connection = false;
  // Printer data: key "" holds the plain values; other keys as named (compared ignoring
  // case). Value names compare ignoring case too.
  std::map<std::string, std::map<std::string, PrinterDataValue>> data;
};

struct SimDriver {
  U16 name;
  U16 environment = u"Windows x64";
  DWORD version = 3;
  U16 driverPath;  // full paths once installed
  U16 dataFile;
  U16 configFile;
  U16 helpFile;
  std::vector<U16> dependentFiles;
  U16 monitorName;
  U16 defaultDataType;
  U16 previousNames;
  U16 mfgName;
  U16 oemUrl;
  U16 hardwareId;
  U16 provider;
  uint64_t driverVersion = 0;
};

struct SimMonitor {
  U16 name;
  U16 environment = u"Windows x64";
  U16 dllName;  // file name in the system directory
  std::vector<U16> ports;
};

struct SpoolerModel {
  std::vector<SimPrinter> printers;
  std::vector<SimDriver> drivers;
  std::vector<SimMonitor> monitors;
  std::vector<U16> printProcessors = {u"winprint"};
  U16 defaultPrinter;
  // Root of the printer-driver directories: <root>\<env dir>\ (x64, W32X86).
  U16 driverRoot = u"C:\\Windows\\system32\\spool\\drivers";
};

}  // namespace sim
