// winspool: printers, printer data, the default printer, drivers, monitors and ports, answered
// the way the print spooler service answers them: sized queries with exact needed sizes,
// records followed by their strings inside the caller's buffer, refusals while objects are
// in use, and RPC_S_SERVER_UNAVAILABLE while the service is not running.
#include <algorithm>
#include <cstring>
#include <utility>

#include "sim/machine.h"

using namespace sim;

namespace {

constexpr std::u16string_view kNativeEnvironment = u"Windows x64";
constexpr size_t kMaxPrinterName = 220;  // MAX_PRINTER_NAME

struct Environment {
  std::u16string_view name;
  std::u16string_view dir;  // under the driver root
};
const Environment kEnvironments[] = {{u"Windows x64", u"x64"},
                                     {u"Windows NT x86", u"W32X86"},
                                     {u"Windows IA64", u"IA64"},
                                     {u"Windows ARM64", u"ARM64"},
                                     {u"Windows 4.0", u"WIN40"}};

// NULL or empty names the spooler's own environment; an unknown name gives nullptr.
const Environment* ResolveEnvironment(LPCWSTR env) {
  std::u16string_view name = (env && *env) ? std::u16string_view(env) : kNativeEnvironment;
  for (const auto& e : kEnvironments) {
    if (EqualFold(e.name, name)) return &e;
  }
  return nullptr;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

const SimService* SpoolerService(const Machine& m) {
  for (const auto& s : m.services.services) {
    if (EqualFold(s.name, u"spooler")) return &s;
  }
  return nullptr;
}

// Handles die with the spooler process that issued them.
uint32_t SpoolerGeneration(const Machine& m) {
  const SimService* s = SpoolerService(m);
  return s ? s->starts : 0;
}

// The common start of every entry point: an armed fault, then the service itself.
DWORD Begin(const char* api, std::string args = {}) {
  if (DWORD e = Enter(api, std::move(args))) return e;
  if (!SpoolerRunning(M())) return RPC_S_SERVER_UNAVAILABLE;
  return 0;
}

// Only the local machine is served: no server name, or an empty one.
bool LocalServer(LPCWSTR server) {
  return !server || !*server;
}

// ---------------------------------------------------------------------------------------
// Output buffers: records from the start, strings packed downward from the end.

class Strings {
 public:
  // A null buffer only counts the bytes the strings need.
  Strings(BYTE* buffer, size_t size) : buffer_(buffer), top_(size & ~size_t(1)) {}

  LPWSTR Put(std::u16string_view s) { return Place(s, 1); }
  LPWSTR PutOptional(std::u16string_view s) { return s.empty() ? nullptr : Put(s); }
  // A list as consecutive terminated strings with one more terminator; nullptr when empty.
  LPWSTR PutMulti(const std::vector<U16>& list) {
    if (list.empty()) return nullptr;
    U16 joined;
    for (const auto& item : list) {
      joined += item;
      joined += u'\0';
    }
    return Place(joined, 1);
  }
  size_t Used() const { return used_; }

 private:
  LPWSTR Place(std::u16string_view s, size_t terminators) {
    const size_t bytes = (s.size() + terminators) * sizeof(WCHAR);
    used_ += bytes;
    if (!buffer_) return nullptr;
    top_ -= bytes;
    BYTE* at = buffer_ + top_;
    std::memcpy(at, s.data(), s.size() * sizeof(WCHAR));
    std::memset(at + s.size() * sizeof(WCHAR), 0, terminators * sizeof(WCHAR));
    return reinterpret_cast<LPWSTR>(at);
  }

  BYTE* buffer_;
  size_t top_;
  size_t used_ = 0;
};

// Validates the caller's output arguments of a sized query.
DWORD CheckOutput(LPBYTE buffer, DWORD size, LPDWORD needed) {
  if (!needed) return RPC_X_NULL_REF_POINTER;
  if (!buffer && size) return ERROR_INVALID_USER_BUFFER;
  return 0;
}

// Writes the records of `items` at level Rec with their strings, or reports the exact size
// needed with ERROR_INSUFFICIENT_BUFFER.
template <class Rec, class Item, class FillFn>
BOOL Emit(const std::vector<const Item*>& items, FillFn fill, LPBYTE buffer, DWORD size,
          LPDWORD needed, LPDWORD returned) {
  Strings counter(nullptr, 0);
  for (const Item* item : items) {
    Rec scratch{};
    fill(*item, scratch, counter);
  }
  const size_t total = items.size() * sizeof(Rec) + counter.Used();
  *needed = DWORD(total);
  if (returned) *returned = 0;
  // Nothing to list: success with a count of 0, whatever buffer was offered.
  if (total > 0 && (!buffer || size < total)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  Strings strings(buffer, size);
  for (size_t i = 0; i < items.size(); ++i) {
    Rec record{};
    fill(*items[i], record, strings);
    std::memcpy(buffer + i * sizeof(Rec), &record, sizeof(Rec));
  }
  if (returned) *returned = DWORD(items.size());
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// ---------------------------------------------------------------------------------------
// Ports.

// The port as its monitor spells it; ports compare ignoring case ("file:" is "FILE:").
const U16* FindPort(const Machine& m, std::u16string_view name) {
  for (const auto& mon : m.spooler.monitors) {
    for (const auto& port : mon.ports) {
      if (EqualFold(port, name)) return &port;
    }
  }
  return nullptr;
}

// Resolves a comma-separated port list to the ports' own names; false when one is unknown
// or the list names none.
bool CanonicalPorts(const Machine& m, LPCWSTR list, U16* out) {
  if (!list) return false;
  std::vector<U16> ports = SplitPorts(list);
  if (ports.empty()) return false;
  U16 joined;
  for (const auto& p : ports) {
    const U16* known = FindPort(m, p);
    if (!known) return false;
    if (!joined.empty()) joined += u',';
    joined += *known;
  }
  *out = joined;
  return true;
}

bool PrinterUsesPort(const SimPrinter& p, std::u16string_view port) {
  for (const auto& used : SplitPorts(p.portName)) {
    if (EqualFold(used, port)) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------
// Lookups.

SimDriver* NewestDriver(Machine& m, std::u16string_view name, std::u16string_view env) {
  SimDriver* best = nullptr;
  for (auto& d : m.spooler.drivers) {
    if (EqualFold(d.name, name) && EqualFold(d.environment, env) &&
        (!best || d.version > best->version)) {
      best = &d;
    }
  }
  return best;
}

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

// The printer table with its indexes up to date.
PrinterTable& Printers(Machine& m) {
  PrinterTable& t = m.spooler.printers;
  if (!t.Indexed()) t.Reindex(&m.spooler.nextPrinterId);
  return t;
}

SimPrinter* PrinterById(Machine& m, uint32_t id) {
  return Printers(m).FindId(id);
}

SimPrinter* PrinterNamed(Machine& m, std::u16string_view name) {
  return name.empty() ? nullptr : Printers(m).Find(name);
}

U16 ModulePath(const Machine& m, std::u16string_view dll) {
  if (dll.find_first_of(u"\\/:") != std::u16string_view::npos) return U16(dll);
  return m.kernel.systemDir + u"\\" + U16(dll);
}

U16 DriverDirectory(const Machine& m, const Environment& env) {
  return m.spooler.driverRoot + u"\\" + U16(env.dir);
}

void RemovePrinter(Machine& m, const SimPrinter& p) {
  SpoolerModel& s = m.spooler;
  if (EqualFold(s.defaultPrinter, p.name)) s.defaultPrinter.clear();
  Printers(m).Remove(p);
}

// ---------------------------------------------------------------------------------------
// Printer handles: a table of their own, each naming the printer by its id.

struct PrinterHandle : KernelObject {
  const Machine* machine = nullptr;
  uint32_t generation = 0;
  bool server = false;
  uint32_t printerId = 0;
  DWORD access = 0;
};
HandleTable printerHandles(0x5E0000, 8);
}  // namespace

void sim::CloseAllPrinterHandles() {
  printerHandles.CloseAll();
}

namespace {

DWORD MapAccess(DWORD access) {
  if (access & GENERIC_ALL) access |= PRINTER_ALL_ACCESS;
  if (access & (GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE)) {
    access |= READ_CONTROL | PRINTER_ACCESS_USE;
  }
  return access;
}

constexpr DWORD kReadRights = PRINTER_ACCESS_USE | PRINTER_ACCESS_ADMINISTER;

// The printer behind a handle, checked for the rights the call needs; on failure *error
// says why.
SimPrinter* HandlePrinter(HANDLE h, DWORD rights, DWORD* error) {
  Machine& m = M();
  auto o = printerHandles.GetAs<PrinterHandle>(h);
  if (!o || o->machine != &m || o->generation != SpoolerGeneration(m) || o->server) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  SimPrinter* p = PrinterById(m, o->printerId);
  if (!p) {
    *error = ERROR_INVALID_HANDLE;  // deleted since it was opened
    return nullptr;
  }
  if (rights && !(o->access & rights)) {
    *error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  return p;
}

HANDLE NewPrinterHandle(Machine& m, bool server, uint32_t id, DWORD access) {
  auto o = std::make_shared<PrinterHandle>();
  o->machine = &m;
  o->generation = SpoolerGeneration(m);
  o->server = server;
  o->printerId = id;
  o->access = access;
  return printerHandles.Add(o);
}

// ---------------------------------------------------------------------------------------
// Record fillers, one per structure.

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

void Fill(const SimDriver& d, DRIVER_INFO_1W& r, Strings& s) {
  r.pName = s.Put(d.name);
}

template <class Rec>
void FillDriverBase(const SimDriver& d, Rec& r, Strings& s) {
  r.cVersion = d.version;
  r.pName = s.Put(d.name);
  r.pEnvironment = s.Put(d.environment);
  r.pDriverPath = s.Put(d.driverPath);
  r.pDataFile = s.Put(d.dataFile);
  r.pConfigFile = s.Put(d.configFile);
}

template <class Rec>
void FillDriver3(const SimDriver& d, Rec& r, Strings& s) {
  FillDriverBase(d, r, s);
  r.pHelpFile = s.PutOptional(d.helpFile);
  r.pDependentFiles = s.PutMulti(d.dependentFiles);
  r.pMonitorName = s.PutOptional(d.monitorName);
  r.pDefaultDataType = s.PutOptional(d.defaultDataType);
}

void Fill(const SimDriver& d, DRIVER_INFO_2W& r, Strings& s) {
  FillDriverBase(d, r, s);
}
void Fill(const SimDriver& d, DRIVER_INFO_3W& r, Strings& s) {
  FillDriver3(d, r, s);
}
void Fill(const SimDriver& d, DRIVER_INFO_4W& r, Strings& s) {
  FillDriver3(d, r, s);
  r.pszzPreviousNames = s.PutMulti(d.previousNames);
}
void Fill(const SimDriver& d, DRIVER_INFO_5W& r, Strings& s) {
  FillDriverBase(d, r, s);
  r.dwDriverAttributes = 0;
  r.dwConfigVersion = 0;
  r.dwDriverVersion = DWORD(d.driverVersion);
}
void Fill(const SimDriver& d, DRIVER_INFO_6W& r, Strings& s) {
  FillDriver3(d, r, s);
  r.pszzPreviousNames = s.PutMulti(d.previousNames);
  r.ftDriverDate.dwLowDateTime = DWORD(d.driverDate);
  r.ftDriverDate.dwHighDateTime = DWORD(d.driverDate >> 32);
  r.dwlDriverVersion = d.driverVersion;
  r.pszMfgName = s.PutOptional(d.mfgName);
  r.pszOEMUrl = s.PutOptional(d.oemUrl);
  r.pszHardwareID = s.PutOptional(d.hardwareId);
  r.pszProvider = s.PutOptional(d.provider);
}

void Fill(const SimMonitor& mon, MONITOR_INFO_1W& r, Strings& s) {
  r.pName = s.Put(mon.name);
}
void Fill(const SimMonitor& mon, MONITOR_INFO_2W& r, Strings& s) {
  r.pName = s.Put(mon.name);
  r.pEnvironment = s.Put(mon.environment);
  r.pDLLName = s.Put(mon.dllName);
}

void Fill(const U16& port, PORT_INFO_1W& r, Strings& s) {
  r.pName = s.Put(port);
}

const auto kFill = [](const auto& item, auto& record, Strings& s) { Fill(item, record, s); };

template <class Item>
BOOL EmitDriver(DWORD level, const std::vector<const Item*>& items, LPBYTE buffer, DWORD size,
                LPDWORD needed, LPDWORD returned) {
  switch (level) {
    case 1:
      return Emit<DRIVER_INFO_1W>(items, kFill, buffer, size, needed, returned);
    case 2:
      return Emit<DRIVER_INFO_2W>(items, kFill, buffer, size, needed, returned);
    case 3:
      return Emit<DRIVER_INFO_3W>(items, kFill, buffer, size, needed, returned);
    case 4:
      return Emit<DRIVER_INFO_4W>(items, kFill, buffer, size, needed, returned);
    case 5:
      return Emit<DRIVER_INFO_5W>(items, kFill, buffer, size, needed, returned);
    case 6:
      return Emit<DRIVER_INFO_6W>(items, kFill, buffer, size, needed, returned);
    default:
      return Fail(ERROR_INVALID_LEVEL);
  }
}

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

// ---------------------------------------------------------------------------------------
// Drivers: where files come from and go to.

U16 SourcePath(const Machine& m, const Environment& env, std::u16string_view file) {
  if (file.find_first_of(u"\\/") != std::u16string_view::npos) return U16(file);
  return DriverDirectory(m, env) + u"\\" + U16(file);
}

std::vector<U16> SplitMulti(LPCWSTR multi) {
  std::vector<U16> out;
  if (!multi) return out;
  for (const WCHAR* p = multi; *p; p += std::char_traits<char16_t>::length(p) + 1) {
    out.emplace_back(p);
  }
  return out;
}

std::vector<U16> DriverFiles(const SimDriver& d) {
  std::vector<U16> files = {d.driverPath, d.dataFile, d.configFile, d.helpFile};
  files.insert(files.end(), d.dependentFiles.begin(), d.dependentFiles.end());
  std::erase_if(files, [](const U16& f) { return f.empty(); });
  return files;
}

bool DriverInUse(Machine& m, std::u16string_view name, std::u16string_view env) {
  return EqualFold(env, kNativeEnvironment) && Printers(m).DriverUsers(name) > 0;
}

uint64_t VersionOf(const SimFile* f) {
  if (!f || !f->version) return 0;
  const auto& v = f->version->file;
  return (uint64_t(v[0]) << 48) | (uint64_t(v[1]) << 32) | (uint64_t(v[2]) << 16) | v[3];
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
  switch (level) {
    case 1:
      return Emit<PRINTER_INFO_1W>(list, kFill, buffer, size, needed, returned);
    case 2:
      return Emit<PRINTER_INFO_2W>(list, kFill, buffer, size, needed, returned);
    default:
      return Fail(ERROR_INVALID_LEVEL);
  }
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
  if (!printerHandles.Close(printer)) return Fail(ERROR_INVALID_HANDLE);
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
  switch (level) {
    case 1:
      return Emit<PRINTER_INFO_1W>(one, kFill, buffer, size, needed, nullptr);
    case 2:
      return Emit<PRINTER_INFO_2W>(one, kFill, buffer, size, needed, nullptr);
    default:
      return Fail(ERROR_INVALID_LEVEL);
  }
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

// =======================================================================================
// Drivers.

BOOL WINAPI GetPrinterDriverDirectoryW(LPWSTR server, LPWSTR environment, DWORD level,
                                       LPBYTE buffer, DWORD size, LPDWORD needed) {
  if (DWORD e = Begin("GetPrinterDriverDirectoryW", CallArg(environment))) return Fail(e);
  if (!LocalServer(server)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (level != 1) return Fail(ERROR_INVALID_LEVEL);
  const Environment* env = ResolveEnvironment(environment);
  if (!env) return Fail(ERROR_INVALID_ENVIRONMENT);
  if (DWORD e = CheckOutput(buffer, size, needed)) return Fail(e);
  // No trailing backslash, as Windows answers.
  const U16 dir = DriverDirectory(M(), *env);
  const DWORD bytes = DWORD((dir.size() + 1) * sizeof(WCHAR));
  *needed = bytes;
  if (!buffer || size < bytes) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, dir.c_str(), bytes);
  return TRUE;
}

BOOL WINAPI GetPrinterDriverW(HANDLE printer, LPWSTR environment, DWORD level, LPBYTE buffer,
                              DWORD size, LPDWORD needed) {
  if (DWORD e = Begin("GetPrinterDriverW", CallArg(environment) + "," + std::to_string(level))) {
    return Fail(e);
  }
  Machine& m = M();
  DWORD error = 0;
  SimPrinter* p = HandlePrinter(printer, kReadRights, &error);
  if (!p) return Fail(error);
  const Environment* env = ResolveEnvironment(environment);
  if (!env) return Fail(ERROR_INVALID_ENVIRONMENT);
  if (level < 1 || level > 6) return Fail(ERROR_INVALID_LEVEL);
  if (DWORD e = CheckOutput(buffer, size, needed)) return Fail(e);
  const SimDriver* d = NewestDriver(m, p->driverName, env->name);
  if (!d) return Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
  return EmitDriver<SimDriver>(level, {d}, buffer, size, needed, nullptr);
}

BOOL WINAPI EnumPrinterDriversW(LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer,
                                DWORD size, LPDWORD needed, LPDWORD returned) {
  if (DWORD e = Begin("EnumPrinterDriversW", CallArg(environment) + "," + std::to_string(level))) {
    return Fail(e);
  }
  if (!LocalServer(server)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  const bool all = environment && EqualFold(environment, u"all");
  const Environment* env = all ? nullptr : ResolveEnvironment(environment);
  if (!all && !env) return Fail(ERROR_INVALID_ENVIRONMENT);
  if (level < 1 || level > 6) return Fail(ERROR_INVALID_LEVEL);
  if (DWORD e = CheckOutput(buffer, size, needed)) return Fail(e);
  if (!returned) return Fail(RPC_X_NULL_REF_POINTER);
  std::vector<const SimDriver*> list;
  for (const auto& d : M().spooler.drivers) {
    if (all || EqualFold(d.environment, env->name)) list.push_back(&d);
  }
  return EmitDriver<SimDriver>(level, list, buffer, size, needed, returned);
}

BOOL WINAPI AddPrinterDriverExW(LPWSTR server, DWORD level, LPBYTE info, DWORD flags) {
  if (DWORD e = Begin("AddPrinterDriverExW", std::to_string(level) + "," + std::to_string(flags))) {
    return Fail(e);
  }
  Machine& m = M();
  if (!LocalServer(server)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (level != 2 && level != 3 && level != 4 && level != 6) return Fail(ERROR_INVALID_LEVEL);
  if (!info) return Fail(ERROR_INVALID_PARAMETER);
  // Levels 2 to 6 share their leading members; the rest is read by level.
  const auto* base = reinterpret_cast<const DRIVER_INFO_2W*>(info);
  if (!base->pName || !*base->pName || !base->pDriverPath || !*base->pDriverPath ||
      !base->pDataFile || !*base->pDataFile || !base->pConfigFile || !*base->pConfigFile) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const Environment* env = ResolveEnvironment(base->pEnvironment);
  if (!env) return Fail(ERROR_INVALID_ENVIRONMENT);
  if (base->cVersion != 3 && base->cVersion != 4) return Fail(ERROR_INVALID_PARAMETER);

  SimDriver d;
  d.name = base->pName;
  d.environment = U16(env->name);
  d.version = base->cVersion;
  U16 help;
  std::vector<U16> dependents;
  if (level >= 3) {
    const auto* i3 = reinterpret_cast<const DRIVER_INFO_3W*>(info);
    help = FromW(i3->pHelpFile);
    dependents = SplitMulti(i3->pDependentFiles);
    d.monitorName = FromW(i3->pMonitorName);
    d.defaultDataType = FromW(i3->pDefaultDataType);
  }
  if (level >= 4) {
    d.previousNames = SplitMulti(reinterpret_cast<const DRIVER_INFO_4W*>(info)->pszzPreviousNames);
  }
  if (level == 6) {
    const auto* i6 = reinterpret_cast<const DRIVER_INFO_6W*>(info);
    d.driverDate =
        (uint64_t(i6->ftDriverDate.dwHighDateTime) << 32) | i6->ftDriverDate.dwLowDateTime;
    d.driverVersion = i6->dwlDriverVersion;
    d.mfgName = FromW(i6->pszMfgName);
    d.oemUrl = FromW(i6->pszOEMUrl);
    d.hardwareId = FromW(i6->pszHardwareID);
    d.provider = FromW(i6->pszProvider);
  }

  // Every named file must be there before anything is copied.
  struct Copy {
    U16 source;
    U16 target;
  };
  std::vector<Copy> copies;
  const U16 versionDir = DriverDirectory(m, *env) + u"\\" + U16(1, char16_t(u'0' + d.version));
  auto plan = [&](std::u16string_view file, U16* installed) -> bool {
    if (file.empty()) return true;
    U16 source = SourcePath(m, *env, file);
    if (!FindFile(m, source)) return false;
    *installed = versionDir + u"\\" + U16(FileNamePart(source));
    copies.push_back({source, *installed});
    return true;
  };
  bool found = plan(FromW(base->pDriverPath), &d.driverPath) &&
               plan(FromW(base->pDataFile), &d.dataFile) &&
               plan(FromW(base->pConfigFile), &d.configFile) && plan(help, &d.helpFile);
  for (const auto& dep : dependents) {
    U16 installed;
    found = found && plan(dep, &installed);
    d.dependentFiles.push_back(installed);
  }
  if (!found) return Fail(ERROR_FILE_NOT_FOUND);

  MakeDirectories(m, versionDir);
  for (const auto& c : copies) {
    if (FoldPath(c.source) == FoldPath(c.target)) continue;
    const SimFile* source = FindFile(m, c.source);
    const SimFile* target = FindFile(m, c.target);
    const bool copy =
        (flags & APD_COPY_ALL_FILES) || !target || VersionOf(source) > VersionOf(target);
    // The version resource travels inside the bytes.
    if (copy) PutFile(m, c.target, source->data);
  }
  // The same name, environment and version is an upgrade in place.
  auto& drivers = m.spooler.drivers;
  auto same = std::find_if(drivers.begin(), drivers.end(), [&](const SimDriver& x) {
    return EqualFold(x.name, d.name) && EqualFold(x.environment, d.environment) &&
           x.version == d.version;
  });
  if (same != drivers.end()) {
    *same = std::move(d);
  } else {
    drivers.push_back(std::move(d));
  }
  return TRUE;
}

BOOL WINAPI DeletePrinterDriverExW(LPWSTR server, LPWSTR environment, LPWSTR driverName,
                                   DWORD deleteFlag, DWORD versionFlag) {
  if (DWORD e = Begin("DeletePrinterDriverExW", CallArg(environment) + "," + CallArg(driverName) +
                                                    "," + std::to_string(deleteFlag))) {
    return Fail(e);
  }
  Machine& m = M();
  if (!LocalServer(server)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (!driverName || !*driverName) return Fail(ERROR_INVALID_PARAMETER);
  const Environment* env = ResolveEnvironment(environment);
  if (!env) return Fail(ERROR_INVALID_ENVIRONMENT);
  auto& drivers = m.spooler.drivers;
  auto chosen = [&](const SimDriver& d) {
    return EqualFold(d.name, driverName) && EqualFold(d.environment, env->name) &&
           (!(deleteFlag & DPD_DELETE_SPECIFIC_VERSION) || d.version == versionFlag);
  };
  std::vector<SimDriver> removed;
  for (const auto& d : drivers) {
    if (chosen(d)) removed.push_back(d);
  }
  if (removed.empty()) return Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
  if (DriverInUse(m, driverName, env->name)) return Fail(ERROR_PRINTER_DRIVER_IN_USE);

  // Files another remaining driver still names are not this driver's to delete.
  auto sharedWithOthers = [&](const U16& file) {
    for (const auto& other : drivers) {
      if (chosen(other)) continue;
      for (const auto& f : DriverFiles(other)) {
        if (FoldPath(f) == FoldPath(file)) return true;
      }
    }
    return false;
  };
  if (deleteFlag & DPD_DELETE_ALL_FILES) {
    for (const auto& d : removed) {
      for (const auto& f : DriverFiles(d)) {
        if (sharedWithOthers(f)) return Fail(ERROR_PRINTER_DRIVER_IN_USE);
      }
    }
  }
  std::erase_if(drivers, chosen);
  if (deleteFlag & (DPD_DELETE_ALL_FILES | DPD_DELETE_UNUSED_FILES)) {
    for (const auto& d : removed) {
      for (const auto& f : DriverFiles(d)) {
        if (!sharedWithOthers(f)) RemoveFile(m, f);
      }
    }
  }
  return TRUE;
}

// =======================================================================================
// Monitors and ports.

BOOL WINAPI EnumMonitorsW(LPWSTR server, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                          LPDWORD returned) {
  if (DWORD e = Begin("EnumMonitorsW", std::to_string(level))) return Fail(e);
  if (!LocalServer(server)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (DWORD e = CheckOutput(buffer, size, needed)) return Fail(e);
  if (!returned) return Fail(RPC_X_NULL_REF_POINTER);
  std::vector<const SimMonitor*> list;
  for (const auto& mon : M().spooler.monitors) list.push_back(&mon);
  switch (level) {
    case 1:
      return Emit<MONITOR_INFO_1W>(list, kFill, buffer, size, needed, returned);
    case 2:
      return Emit<MONITOR_INFO_2W>(list, kFill, buffer, size, needed, returned);
    default:
      return Fail(ERROR_INVALID_LEVEL);
  }
}

BOOL WINAPI AddMonitorW(LPWSTR server, DWORD level, LPBYTE info) {
  if (DWORD e = Begin("AddMonitorW", std::to_string(level))) return Fail(e);
  Machine& m = M();
  if (!LocalServer(server)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (level != 2) return Fail(ERROR_INVALID_LEVEL);
  if (!info) return Fail(ERROR_INVALID_PARAMETER);
  const auto* mi = reinterpret_cast<const MONITOR_INFO_2W*>(info);
  if (!mi->pName || !*mi->pName || !mi->pDLLName || !*mi->pDLLName) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const Environment* env = ResolveEnvironment(mi->pEnvironment);
  if (!env || !EqualFold(env->name, kNativeEnvironment)) return Fail(ERROR_INVALID_ENVIRONMENT);
  if (FindMonitor(m, mi->pName)) return Fail(ERROR_PRINT_MONITOR_ALREADY_INSTALLED);
  if (!FindFile(m, ModulePath(m, mi->pDLLName))) return Fail(ERROR_MOD_NOT_FOUND);
  SimMonitor mon;
  mon.name = mi->pName;
  mon.environment = U16(env->name);
  mon.dllName = mi->pDLLName;
  mon.ports = {mon.name};
  m.spooler.monitors.push_back(std::move(mon));
  SetLastError(ERROR_SUCCESS);  // installers read it even after success
  return TRUE;
}

BOOL WINAPI DeleteMonitorW(LPWSTR server, LPWSTR environment, LPWSTR monitorName) {
  if (DWORD e = Begin("DeleteMonitorW", CallArg(environment) + "," + CallArg(monitorName))) {
    return Fail(e);
  }
  Machine& m = M();
  if (!LocalServer(server)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (!monitorName || !*monitorName) return Fail(ERROR_INVALID_PARAMETER);
  // The environment is not checked: NT removes the monitor whatever it names.
  auto& monitors = m.spooler.monitors;
  auto it = std::find_if(monitors.begin(), monitors.end(),
                         [&](const SimMonitor& x) { return EqualFold(x.name, monitorName); });
  if (it == monitors.end()) return Fail(ERROR_UNKNOWN_PRINT_MONITOR);
  for (const auto& p : std::as_const(m.spooler.printers)) {
    for (const auto& port : it->ports) {
      if (PrinterUsesPort(p, port)) return Fail(ERROR_PRINT_MONITOR_IN_USE);
    }
  }
  m.spooler.loadedModules.push_back(ModulePath(m, it->dllName));
  monitors.erase(it);
  return TRUE;
}

BOOL WINAPI EnumPortsW(LPWSTR server, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                       LPDWORD returned) {
  if (DWORD e = Begin("EnumPortsW", std::to_string(level))) return Fail(e);
  if (!LocalServer(server)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (DWORD e = CheckOutput(buffer, size, needed)) return Fail(e);
  if (!returned) return Fail(RPC_X_NULL_REF_POINTER);
  if (level != 1) return Fail(ERROR_INVALID_LEVEL);
  std::vector<const U16*> list;
  for (const auto& mon : M().spooler.monitors) {
    for (const auto& port : mon.ports) list.push_back(&port);
  }
  return Emit<PORT_INFO_1W>(list, kFill, buffer, size, needed, returned);
}

// =======================================================================================
// The machine's side: lookups, what the running spooler holds, the default machine.

namespace sim {

SimPrinter* FindPrinter(Machine& m, std::u16string_view name) {
  // The caller may change the printer as it likes: the indexes are rebuilt after it.
  return name.empty() ? nullptr : Printers(m).FindToEdit(name);
}

bool PrinterExists(Machine& m, std::u16string_view name) {
  return PrinterNamed(m, name) != nullptr;
}

SimDriver* FindDriver(Machine& m, std::u16string_view name, std::u16string_view environment) {
  return NewestDriver(m, name, environment);
}

SimMonitor* FindMonitor(Machine& m, std::u16string_view name) {
  for (auto& mon : m.spooler.monitors) {
    if (EqualFold(mon.name, name)) return &mon;
  }
  return nullptr;
}

SimPrinter& AddSimPrinter(Machine& m, SimPrinter printer) {
  PrinterTable& printers = Printers(m);
  printer.id = m.spooler.nextPrinterId++;
  return printers.Add(std::move(printer));
}

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

bool HeldBySpooler(Machine& m, std::u16string_view path) {
  const SimService* service = SpoolerService(m);
  if (!service || service->state == SERVICE_STOPPED) return false;
  const U16 target = FoldPath(path);
  for (const auto& mon : m.spooler.monitors) {
    if (FoldPath(ModulePath(m, mon.dllName)) == target) return true;
  }
  for (const auto& module : m.spooler.loadedModules) {
    if (FoldPath(module) == target) return true;
  }
  // The modules of drivers that printers use stay loaded; their data and help files not.
  // A printer uses the newest driver of its driver's name.
  PrinterTable& printers = Printers(m);
  for (auto& d : m.spooler.drivers) {
    if (!EqualFold(d.environment, kNativeEnvironment) || !printers.DriverUsers(d.name) ||
        NewestDriver(m, d.name, kNativeEnvironment) != &d) {
      continue;
    }
    for (const U16* module : {&d.driverPath, &d.configFile}) {
      if (!module->empty() && FoldPath(*module) == target) return true;
    }
  }
  return false;
}

void InitSpooler(Machine& m) {
  m.spooler = SpoolerModel{};
  SpoolerModel& s = m.spooler;

  SimMonitor local;
  local.name = u"Local Port";
  local.dllName = u"localspl.dll";
  local.ports = {u"LPT1:", u"LPT2:", u"LPT3:", u"COM1:",      u"COM2:",
                 u"COM3:", u"COM4:", u"FILE:", u"PORTPROMPT:"};
  s.monitors.push_back(local);

  const U16 v3 = s.driverRoot + u"\\x64\\3\\";
  SimDriver pdf;
  pdf.name = u"Microsoft Print To PDF";
  pdf.driverPath = v3 + u"mxdwdrv.dll";
  pdf.dataFile = v3 + u"MPDW-PDC.xml";
  pdf.configFile = v3 + u"PrintConfig.dll";
  pdf.mfgName = u"Microsoft";
  pdf.provider = u"Microsoft";
  s.drivers.push_back(pdf);

  SimPrinter printer;
  printer.name = u"Microsoft Print to PDF";
  printer.portName = u"PORTPROMPT:";
  printer.driverName = pdf.name;
  AddSimPrinter(m, printer);
  s.defaultPrinter = printer.name;

  // The modules the spooler registers must exist on disk like any other file.
  auto ensure = [&](const U16& path) {
    if (!FindFile(m, path)) {
      std::string body = "MZ " + ToUtf8(FileNamePart(path));
      PutFile(m, path, std::vector<uint8_t>(body.begin(), body.end()));
    }
  };
  ensure(ModulePath(m, local.dllName));
  for (const auto& f : DriverFiles(pdf)) ensure(f);
}

}  // namespace sim
