#include "spooler/service_control.h"

#include "context/install_context.h"
#include "context/names.h"
#include "context/run_log.h"

namespace {
constexpr DWORD kManagerAccess = STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT;
constexpr DWORD kCheckAccess = SERVICE_QUERY_STATUS | SERVICE_START;
constexpr DWORD kRestartAccess = SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP;

SC_HANDLE OpenManager() {
  return OpenSCManagerW(nullptr, nullptr, kManagerAccess);
}
}  // namespace

bool StartSpoolerAndWait(SC_HANDLE service) {
  // A service that already runs refuses the request and is simply waited for.
  StartServiceW(service, 0, nullptr);
  SERVICE_STATUS status = {};
  QueryServiceStatus(service, &status);
  for (int i = 0; i < kSpoolerPolls; ++i) {
    if (status.dwCurrentState == SERVICE_RUNNING) return true;
    Sleep(kSpoolerPollMs);
    QueryServiceStatus(service, &status);
    // A request made while the service was still stopping was refused: ask again.
    if (status.dwCurrentState == SERVICE_STOPPED) StartServiceW(service, 0, nullptr);
  }
  return status.dwCurrentState == SERVICE_RUNNING;
}

bool CheckSpooler(InstallContext& context) {
  LogSection section(context, W(">Check Spooler"));
  unique_schandle manager(OpenManager());
  if (!manager) {
    LogError(context, ErrOpenServiceManager, W("Can't open service manager."));
    return false;
  }
  unique_schandle service(OpenServiceW(manager.get(), kSpoolerServiceName, kCheckAccess));
  if (!service) {
    LogError(context, ErrOpenSpooler, W("Can't open the spooler"));
    return false;
  }
  SERVICE_STATUS status = {};
  // An unreadable status starts nothing: the spooler is taken to be running.
  if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_RUNNING &&
      !StartSpoolerAndWait(service.get())) {
    LogError(context, ErrStartSpooler, W("Can't start the spooler"));
    return false;
  }
  return true;
}

SpoolerRestart::SpoolerRestart(InstallContext* context) : Context(context) {
  if (Context) Log(*Context, W(">Restart Spooler"));
  Manager.reset(OpenManager());
  if (!Manager) {
    if (Context) LogError(*Context, ErrOpenServiceManager, W("Can't open service manager."));
    return;
  }
  Service.reset(OpenServiceW(Manager.get(), kSpoolerServiceName, kRestartAccess));
  if (!Service) {
    if (Context) LogError(*Context, ErrOpenSpooler, W("Can't open the spooler"));
    return;
  }
  SERVICE_STATUS status = {};
  if (!ControlService(Service.get(), SERVICE_CONTROL_STOP, &status)) {
    const DWORD error = GetLastError();
    // A spooler that was not running needs no stopping.
    if (error != ERROR_SERVICE_NOT_ACTIVE && Context) {
      LogError(*Context, ErrControlService, W("ControlService failed with code %d (0x%x)"), error,
               error);
    }
  }
  StopAttempted = 1;
  // Start from a cleared record: a failed read must not pass for a stopped spooler.
  status = SERVICE_STATUS{};
  QueryServiceStatus(Service.get(), &status);
  for (int i = 0; i < kSpoolerPolls; ++i) {
    if (status.dwCurrentState == SERVICE_STOPPED) return;
    Sleep(kSpoolerPollMs);
    QueryServiceStatus(Service.get(), &status);
  }
  if (status.dwCurrentState != SERVICE_STOPPED && Context) {
    LogError(*Context, ErrStopSpooler, W("Can't stop the spooler"));
  }
}

SpoolerRestart::~SpoolerRestart() {
  if (Service && StopAttempted && !StartSpoolerAndWait(Service.get()) && Context) {
    LogError(*Context, ErrStartSpooler, W("Can't start the spooler"));
  }
}
