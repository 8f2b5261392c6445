// winspool: what the spooler's calls share (environments, the common start of every call,
// ports, lookups, printer handles), and the machine's side of the spooler: lookups for tests
// and orvsim, what the running spooler holds, the default machine. The calls themselves are
// in spooler_printers.cpp, spooler_drivers.cpp and spooler_monitors.cpp.
#include "sim/spooler_internal.h"

using namespace sim;
using namespace sim::winspool;

namespace sim::winspool {

namespace {

const Environment kEnvironments[] = {{u"Windows x64", u"x64"},
                                     {u"Windows NT x86", u"W32X86"},
                                     {u"Windows IA64", u"IA64"},
                                     {u"Windows ARM64", u"ARM64"},
                                     {u"Windows 4.0", u"WIN40"}};

// Handles die with the spooler process that issued them.
uint32_t SpoolerGeneration(const Machine& m) {
  const SimService* s = SpoolerService(m);
  return s ? s->starts : 0;
}

// The port as its monitor spells it.
const U16* FindPort(const Machine& m, std::u16string_view name) {
  for (const auto& mon : m.spooler.monitors) {
    for (const auto& port : mon.ports) {
      if (EqualFold(port, name)) return &port;
    }
  }
  return nullptr;
}

SimPrinter* PrinterById(Machine& m, uint32_t id) {
  return Printers(m).FindId(id);
}

}  // namespace

const Environment* ResolveEnvironment(LPCWSTR env) {
  std::u16string_view name = (env && *env) ? std::u16string_view(env) : kNativeEnvironment;
  for (const auto& e : kEnvironments) {
    if (EqualFold(e.name, name)) return &e;
  }
  return nullptr;
}

const SimService* SpoolerService(const Machine& m) {
  for (const auto& s : m.services.services) {
    if (EqualFold(s.name, u"spooler")) return &s;
  }
  return nullptr;
}

DWORD Begin(const char* api, std::string args) {
  if (DWORD e = Enter(api, std::move(args))) return e;
  if (!SpoolerRunning(M())) return RPC_S_SERVER_UNAVAILABLE;
  return 0;
}

bool LocalServer(LPCWSTR server) {
  return !server || !*server;
}

DWORD CheckOutput(LPBYTE buffer, DWORD size, LPDWORD needed) {
  if (!needed) return RPC_X_NULL_REF_POINTER;
  if (!buffer && size) return ERROR_INVALID_USER_BUFFER;
  return 0;
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

PrinterTable& Printers(Machine& m) {
  PrinterTable& t = m.spooler.printers;
  if (!t.Indexed()) t.Reindex(&m.spooler.nextPrinterId);
  return t;
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

namespace {

// A printer handle names its printer by id, so it follows the printer through renames.
struct PrinterHandle : KernelObject {
  uint32_t generation = 0;
  bool server = false;
  uint32_t printerId = 0;
  DWORD access = 0;
};
HandleTable printerHandles("printer handle", 0x5E0000, 8);

}  // namespace

DWORD MapAccess(DWORD access) {
  if (access & GENERIC_ALL) access |= PRINTER_ALL_ACCESS;
  if (access & (GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE)) {
    access |= READ_CONTROL | PRINTER_ACCESS_USE;
  }
  return access;
}

SimPrinter* HandlePrinter(HANDLE h, DWORD rights, DWORD* error) {
  Machine& m = M();
  auto o = printerHandles.GetAs<PrinterHandle>(h);
  if (!o || o->owner != &m || o->generation != SpoolerGeneration(m) || o->server) {
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

DWORD HandleAccess(HANDLE h) {
  auto o = printerHandles.GetAs<PrinterHandle>(h);
  return o ? o->access : 0;
}

HANDLE NewPrinterHandle(Machine& m, bool server, uint32_t id, DWORD access) {
  auto o = std::make_shared<PrinterHandle>();
  o->generation = SpoolerGeneration(m);
  o->server = server;
  o->printerId = id;
  o->access = access;
  return printerHandles.Add(o);
}

bool ClosePrinterHandle(HANDLE h) {
  return printerHandles.Close(h);
}

}  // namespace sim::winspool

// =======================================================================================
// The machine's side: lookups, what the running spooler holds, the default machine.

namespace sim {

HandleTable& PrinterHandles() {
  return winspool::printerHandles;
}

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

SimPrinter& AddSimPrinter(Machine& m, SimPrinter printer) {
  PrinterTable& printers = Printers(m);
  printer.id = m.spooler.nextPrinterId++;
  return printers.Add(std::move(printer));
}

void OnEvent(Machine& m, const PrinterAdd& e) {
  if (!SpoolerRunning(m) || e.name.empty() || PrinterExists(m, e.name)) return;
  SimPrinter printer;
  printer.name = e.name;
  printer.driverName = e.driver;
  printer.portName = e.port;
  printer.comment = e.comment;
  printer.location = e.location;
  AddSimPrinter(m, std::move(printer));
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
  auto ensure = [&](const U16& path, std::string_view mark = {}) {
    if (!FindFile(m, path)) {
      std::string body = "MZ " + ToUtf8(FileNamePart(path));
      if (!mark.empty()) body += " " + std::string(mark);
      PutFile(m, path, std::vector<uint8_t>(body.begin(), body.end()));
    }
  };
  ensure(ModulePath(m, local.dllName), kMonitorEntryPoint);
  for (const auto& f : DriverFiles(pdf)) ensure(f);
}

}  // namespace sim
