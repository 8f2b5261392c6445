// winspool: printers, printer data and the default printer.
#include <algorithm>
#include <cstring>
#include <utility>

#include "sim/spooler_internal.h"

using namespace sim;
using namespace sim::winspool;

namespace {

constexpr size_t kMaxPrinterName = 220;  // MAX_PRINTER_NAME

bool KnownPrintProcessor(const Machine& m, std::u16string_view name) {
  for (const auto& pp : m.spooler.printProcessors) {
    if (EqualFold(pp, name)) return true;
  }
  return false;
}

// The data types winprint accepts.
bool KnownDatatype(std::u16string_view type) {
  static const std::u16string_view kTypes[] = {
      u"RAW",          u"RAW [FF appended]", u"RAW [FF auto]", u"NT EMF 1.003", u"NT EMF 1.006",
      u"NT EMF 1.007", u"NT EMF 1.008",      u"TEXT",          u"XPS2GDI"};
  for (auto t : kTypes) {
    if (EqualFold(t, type)) return true;
  }
  return false;
}

// Printer names may not hold the separators of connection and job names.
bool ValidPrinterName(LPCWSTR name) {
  if (!name || !*name) return false;
  std::u16string_view n(name);
  return n.size() <= kMaxPrinterName && n.find_first_of(u",\\!") == std::u16string_view::npos;
}

void RemovePrinter(Machine& m, const SimPrinter& p) {
  SpoolerModel& s = m.spooler;
  if (EqualFold(s.defaultPrinter, p.name)) s.defaultPrinter.clear();
  Printers(m).Remove(p);
}

}  // namespace

namespace sim::winspool {

void Fill(const SimPrinter& p, PRINTER_INFO_1W& r, Strings& s) {
  r.Flags = PRINTER_ENUM_ICON8;
  r.pDescription = s.Put(p.name + u"," + p.driverName + u"," + p.location);
  r.pName = s.Put(p.name);
  r.pComment = s.Put(p.comment);
}

void Fill(const SimPrinter& p, PRINTER_INFO_2W& r, Strings& s) {
  r.pServerName = p.connection ? s.Put(p.serverName) : nullptr;
  r.pPrinterName = s.Put(p.name);
  r.pShareName = s.Put(p.shareName);
  r.pPortName = s.Put(p.portName);
  r.pDriverName = s.Put(p.driverName);
  r.pComment = s.Put(p.comment);
  r.pLocation = s.Put(p.location);
  r.pDevMode = nullptr;
  r.pSepFile = s.Put(p.sepFile);
  r.pPrintProcessor = s.Put(p.printProcessor);
  r.pDatatype = s.Put(p.datatype);
  r.pParameters = s.Put(p.parameters);
  r.pSecurityDescriptor = nullptr;
  r.Attributes = p.attributes;
  r.Priority = p.priority;
  r.DefaultPriority = p.defaultPriority;
  r.StartTime = p.startTime;
  r.UntilTime = p.untilTime;
  r.Status = p.status;
  r.cJobs = p.jobs;
  r.AveragePPM = 0;
}

}  // namespace sim::winspool

namespace {

// ---------------------------------------------------------------------------------------
// Printer data.

bool SameName(const std::string& stored, std::u16string_view wanted) {
  return EqualFold(FromUtf8(stored), wanted);
}

PrinterDataKey* DataKey(SimPrinter& p, std::u16string_view key, bool create) {
  for (auto& k : p.data) {
    if (SameName(k.name, key)) return &k;
  }
  if (!create) return nullptr;
  p.data.push_back({ToUtf8(key), {}});
  return &p.data.back();
}

DWORD ReadData(HANDLE h, std::u16string_view key, LPCSTR value, LPDWORD type, LPBYTE data,
               DWORD size, LPDWORD needed) {
  if (!needed) return RPC_X_NULL_REF_POINTER;
  DWORD error = 0;
  SimPrinter* p = HandlePrinter(h, kReadRights, &error);
  if (!p) return error;
  if (!value) return ERROR_INVALID_PARAMETER;
  *needed = 0;  // a missing value needs nothing
  PrinterDataKey* k = DataKey(*p, key, false);
  if (!k) return ERROR_FILE_NOT_FOUND;
  const U16 name = FromAnsi(value);
  for (const auto& v : k->values) {
    if (!SameName(v.name, name)) continue;
    *needed = DWORD(v.bytes.size());
    if (type) *type = v.type;
    if (v.bytes.size() > size || (!data && !v.bytes.empty())) return ERROR_MORE_DATA;
    if (!v.bytes.empty()) std::memcpy(data, v.bytes.data(), v.bytes.size());
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

DWORD WriteData(HANDLE h, std::u16string_view key, LPCSTR value, DWORD type, const BYTE* data,
                DWORD size) {
  DWORD error = 0;
  SimPrinter* p = HandlePrinter(h, PRINTER_ACCESS_ADMINISTER, &error);
  if (!p) return error;
  if (!value || (!data && size)) return ERROR_INVALID_PARAMETER;
  PrinterDataKey* k = DataKey(*p, key, true);
  const U16 name = FromAnsi(value);
  std::vector<uint8_t> bytes(data, data + size);
  for (auto& v : k->values) {
    if (SameName(v.name, name)) {
      v.type = type;
      v.bytes = std::move(bytes);
      return ERROR_SUCCESS;
    }
  }
  k->values.push_back({ToUtf8(name), type, std::move(bytes)});
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Printer settings shared by AddPrinterW and SetPrinterW level 2: checks everything first,
// changes nothing on failure.

DWORD ApplyPrinterInfo(Machine& m, const PRINTER_INFO_2W& info, SimPrinter* existing,
                       SimPrinter* out) {
  // A connection keeps the server's name ("\\server\queue") and the server's ports.
  const bool connection = existing && existing->connection;
  const bool renamed =
      !existing || !info.pPrinterName || !EqualFold(existing->name, info.pPrinterName);
  if (renamed && !ValidPrinterName(info.pPrinterName)) return ERROR_INVALID_PRINTER_NAME;
  PrinterTable& printers = Printers(m);
  if (printers.DuplicateNames()) {
    for (const auto& other : std::as_const(printers)) {
      if (&other != existing && EqualFold(other.name, info.pPrinterName)) {
        return ERROR_PRINTER_ALREADY_EXISTS;
      }
    }
  } else if (const SimPrinter* other = printers.Find(info.pPrinterName);
             other && other != existing) {
    return ERROR_PRINTER_ALREADY_EXISTS;
  }
  U16 ports = FromW(info.pPortName);
  if (!connection && !CanonicalPorts(m, info.pPortName, &ports)) return ERROR_UNKNOWN_PORT;
  SimDriver* driver =
      info.pDriverName ? NewestDriver(m, info.pDriverName, kNativeEnvironment) : nullptr;
  if (!driver) return ERROR_UNKNOWN_PRINTER_DRIVER;
  if (!info.pPrintProcessor || !KnownPrintProcessor(m, info.pPrintProcessor)) {
    return ERROR_UNKNOWN_PRINTPROCESSOR;
  }
  U16 datatype = existing ? existing->datatype : U16(u"RAW");
  if (info.pDatatype) {
    if (!KnownDatatype(info.pDatatype)) return ERROR_INVALID_DATATYPE;
    datatype = info.pDatatype;
  }
  SimPrinter p = existing ? *existing : SimPrinter{};
  p.name = info.pPrinterName;
  p.portName = ports;
  p.driverName = driver->name;
  p.printProcessor = info.pPrintProcessor;
  p.datatype = datatype;
  p.shareName = FromW(info.pShareName);
  p.comment = FromW(info.pComment);
  p.location = FromW(info.pLocation);
  p.sepFile = FromW(info.pSepFile);
  p.parameters = FromW(info.pParameters);
  // Where a printer lives is not the caller's to set, and NT keeps the default printer
  // apart from the attributes.
  const DWORD fixed = PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_NETWORK;
  const DWORD nature = existing ? (existing->attributes & fixed) : PRINTER_ATTRIBUTE_LOCAL;
  p.attributes = (info.Attributes & ~(fixed | PRINTER_ATTRIBUTE_DEFAULT)) | nature;
  p.priority = info.Priority ? info.Priority : 1;
  p.defaultPriority = info.DefaultPriority;
  p.startTime = info.StartTime;
  p.untilTime = info.UntilTime;
  *out = std::move(p);
  return 0;
}

DWORD ControlPrinter(Machine& m, SimPrinter& p, DWORD command) {
  switch (command) {
    case PRINTER_CONTROL_PAUSE:
      p.status |= PRINTER_STATUS_PAUSED;
      return 0;
    case PRINTER_CONTROL_RESUME:
      p.status &= ~DWORD(PRINTER_STATUS_PAUSED);
      return 0;
    case PRINTER_CONTROL_PURGE:
      p.jobs = 0;
      // A printer waiting for its jobs to end goes once they are gone.
      if (p.status & PRINTER_STATUS_PENDING_DELETION) RemovePrinter(m, p);
      return 0;
    case PRINTER_CONTROL_SET_STATUS:
      return 0;
    default:
      return ERROR_INVALID_PRINTER_COMMAND;
  }
}

}  // namespace

// =======================================================================================
// Printers.

BOOL WINAPI EnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size,
                          LPDWORD needed, LPDWORD returned) {
  if (DWORD e = Begin("EnumPrintersW", std::to_string(flags) + "," + std::to_string(level))) {
    return Fail(e);
  }
  if (DWORD e = CheckOutput(buffer, size, needed)) return Fail(e);
  if (!returned) return Fail(RPC_X_NULL_REF_POINTER);
  Machine& m = M();
  if ((flags & PRINTER_ENUM_NAME) && !LocalServer(name)) return Fail(ERROR_INVALID_NAME);
  std::vector<const SimPrinter*> list;
  if (flags & PRINTER_ENUM_DEFAULT) {
    if (SimPrinter* p = PrinterNamed(m, m.spooler.defaultPrinter)) list.push_back(p);
  } else {
    const bool local = flags & (PRINTER_ENUM_LOCAL | PRINTER_ENUM_NAME);
    list.reserve(m.spooler.printers.size());
    // Local queues first, then connections, as the providers answer in that order.
    for (const auto& p : std::as_const(m.spooler.printers)) {
      if (local && !p.connection) list.push_back(&p);
    }
    for (const auto& p : std::as_const(m.spooler.printers)) {
      if ((flags & PRINTER_ENUM_CONNECTIONS) && p.connection) list.push_back(&p);
    }
  }
  return EmitLevel<PRINTER_INFO_1W, PRINTER_INFO_2W>(level, list, buffer, size, needed, returned);
}

BOOL WINAPI OpenPrinterW(LPWSTR name, HANDLE* printer, LPPRINTER_DEFAULTSW defaults) {
  if (DWORD e = Begin("OpenPrinterW", CallArg(name))) return Fail(e);
  if (!printer) return Fail(ERROR_INVALID_PARAMETER);
  Machine& m = M();
  DWORD access = defaults ? MapAccess(defaults->DesiredAccess) : 0;
  if (!name) {
    // The local print server itself.
    *printer = NewPrinterHandle(m, true, 0, access ? access : SERVER_ACCESS_ADMINISTER);
    return TRUE;
  }
  SimPrinter* p = PrinterNamed(m, name);
  if (!p) return Fail(ERROR_INVALID_PRINTER_NAME);
  if (defaults && defaults->pDatatype && !KnownDatatype(defaults->pDatatype)) {
    return Fail(ERROR_INVALID_DATATYPE);
  }
  *printer = NewPrinterHandle(m, false, p->id, access ? access : PRINTER_ACCESS_USE);
  return TRUE;
}

BOOL WINAPI ClosePrinter(HANDLE printer) {
  DWORD e = Enter("ClosePrinter");
  if (e) return Fail(e);
  // The handle goes in any case; a stopped spooler only means the server side is gone.
  if (!ClosePrinterHandle(printer)) {
    RecordMisuse(M(), "ClosePrinter of a handle not open");
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (!SpoolerRunning(M())) return Fail(RPC_S_SERVER_UNAVAILABLE);
  return TRUE;
}

BOOL WINAPI GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
  if (DWORD e = Begin("GetPrinterW", std::to_string(level))) return Fail(e);
  DWORD error = 0;
  SimPrinter* p = HandlePrinter(printer, kReadRights, &error);
  if (!p) return Fail(error);
  if (DWORD e = CheckOutput(buffer, size, needed)) return Fail(e);
  std::vector<const SimPrinter*> one = {p};
  return EmitLevel<PRINTER_INFO_1W, PRINTER_INFO_2W>(level, one, buffer, size, needed, nullptr);
}

BOOL WINAPI SetPrinterW(HANDLE printer, DWORD level, LPBYTE info, DWORD command) {
  if (DWORD e = Begin("SetPrinterW", std::to_string(level) + "," + std::to_string(command))) {
    return Fail(e);
  }
  Machine& m = M();
  DWORD error = 0;
  SimPrinter* p = HandlePrinter(printer, PRINTER_ACCESS_ADMINISTER, &error);
  if (!p) return Fail(error);
  if (level == 0) {
    if (command == 0) return Fail(ERROR_INVALID_PRINTER_COMMAND);
    if (DWORD e = ControlPrinter(m, *p, command)) return Fail(e);
    return TRUE;
  }
  if (level != 2) return Fail(ERROR_INVALID_LEVEL);
  if (!info) return Fail(ERROR_INVALID_PARAMETER);
  if (command > PRINTER_CONTROL_SET_STATUS) return Fail(ERROR_INVALID_PRINTER_COMMAND);
  SimPrinter updated;
  const U16 oldName = p->name;
  if (DWORD e = ApplyPrinterInfo(m, *reinterpret_cast<const PRINTER_INFO_2W*>(info), p, &updated)) {
    return Fail(e);
  }
  Printers(m).Replace(*p, std::move(updated));
  if (EqualFold(m.spooler.defaultPrinter, oldName)) m.spooler.defaultPrinter = p->name;
  if (command) ControlPrinter(m, *p, command);
  return TRUE;
}

HANDLE WINAPI AddPrinterW(LPWSTR server, DWORD level, LPBYTE info) {
  if (DWORD e = Begin("AddPrinterW", std::to_string(level))) {
    SetLastError(e);
    return nullptr;
  }
  Machine& m = M();
  DWORD error = 0;
  SimPrinter created;
  if (!LocalServer(server)) {
    error = RPC_S_SERVER_UNAVAILABLE;
  } else if (level != 2) {
    error = ERROR_INVALID_LEVEL;
  } else if (!info) {
    error = ERROR_INVALID_PARAMETER;
  } else {
    error = ApplyPrinterInfo(m, *reinterpret_cast<const PRINTER_INFO_2W*>(info), nullptr, &created);
  }
  if (error) {
    SetLastError(error);
    return nullptr;
  }
  SimPrinter& p = AddSimPrinter(m, std::move(created));
  return NewPrinterHandle(m, false, p.id, PRINTER_ALL_ACCESS);
}

BOOL WINAPI DeletePrinter(HANDLE printer) {
  if (DWORD e = Begin("DeletePrinter")) return Fail(e);
  Machine& m = M();
  DWORD error = 0;
  SimPrinter* p = HandlePrinter(printer, DELETE, &error);
  if (!p) return Fail(error);
  if (p->jobs) {
    // Windows lets queued jobs finish first; the printer goes when they are gone.
    p->status |= PRINTER_STATUS_PENDING_DELETION;
    return TRUE;
  }
  RemovePrinter(m, *p);
  return TRUE;
}

// =======================================================================================
// Printer data.

DWORD WINAPI GetPrinterDataA(HANDLE printer, LPSTR valueName, LPDWORD type, LPBYTE data, DWORD size,
                             LPDWORD needed) {
  if (DWORD e = Begin("GetPrinterDataA", FromA(valueName))) return e;
  return ReadData(printer, FromUtf8(kPlainDataKey), valueName, type, data, size, needed);
}

DWORD WINAPI GetPrinterDataExA(HANDLE printer, LPCSTR keyName, LPCSTR valueName, LPDWORD type,
                               LPBYTE data, DWORD size, LPDWORD needed) {
  if (DWORD e = Begin("GetPrinterDataExA", FromA(keyName) + "," + FromA(valueName))) return e;
  if (!keyName || !*keyName) return ERROR_INVALID_PARAMETER;
  return ReadData(printer, FromAnsi(keyName), valueName, type, data, size, needed);
}

DWORD WINAPI SetPrinterDataA(HANDLE printer, LPSTR valueName, DWORD type, LPBYTE data, DWORD size) {
  if (DWORD e = Begin("SetPrinterDataA", FromA(valueName))) return e;
  return WriteData(printer, FromUtf8(kPlainDataKey), valueName, type, data, size);
}

DWORD WINAPI SetPrinterDataExA(HANDLE printer, LPCSTR keyName, LPCSTR valueName, DWORD type,
                               LPBYTE data, DWORD size) {
  if (DWORD e = Begin("SetPrinterDataExA", FromA(keyName) + "," + FromA(valueName))) return e;
  if (!keyName || !*keyName) return ERROR_INVALID_PARAMETER;
  return WriteData(printer, FromAnsi(keyName), valueName, type, data, size);
}

// =======================================================================================
// The default printer.

BOOL WINAPI GetDefaultPrinterW(LPWSTR buffer, LPDWORD size) {
  if (DWORD e = Begin("GetDefaultPrinterW")) return Fail(e);
  if (!size) return Fail(ERROR_INVALID_PARAMETER);
  Machine& m = M();
  const SimPrinter* p = PrinterNamed(m, m.spooler.defaultPrinter);
  if (!p) return Fail(ERROR_FILE_NOT_FOUND);
  const DWORD chars = DWORD(p->name.size() + 1);
  if (!buffer || *size < chars) {
    *size = chars;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, p->name.c_str(), chars * sizeof(WCHAR));
  *size = chars;
  return TRUE;
}

BOOL WINAPI SetDefaultPrinterW(LPCWSTR printer) {
  if (DWORD e = Begin("SetDefaultPrinterW", CallArg(printer))) return Fail(e);
  Machine& m = M();
  SpoolerModel& s = m.spooler;
  if (!printer || !*printer) {
    // Keeps a default there is; otherwise the first printer becomes the default.
    if (PrinterNamed(m, s.defaultPrinter)) return TRUE;
    if (s.printers.empty()) return Fail(ERROR_INVALID_PRINTER_NAME);
    s.defaultPrinter = std::as_const(s.printers).front().name;
    return TRUE;
  }
  SimPrinter* p = PrinterNamed(m, printer);
  if (!p) return Fail(ERROR_INVALID_PRINTER_NAME);
  s.defaultPrinter = p->name;
  return TRUE;
}

namespace sim {

const PrinterDataValue* FindPrinterData(const SimPrinter& p, std::string_view key,
                                        std::string_view value) {
  const U16 wantedKey = FromUtf8(key.empty() ? std::string_view(kPlainDataKey) : key);
  for (const auto& k : p.data) {
    if (!SameName(k.name, wantedKey)) continue;
    for (const auto& v : k.values) {
      if (SameName(v.name, FromUtf8(value))) return &v;
    }
  }
  return nullptr;
}

}  // namespace sim
