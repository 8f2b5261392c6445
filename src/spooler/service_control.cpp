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

namespace {
// On its way somewhere, or not known (a read that failed): worth the longer wait.
bool Pending(const SERVICE_STATUS& status) {
  return status.dwCurrentState == SERVICE_START_PENDING ||
         status.dwCurrentState == SERVICE_STOP_PENDING || status.dwCurrentState == 0;
}

// Polls until the service is in `state`: kSpoolerPolls times, and on to kSpoolerSettlePolls
// while it is still on its way somewhere (a spooler finishing its jobs can take a while to
// stop). `poll` runs after each read, for a caller that asks again.
template <class Poll>
bool WaitForState(SC_HANDLE service, SERVICE_STATUS& status, DWORD state, Poll poll) {
  for (int i = 0; status.dwCurrentState != state; ++i) {
    if (i >= kSpoolerSettlePolls || (i >= kSpoolerPolls && !Pending(status))) return false;
    Sleep(kSpoolerPollMs);
    // Start from a cleared record: a failed read must not pass for the state waited for.
    status = SERVICE_STATUS{};
    QueryServiceStatus(service, &status);
    poll(status);
  }
  return true;
}
}  // namespace

bool StartSpoolerAndWait(SC_HANDLE service) {
  SERVICE_STATUS status = {};
  QueryServiceStatus(service, &status);
  // A start asked for while a stop is still under way is refused: the stop is waited out.
  if (status.dwCurrentState == SERVICE_STOP_PENDING) {
    WaitForState(service, status, SERVICE_STOPPED, [](const SERVICE_STATUS&) {});
  }
  auto start = [&] { return StartServiceW(service, 0, nullptr) ? ERROR_SUCCESS : GetLastError(); };
  // A service that already runs refuses the request and is simply waited for.
  DWORD refused = start();
  QueryServiceStatus(service, &status);
  const bool running = WaitForState(service, status, SERVICE_RUNNING, [&](const SERVICE_STATUS& s) {
    // A request made while the service was still stopping was refused: ask again, also
    // when its state cannot be read.
    if (s.dwCurrentState == SERVICE_STOPPED || s.dwCurrentState == 0) refused = start();
  });
  // Why not: the service's refusal, or else that time ran out.
  if (!running) {
    SetLastError(refused != ERROR_SUCCESS && refused != ERROR_SERVICE_ALREADY_RUNNING
                     ? refused
                     : ERROR_SERVICE_REQUEST_TIMEOUT);
  }
  return running;
}

bool CheckSpooler(InstallContext& context) {
  LogSection section(context, W(">Check Spooler"));
  unique_schandle manager(OpenManager());
  if (!manager) {
    LogError(context, ErrOpenServiceManager);
    return false;
  }
  unique_schandle service(OpenServiceW(manager.get(), kSpoolerServiceName, kCheckAccess));
  if (!service) {
    LogError(context, ErrOpenSpooler);
    return false;
  }
  SERVICE_STATUS status = {};
  // An unreadable status starts nothing: the spooler is taken to be running.
  if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_RUNNING &&
      !StartSpoolerAndWait(service.get())) {
    LogError(context, ErrStartSpooler);
    return false;
  }
  return true;
}

SpoolerRestart::SpoolerRestart(InstallContext* context) : Context(context) {
  if (Context) Log(*Context, W(">Restart Spooler"));
  Manager.reset(OpenManager());
  if (!Manager) {
    if (Context) LogError(*Context, ErrOpenServiceManager);
    return;
  }
  Service.reset(OpenServiceW(Manager.get(), kSpoolerServiceName, kRestartAccess));
  if (!Service) {
    if (Context) LogError(*Context, ErrOpenSpooler);
    return;
  }
  SERVICE_STATUS status = {};
  DWORD refused = ERROR_SUCCESS;
  if (!ControlService(Service.get(), SERVICE_CONTROL_STOP, &status)) {
    refused = GetLastError();
    // A spooler that was not running needs no stopping.
    if (refused == ERROR_SERVICE_NOT_ACTIVE) {
      refused = ERROR_SUCCESS;
    } else if (Context) {
      LogError(*Context, ErrControlService, refused, refused);
    }
  }
  StopAttempted = 1;
  status = SERVICE_STATUS{};
  QueryServiceStatus(Service.get(), &status);
  if (!WaitForState(Service.get(), status, SERVICE_STOPPED, [](const SERVICE_STATUS&) {}) &&
      Context) {
    SetLastError(refused != ERROR_SUCCESS ? refused : ERROR_SERVICE_REQUEST_TIMEOUT);
    LogError(*Context, ErrStopSpooler);
  }
}

SpoolerRestart::~SpoolerRestart() {
  if (Service && StopAttempted && !StartSpoolerAndWait(Service.get()) && Context) {
    LogError(*Context, ErrStartSpooler);
  }
}

void RestartSpooler(InstallContext& context) {
  SpoolerRestart restart(&context);
}
