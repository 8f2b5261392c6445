// winspool: printers, printer data and the default printer.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <unordered_map>
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

constexpr size_t kMaxShareName = 80;  // NNLEN
constexpr char16_t kPerUserDevModes[] = u"Printers\\DevModePerUser";

// A share name the server can publish: not empty, not too long, none of the characters
// share names may not hold, and no other printer's.
DWORD CheckShare(Machine& m, const SimPrinter& p, const SimPrinter* existing) {
  if (!(p.attributes & PRINTER_ATTRIBUTE_SHARED)) return 0;
  if (p.shareName.empty() || p.shareName.size() > kMaxShareName ||
      p.shareName.find_first_of(u"\"/\\[]:|<>+=;,?*") != U16::npos) {
    return ERROR_INVALID_SHARENAME;
  }
  const bool own = existing && (existing->attributes & PRINTER_ATTRIBUTE_SHARED) &&
                   EqualFold(existing->shareName, p.shareName);
  return Printers(m).ShareUsers(p.shareName) > (own ? 1u : 0u) ? ERROR_INVALID_SHARENAME : 0;
}

// A DEVMODE as the spooler checks one: a public part of a size some version of the
// structure has, and the driver's part behind it. The bytes to keep, or an error.
DWORD TakeDevMode(const DEVMODEW* dm, std::vector<uint8_t>* out) {
  if (!dm) return 0;
  constexpr size_t kSmallest = offsetof(DEVMODEW, dmFields) + sizeof(DWORD);
  if (dm->dmSize < kSmallest || dm->dmSize > sizeof(DEVMODEW)) return ERROR_INVALID_PARAMETER;
  const auto* bytes = reinterpret_cast<const uint8_t*>(dm);
  out->assign(bytes, bytes + dm->dmSize + dm->dmDriverExtra);
  return 0;
}

// A self-relative security descriptor: its bytes, or an error.
DWORD TakeSecurity(PSECURITY_DESCRIPTOR sd, std::vector<uint8_t>* out) {
  if (!sd) return 0;
  const DWORD length = SelfRelativeLength(sd, 65536);
  if (!length) return ERROR_INVALID_SECURITY_DESCR;
  const auto* bytes = static_cast<const uint8_t*>(sd);
  out->assign(bytes, bytes + length);
  // The spooler's own default is kept as none: the same answer, a smaller machine.
  if (*out == DefaultPrinterSecurity()) out->clear();
  return 0;
}

// The driver builds looked up during one listing, by driver name: nothing changes while the
// spooler answers one call, and a print server's thousands of queues share a few drivers.
std::unordered_map<U16, uint16_t>* listingBuilds = nullptr;

class ListingScope {
 public:
  ListingScope() { listingBuilds = &builds_; }
  ~ListingScope() { listingBuilds = nullptr; }

 private:
  std::unordered_map<U16, uint16_t> builds_;
};

// The build the printer's driver module carries (0 when it has none).
uint16_t DriverBuild(Machine& m, const SimPrinter& p) {
  if (listingBuilds) {
    if (auto it = listingBuilds->find(p.driverName); it != listingBuilds->end()) return it->second;
  }
  const SimDriver* d = NewestDriver(m, p.driverName, kNativeEnvironment);
  const SimFile* f = d ? FindFile(m, d->driverPath) : nullptr;
  const uint16_t build = f && f->version ? f->version->file[3] : 0;
  if (listingBuilds) listingBuilds->emplace(p.driverName, build);
  return build;
}

// Where the driver is told of printing defaults not its own build's: it would read another
// build's private part as its own.
void CheckDriverPart(Machine& m, const SimPrinter& p) {
  if (p.devMode.empty()) return;
  const std::vector<uint8_t> own = DriverDevMode(m, p);
  const auto* given = reinterpret_cast<const DEVMODEW*>(p.devMode.data());
  const auto* wanted = reinterpret_cast<const DEVMODEW*>(own.data());
  if (given->dmDriverVersion != wanted->dmDriverVersion ||
      given->dmDriverExtra != wanted->dmDriverExtra) {
    RecordMisuse(m, "printing defaults of driver build " + std::to_string(given->dmDriverVersion) +
                        " given to build " + std::to_string(wanted->dmDriverVersion) + " (" +
                        ToUtf8(p.name) + ")");
  }
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
  r.pDevMode = static_cast<LPDEVMODEW>(s.PutBytes(PrinterDevMode(M(), p)));
  r.pSepFile = s.Put(p.sepFile);
  r.pPrintProcessor = s.Put(p.printProcessor);
  r.pDatatype = s.Put(p.datatype);
  r.pParameters = s.Put(p.parameters);
  r.pSecurityDescriptor = s.PutBytes(p.security.empty() ? DefaultPrinterSecurity() : p.security);
  r.Attributes = p.attributes;
  r.Priority = p.priority;
  r.DefaultPriority = p.defaultPriority;
  r.StartTime = p.startTime;
  r.UntilTime = p.untilTime;
  r.Status = p.status;
  r.cJobs = p.jobs;
  r.AveragePPM = 0;
}

void Fill(const SimPrinter& p, PRINTER_INFO_3& r, Strings& s) {
  r.pSecurityDescriptor = s.PutBytes(p.security.empty() ? DefaultPrinterSecurity() : p.security);
}

void Fill(const SimPrinter& p, PRINTER_INFO_8W& r, Strings& s) {
  r.pDevMode = static_cast<LPDEVMODEW>(s.PutBytes(PrinterDevMode(M(), p)));
}

// The user's own defaults, which Windows keeps in the user's hive by printer name; none set,
// none given.
void Fill(const SimPrinter& p, PRINTER_INFO_9W& r, Strings& s) {
  const RegValue* v = FindRegValue(M(), HKEY_CURRENT_USER, kPerUserDevModes, p.name);
  r.pDevMode = v ? static_cast<LPDEVMODEW>(s.PutBytes(v->data)) : nullptr;
}

}  // namespace sim::winspool

namespace {

// ---------------------------------------------------------------------------------------
// Printer data.

DWORD ReadData(HANDLE h, std::u16string_view key, LPCSTR value, LPDWORD type, LPBYTE data,
               DWORD size, LPDWORD needed) {
  if (!needed) return RPC_X_NULL_REF_POINTER;
  DWORD error = 0;
  SimPrinter* p = HandlePrinter(h, kReadRights, &error);
  if (!p) return error;
  if (!value) return ERROR_INVALID_PARAMETER;
  *needed = 0;  // a missing value needs nothing
  const PrinterDataValue* v = FindPrinterData(*p, key, FromAnsi(value));
  if (!v) return ERROR_FILE_NOT_FOUND;
  *needed = DWORD(v->bytes.size());
  if (type) *type = v->type;
  if (v->bytes.size() > size || (!data && !v->bytes.empty())) return ERROR_MORE_DATA;
  if (!v->bytes.empty()) std::memcpy(data, v->bytes.data(), v->bytes.size());
  return ERROR_SUCCESS;
}

DWORD WriteData(HANDLE h, std::u16string_view key, LPCSTR value, DWORD type, const BYTE* data,
                DWORD size) {
  DWORD error = 0;
  SimPrinter* p = HandlePrinter(h, PRINTER_ACCESS_ADMINISTER, &error);
  if (!p) return error;
  if (!value || (!data && size)) return ERROR_INVALID_PARAMETER;
  PutPrinterData(*FindDataKey(*p, key, true), FromAnsi(value), type, {data, data + size});
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
  // None given keeps what the printer has (a new one: the driver's and the spooler's).
  if (DWORD e = TakeDevMode(info.pDevMode, &p.devMode)) return e;
  if (DWORD e = TakeSecurity(info.pSecurityDescriptor, &p.security)) return e;
  if (DWORD e = CheckShare(m, p, existing)) return e;
  CheckDriverPart(m, p);
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
  ListingScope listing;
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
  ListingScope listing;
  switch (level) {
    case 3:
      // The security descriptor is for those who may read it.
      if (!(HandleAccess(printer) & READ_CONTROL)) return Fail(ERROR_ACCESS_DENIED);
      return Emit<PRINTER_INFO_3>(one, kFill, buffer, size, needed, nullptr);
    case 8:
      return Emit<PRINTER_INFO_8W>(one, kFill, buffer, size, needed, nullptr);
    case 9:
      return Emit<PRINTER_INFO_9W>(one, kFill, buffer, size, needed, nullptr);
  }
  if (level == 2 && !(HandleAccess(printer) & READ_CONTROL)) {
    // Level 2 without the right to read the security descriptor gives none.
    SimPrinter shown = *p;
    shown.security.clear();
    std::vector<const SimPrinter*> bare = {&shown};
    BOOL ok = Emit<PRINTER_INFO_2W>(bare, kFill, buffer, size, needed, nullptr);
    if (ok) reinterpret_cast<PRINTER_INFO_2W*>(buffer)->pSecurityDescriptor = nullptr;
    return ok;
  }
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
  if (!info) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD access = HandleAccess(printer);
  switch (level) {
    case 3: {
      if (!(access & WRITE_DAC)) return Fail(ERROR_ACCESS_DENIED);
      std::vector<uint8_t> sd;
      const auto* i3 = reinterpret_cast<const PRINTER_INFO_3*>(info);
      if (!i3->pSecurityDescriptor) return Fail(ERROR_INVALID_PARAMETER);
      if (DWORD e = TakeSecurity(i3->pSecurityDescriptor, &sd)) return Fail(e);
      p->security = std::move(sd);
      return TRUE;
    }
    case 8:
    case 9: {
      const LPDEVMODEW dm = reinterpret_cast<const PRINTER_INFO_8W*>(info)->pDevMode;
      std::vector<uint8_t> bytes;
      if (!dm) return Fail(ERROR_INVALID_PARAMETER);
      if (DWORD e = TakeDevMode(dm, &bytes)) return Fail(e);
      if (level == 9) {
        SetRegValue(m, HKEY_CURRENT_USER, kPerUserDevModes, p->name, REG_BINARY, bytes);
        return TRUE;
      }
      SimPrinter updated = *p;
      updated.devMode = std::move(bytes);
      CheckDriverPart(m, updated);
      Printers(m).Replace(*p, std::move(updated));
      return TRUE;
    }
  }
  if (level != 2) return Fail(ERROR_INVALID_LEVEL);
  if (command > PRINTER_CONTROL_SET_STATUS) return Fail(ERROR_INVALID_PRINTER_COMMAND);
  if (reinterpret_cast<const PRINTER_INFO_2W*>(info)->pSecurityDescriptor &&
      !(access & WRITE_DAC)) {
    return Fail(ERROR_ACCESS_DENIED);
  }
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
  if (DWORD e = Begin("AddPrinterW", std::to_string(level))) return Fail(e, nullptr);
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
  if (error) return Fail(error, nullptr);
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
  return ReadData(printer, kPlainDataKey, valueName, type, data, size, needed);
}

DWORD WINAPI GetPrinterDataExA(HANDLE printer, LPCSTR keyName, LPCSTR valueName, LPDWORD type,
                               LPBYTE data, DWORD size, LPDWORD needed) {
  if (DWORD e = Begin("GetPrinterDataExA", FromA(keyName) + "," + FromA(valueName))) return e;
  if (!keyName || !*keyName) return ERROR_INVALID_PARAMETER;
  return ReadData(printer, FromAnsi(keyName), valueName, type, data, size, needed);
}

DWORD WINAPI SetPrinterDataA(HANDLE printer, LPSTR valueName, DWORD type, LPBYTE data, DWORD size) {
  if (DWORD e = Begin("SetPrinterDataA", FromA(valueName))) return e;
  return WriteData(printer, kPlainDataKey, valueName, type, data, size);
}

DWORD WINAPI SetPrinterDataExA(HANDLE printer, LPCSTR keyName, LPCSTR valueName, DWORD type,
                               LPBYTE data, DWORD size) {
  if (DWORD e = Begin("SetPrinterDataExA", FromA(keyName) + "," + FromA(valueName))) return e;
  if (!keyName || !*keyName) return ERROR_INVALID_PARAMETER;
  return WriteData(printer, FromAnsi(keyName), valueName, type, data, size);
}

DWORD WINAPI EnumPrinterKeyW(HANDLE printer, LPCWSTR keyName, LPWSTR subkeys, DWORD size,
                             LPDWORD needed) {
  if (DWORD e = Begin("EnumPrinterKeyW", ToUtf8(FromW(keyName)))) return e;
  if (!keyName || !needed) return ERROR_INVALID_PARAMETER;
  DWORD error = 0;
  SimPrinter* p = HandlePrinter(printer, kReadRights, &error);
  if (!p) return error;
  // Keys are kept by their whole paths ("A\\B"); the subkeys of "" are the first parts.
  const U16 parent = keyName;
  std::vector<U16> found;
  bool exists = parent.empty();
  for (const auto& k : p->data) {
    const U16& path = k.name;
    U16 rest;
    if (parent.empty()) {
      rest = path;
    } else if (path.size() > parent.size() && path[parent.size()] == u'\\' &&
               EqualFold(path.substr(0, parent.size()), parent)) {
      rest = path.substr(parent.size() + 1);
    } else {
      exists = exists || EqualFold(path, parent);
      continue;
    }
    exists = true;
    const U16 child = rest.substr(0, rest.find(u'\\'));
    bool seen = false;
    for (const auto& f : found) seen = seen || EqualFold(f, child);
    if (!seen && !child.empty()) found.push_back(child);
  }
  if (!exists) return ERROR_FILE_NOT_FOUND;
  U16 list;
  for (const auto& f : found) list += f + u'\0';
  list += u'\0';
  *needed = DWORD(list.size() * sizeof(WCHAR));
  if (!subkeys || size < *needed) return ERROR_MORE_DATA;
  std::memcpy(subkeys, list.data(), *needed);
  return ERROR_SUCCESS;
}

DWORD WINAPI EnumPrinterDataExW(HANDLE printer, LPCWSTR keyName, LPBYTE values, DWORD size,
                                LPDWORD needed, LPDWORD returned) {
  if (DWORD e = Begin("EnumPrinterDataExW", ToUtf8(FromW(keyName)))) return e;
  if (!keyName || !*keyName || !needed || !returned) return ERROR_INVALID_PARAMETER;
  DWORD error = 0;
  SimPrinter* p = HandlePrinter(printer, kReadRights, &error);
  if (!p) return error;
  const PrinterDataKey* k = FindDataKey(*p, keyName, false);
  if (!k) return ERROR_FILE_NOT_FOUND;
  // The records first, then each value's name and data below them, as the spooler packs them.
  size_t total = k->values.size() * sizeof(PRINTER_ENUM_VALUESW);
  for (const auto& v : k->values) {
    total += (v.name.size() + 1) * sizeof(WCHAR) + v.bytes.size() + 8;
  }
  *needed = DWORD(total);
  *returned = 0;
  if (!values || size < total) return ERROR_MORE_DATA;
  Strings strings(values, size);
  for (size_t i = 0; i < k->values.size(); ++i) {
    const PrinterDataValue& v = k->values[i];
    PRINTER_ENUM_VALUESW r{};
    r.pValueName = strings.Put(v.name);
    r.cbValueName = DWORD((v.name.size() + 1) * sizeof(WCHAR));
    r.dwType = v.type;
    r.pData = static_cast<LPBYTE>(strings.PutBytes(v.bytes));
    r.cbData = DWORD(v.bytes.size());
    std::memcpy(values + i * sizeof r, &r, sizeof r);
  }
  *returned = DWORD(k->values.size());
  return ERROR_SUCCESS;
}

DWORD WINAPI SetPrinterDataExW(HANDLE printer, LPCWSTR keyName, LPCWSTR valueName, DWORD type,
                               LPBYTE data, DWORD size) {
  if (DWORD e =
          Begin("SetPrinterDataExW", ToUtf8(FromW(keyName)) + "," + ToUtf8(FromW(valueName)))) {
    return e;
  }
  if (!keyName || !*keyName || !valueName) return ERROR_INVALID_PARAMETER;
  DWORD error = 0;
  SimPrinter* p = HandlePrinter(printer, PRINTER_ACCESS_ADMINISTER, &error);
  if (!p) return error;
  if (!data && size) return ERROR_INVALID_PARAMETER;
  PutPrinterData(*FindDataKey(*p, keyName, true), valueName, type, {data, data + size});
  return ERROR_SUCCESS;
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

std::vector<uint8_t> DriverDevMode(Machine& m, const SimPrinter& p) {
  const uint16_t build = DriverBuild(m, p);
  const WORD extra = build >= 2300 ? 24 : 16;
  std::vector<uint8_t> bytes(sizeof(DEVMODEW) + extra);
  auto* dm = reinterpret_cast<DEVMODEW*>(bytes.data());
  const size_t chars = std::min<size_t>(p.name.size(), 31);
  std::memcpy(dm->dmDeviceName, p.name.data(), chars * sizeof(WCHAR));
  dm->dmSpecVersion = 0x0401;
  dm->dmDriverVersion = build;
  dm->dmSize = sizeof(DEVMODEW);
  dm->dmDriverExtra = extra;
  dm->dmFields =
      0x00000001 | 0x00000002 | 0x00000100 | 0x00000800;  // orientation, paper, copies, colour
  dm->dmOrientation = 1;                                  // portrait
  dm->dmPaperSize = 1;                                    // letter
  dm->dmCopies = 1;
  dm->dmColor = 2;  // colour
  uint32_t mark = build;
  std::memcpy(bytes.data() + sizeof(DEVMODEW), &mark, sizeof mark);
  return bytes;
}

std::vector<uint8_t> PrinterDevMode(Machine& m, const SimPrinter& p) {
  return p.devMode.empty() ? DriverDevMode(m, p) : p.devMode;
}

// Owner and group the local system, a DACL granting everyone printing and the
// administrators everything: the shape of a new printer's descriptor.
const std::vector<uint8_t>& DefaultPrinterSecurity() {
  static const std::vector<uint8_t> kDefault = [] {
    const uint8_t system[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    const uint8_t everyone[] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    const uint8_t admins[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 32, 2, 0, 0};
    std::vector<uint8_t> sd(20, 0);
    sd[0] = 1;     // revision
    sd[2] = 0x04;  // SE_DACL_PRESENT
    sd[3] = 0x80;  // SE_SELF_RELATIVE
    auto offset = [&](size_t at) {
      const uint32_t here = uint32_t(sd.size());
      std::memcpy(sd.data() + at, &here, 4);
    };
    offset(4);
    sd.insert(sd.end(), std::begin(system), std::end(system));
    offset(8);
    sd.insert(sd.end(), std::begin(system), std::end(system));
    offset(16);
    // ACL: revision 2, two ACCESS_ALLOWED aces.
    const size_t aclAt = sd.size();
    sd.insert(sd.end(), {2, 0, 0, 0, 2, 0, 0, 0});
    auto ace = [&](uint32_t mask, const uint8_t* sid, size_t sidSize) {
      const uint16_t size = uint16_t(8 + sidSize);
      sd.insert(sd.end(), {0, 0, uint8_t(size), uint8_t(size >> 8)});
      sd.insert(sd.end(),
                {uint8_t(mask), uint8_t(mask >> 8), uint8_t(mask >> 16), uint8_t(mask >> 24)});
      sd.insert(sd.end(), sid, sid + sidSize);
    };
    ace(PRINTER_ACCESS_USE, everyone, sizeof everyone);
    ace(PRINTER_ALL_ACCESS, admins, sizeof admins);
    const uint16_t aclSize = uint16_t(sd.size() - aclAt);
    sd[aclAt + 2] = uint8_t(aclSize);
    sd[aclAt + 3] = uint8_t(aclSize >> 8);
    return sd;
  }();
  return kDefault;
}

std::vector<uint8_t> RestrictedPrinterSecurity() {
  std::vector<uint8_t> sd = DefaultPrinterSecurity();
  sd[56] = 0;  // the mask of everyone's ACE, the DACL's first
  return sd;
}

PrinterDataKey* FindDataKey(SimPrinter& p, std::u16string_view key, bool create) {
  for (auto& k : p.data) {
    if (EqualFold(k.name, key)) return &k;
  }
  if (!create) return nullptr;
  return &p.data.emplace_back(PrinterDataKey{U16(key), {}});
}

void PutPrinterData(PrinterDataKey& k, std::u16string_view name, DWORD type,
                    std::vector<uint8_t> bytes) {
  for (auto& v : k.values) {
    if (EqualFold(v.name, name)) {
      v.type = type;
      v.bytes = std::move(bytes);
      return;
    }
  }
  k.values.push_back({U16(name), type, std::move(bytes)});
}

const PrinterDataValue* FindPrinterData(const SimPrinter& p, std::u16string_view key,
                                        std::u16string_view value) {
  for (const auto& k : p.data) {
    if (!EqualFold(k.name, key.empty() ? kPlainDataKey : key)) continue;
    for (const auto& v : k.values) {
      if (EqualFold(v.name, value)) return &v;
    }
  }
  return nullptr;
}

}  // namespace sim
