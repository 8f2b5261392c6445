// winspool: port monitors and their ports.
#include <algorithm>
#include <utility>

#include "sim/spooler_internal.h"

using namespace sim;
using namespace sim::winspool;

namespace sim::winspool {

void Fill(const SimMonitor& mon, MONITOR_INFO_1W& r, Strings& s) {
  r.pName = s.Put(mon.name);
}
void Fill(const SimMonitor& mon, MONITOR_INFO_2W& r, Strings& s) {
  r.pName = s.Put(mon.name);
  r.pEnvironment = s.Put(mon.environment);
  r.pDLLName = s.Put(mon.dllName);
}

}  // namespace sim::winspool

namespace {

// What a listing of the server's monitors or ports checks first: an armed fault and the
// service, the server, the output arguments.
DWORD BeginListing(const char* api, DWORD level, LPWSTR server, LPBYTE buffer, DWORD size,
                   LPDWORD needed, LPDWORD returned) {
  if (DWORD e = Begin(api, std::to_string(level))) return e;
  if (!LocalServer(server)) return RPC_S_SERVER_UNAVAILABLE;
  if (DWORD e = CheckOutput(buffer, size, needed)) return e;
  if (!returned) return RPC_X_NULL_REF_POINTER;
  return 0;
}

}  // namespace

// =======================================================================================
// Monitors and ports.

BOOL WINAPI EnumMonitorsW(LPWSTR server, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                          LPDWORD returned) {
  if (DWORD e = BeginListing("EnumMonitorsW", level, server, buffer, size, needed, returned)) {
    return Fail(e);
  }
  std::vector<const SimMonitor*> list;
  for (const auto& mon : M().spooler.monitors) list.push_back(&mon);
  return EmitLevel<MONITOR_INFO_1W, MONITOR_INFO_2W>(level, list, buffer, size, needed, returned);
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
  // The spooler loads the module and asks for its entry point; what the loader refuses it
  // answers as the loader did.
  const SimFile* module = FindFile(m, ModulePath(m, mi->pDLLName));
  if (!module) return Fail(ERROR_MOD_NOT_FOUND);
  if (HoldsMark(module->data, kX86ImageHeader)) return Fail(ERROR_BAD_EXE_FORMAT);
  if (!HoldsMark(module->data, kMonitorEntryPoint)) return Fail(ERROR_PROC_NOT_FOUND);
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

namespace sim {

SimMonitor* FindMonitor(Machine& m, std::u16string_view name) {
  for (auto& mon : m.spooler.monitors) {
    if (EqualFold(mon.name, name)) return &mon;
  }
  return nullptr;
}

}  // namespace sim
