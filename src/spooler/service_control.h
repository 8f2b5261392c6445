// The print spooler service: making sure it runs, and stopping it around a block of work so
// that module files it holds can be replaced or deleted. Every wait polls the service status
// with fixed sleeps and is bounded.
#pragma once
#include "platform/unique.h"

struct InstallContext;

// Status reads between the request and giving up, 200 ms apart: 10 s a direction, and up to
// 60 s while the service is still starting or stopping.
constexpr int kSpoolerPolls = 50;
constexpr int kSpoolerSettlePolls = 300;
constexpr DWORD kSpoolerPollMs = 200;

// Logs ">Check Spooler" and starts the service when it is not running. False when an
// error was logged.
bool CheckSpooler(InstallContext& context);

// Starts the service (handle with start and query rights), after a stop still under way,
// and waits until it runs; true when the last status read showed it running, else false
// with the service's refusal or ERROR_SERVICE_REQUEST_TIMEOUT as the last error.
bool StartSpoolerAndWait(SC_HANDLE service);

// Stops the spooler and starts it again, so that it lets go of the modules it holds.
void RestartSpooler(InstallContext& context);
// Stops the spooler when built and starts it again when destroyed. With no context nothing
// is logged.
struct SpoolerRestart {
  InstallContext* Context = nullptr;
  unique_schandle Manager;
  unique_schandle Service;
  BYTE StopAttempted = 0;

  explicit SpoolerRestart(InstallContext* context);
  ~SpoolerRestart();
  SpoolerRestart(const SpoolerRestart&) = delete;
  SpoolerRestart& operator=(const SpoolerRestart&) = delete;
};
