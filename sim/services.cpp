// advapi32: the service control manager, with service states driven by the virtual clock.
#include "sim/machine.h"

using namespace sim;

namespace {
struct ScObject : KernelObject {
  bool manager = false;
  U16 service;  // services only
  DWORD access = 0;
};
HandleTable scHandles("service handle", 0x5C0000, 8);

SimService* FindService(Machine& m, std::u16string_view name) {
  for (auto& s : m.services.services) {
    if (EqualFold(s.name, name)) return &s;
  }
  return nullptr;
}

std::shared_ptr<ScObject> ServiceHandle(SC_HANDLE h, DWORD right, SimService** service) {
  auto o = scHandles.GetAs<ScObject>(h);
  if (!o || o->manager) return Fail(ERROR_INVALID_HANDLE, nullptr);
  if ((o->access & right) != right) return Fail(ERROR_ACCESS_DENIED, nullptr);
  *service = FindService(M(), o->service);
  if (!*service) return Fail(ERROR_INVALID_HANDLE, nullptr);  // deleted meanwhile
  return o;
}

void FillStatus(const SimService& s, LPSERVICE_STATUS status) {
  if (!status) return;
  *status = SERVICE_STATUS{};
  status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status->dwCurrentState = s.state;
  status->dwControlsAccepted = s.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status->dwWaitHint =
      (s.state == SERVICE_START_PENDING || s.state == SERVICE_STOP_PENDING) ? 2000 : 0;
}
}  // namespace

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access) {
  if (DWORD e = Enter("OpenSCManagerW", std::to_string(access))) return Fail(e, nullptr);
  Machine& m = M();
  if ((machine && *machine) || (database && !EqualFold(database, u"ServicesActive"))) {
    SetLastError(database ? 1065 /* ERROR_DATABASE_DOES_NOT_EXIST */ : RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  if (access & m.services.managerDeniedRights) return Fail(ERROR_ACCESS_DENIED, nullptr);
  auto o = std::make_shared<ScObject>();
  o->manager = true;
  o->access = access;
  return static_cast<SC_HANDLE>(scHandles.Add(o));
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) {
  if (DWORD e = Enter("OpenServiceW", ToUtf8(FromW(name)) + "," + std::to_string(access))) {
    return Fail(e, nullptr);
  }
  auto mgr = scHandles.GetAs<ScObject>(manager);
  if (!mgr || !mgr->manager) return Fail(ERROR_INVALID_HANDLE, nullptr);
  if (!name) return Fail(ERROR_INVALID_NAME, nullptr);
  SimService* s = FindService(M(), name);
  if (!s) return Fail(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
  if (access & s->deniedRights) return Fail(ERROR_ACCESS_DENIED, nullptr);
  auto o = std::make_shared<ScObject>();
  o->service = s->name;
  o->access = access;
  return static_cast<SC_HANDLE>(scHandles.Add(o));
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  if (DWORD e = Enter("QueryServiceStatus")) return Fail(e);
  SimService* s = nullptr;
  if (!ServiceHandle(service, SERVICE_QUERY_STATUS, &s)) return FALSE;
  if (!status) return Fail(998);  // ERROR_NOACCESS
  FillStatus(*s, status);
  return TRUE;
}

BOOL WINAPI StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv) {
  (void)argc;
  (void)argv;
  if (DWORD e = Enter("StartServiceW")) return Fail(e);
  Machine& m = M();
  SimService* s = nullptr;
  if (!ServiceHandle(service, SERVICE_START, &s)) return FALSE;
  if (s->disabled) return Fail(ERROR_SERVICE_DISABLED);
  if (s->state != SERVICE_STOPPED) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
  s->state = SERVICE_START_PENDING;
  Schedule(m, s->startDelayMs, ServiceRunning{s->name});
  return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
  if (DWORD e = Enter("ControlService", std::to_string(control))) return Fail(e);
  Machine& m = M();
  SimService* s = nullptr;
  const DWORD right = control == SERVICE_CONTROL_STOP ? SERVICE_STOP : SERVICE_INTERROGATE;
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!ServiceHandle(service, right, &s)) return FALSE;
  if (s->state == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
  if (control == SERVICE_CONTROL_INTERROGATE) {
    FillStatus(*s, status);
    return TRUE;
  }
  if (s->state != SERVICE_RUNNING) {
    FillStatus(*s, status);
    return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  }
  if (s->stopRefusal) {
    FillStatus(*s, status);
    SetLastError(s->stopRefusal);
    return FALSE;
  }
  s->state = SERVICE_STOP_PENDING;
  Schedule(m, s->stopDelayMs, ServiceStopped{s->name});
  FillStatus(*s, status);
  return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle) {
  Enter("CloseServiceHandle");
  if (!scHandles.Close(handle)) {
    RecordMisuse(M(), "CloseServiceHandle of a handle not open");
    return Fail(ERROR_INVALID_HANDLE);
  }
  return TRUE;
}

namespace sim {
void InitServices(Machine& m) {
  m.services = ServiceModel{};
  SimService spooler;
  spooler.name = u"Spooler";
  spooler.state = SERVICE_RUNNING;
  m.services.services.push_back(spooler);
}

void OnEvent(Machine& m, const ServiceRunning& e) {
  SimService* s = FindService(m, e.name);
  if (!s || s->state != SERVICE_START_PENDING) return;
  s->state = SERVICE_RUNNING;
  ++s->starts;
}

void OnEvent(Machine& m, const ServiceStopped& e) {
  SimService* s = FindService(m, e.name);
  if (!s || s->state != SERVICE_STOP_PENDING) return;
  s->state = SERVICE_STOPPED;
  ++s->stops;
  // A stopped spooler has let go of every module it had loaded.
  if (EqualFold(s->name, u"spooler")) m.spooler.loadedModules.clear();
}

bool SpoolerRunning(const Machine& m) {
  for (const auto& s : m.services.services) {
    if (EqualFold(s.name, u"spooler")) return s.state == SERVICE_RUNNING;
  }
  return false;
}
HandleTable& ServiceHandles() {
  return scHandles;
}

}  // namespace sim
