// The simulated Windows machine: every piece of state the product can touch, a virtual clock
// that drives delayed events, injectable faults and a record of the calls made.
#pragma once
#include <algorithm>  // the models' users count on it, as they did through the JSON header
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "sim/win32_api.h"
#include "sim/text.h"
#include "sim/handles.h"
#include "sim/kernel_model.h"
#include "sim/user_model.h"
#include "sim/service_model.h"
#include "sim/registry_model.h"
#include "sim/fs_model.h"
#include "sim/process_model.h"
#include "sim/spooler_model.h"

namespace sim {

// What happens when virtual time passes a timed event: one record per kind, each handled by
// the model that scheduled it. kKind names the kind in machine.json.
struct ServiceRunning {  // a starting service reaches RUNNING
  static constexpr const char* kKind = "service.running";
  U16 name;
};
struct ServiceStopped {  // a stopping service reaches STOPPED
  static constexpr const char* kKind = "service.stopped";
  U16 name;
};
struct ProcessExit {  // a process ends; `release` false abandons the mutexes it owns
  static constexpr const char* kKind = "process.exit";
  uint32_t pid = 0;
  DWORD exitCode = 0;
  bool release = true;
};
struct ProcessUnlock {  // the process that holds a file open lets go of it
  static constexpr const char* kKind = "process.unlock";
  U16 path;
};
struct WindowClose {  // a window that was asked to close goes
  static constexpr const char* kKind = "window.close";
  uint64_t handle = 0;
};
// Another process adds a printer, as on a busy print server; a taken name or a stopped
// spooler adds none.
struct PrinterAdd {
  static constexpr const char* kKind = "spooler.printer-add";
  U16 name, driver, port, comment, location;
};
using EventAction = std::variant<ServiceRunning, ServiceStopped, ProcessExit, ProcessUnlock,
                                 WindowClose, PrinterAdd>;

struct TimedEvent {
  uint64_t at = 0;
  EventAction action;
};

// Makes one API fail with a chosen error, or (error 0) only slow. The call first takes
// delayMs of virtual time. remaining < 0 means always. The first `skip` calls of the API go
// through untouched, so that the k-th call alone can be made to fail (skip = k - 1).
struct Fault {
  std::string api;
  DWORD error = 0;
  int remaining = 1;
  uint32_t delayMs = 0;
  uint32_t skip = 0;
};

struct CallRecord {
  uint64_t at = 0;
  std::string api;
  std::string args;
};

struct Machine {
  uint64_t now = 0;          // virtual milliseconds since the machine booted
  uint64_t sleptMs = 0;      // total time the running program spent in Sleep and waits
  uint32_t tickBase = 1000;  // GetTickCount() = tickBase + now
  std::vector<TimedEvent> events;
  std::vector<Fault> faults;
  std::vector<CallRecord> calls;
  bool recordCalls = true;
  // Calls the running program has made; never saved. When it reaches endAtCall (non-zero),
  // onEndAt runs before that call does anything: the process ends there, as when it is
  // killed or the power fails, and onEndAt must not return.
  uint64_t callsMade = 0;
  uint64_t endAtCall = 0;
  void (*onEndAt)(Machine& m) = nullptr;

  KernelModel kernel;
  UserModel user;
  ServiceModel services;
  RegistryModel registry;
  FileSystemModel fs;
  ProcessModel processes;
  SpoolerModel spooler;

  // In-process objects of the running program; never saved.
  HandleTable kernelHandles;
  // The API call in progress, for naming where a handle or block came from; with
  // traceOrigins the calling functions are named too (tests turn it on).
  std::string lastApi;
  std::string lastArgs;
  bool traceOrigins = false;
  // Handles closed twice or never opened, blocks freed twice or never allocated.
  std::vector<std::string> misuses;
};

// The machine the API calls act on. Tests and tools install one with MachineScope; a call
// made without one stops the program with a message saying so.
Machine& M();
bool HasMachine();
void SetMachine(Machine* machine);

class MachineScope {
 public:
  explicit MachineScope(Machine& machine);
  ~MachineScope();
  MachineScope(const MachineScope&) = delete;
  MachineScope& operator=(const MachineScope&) = delete;

 private:
  Machine* previous_;
};

// What a failing call does: sets the last error and answers `result` (FALSE unless given).
template <class T = BOOL>
T Fail(DWORD error, T result = T()) {
  SetLastError(error);
  return result;
}

// Builds the default machine: spooler running, installer with its package files in place,
// nothing of the package installed.
void InitDefaultMachine(Machine& m);

// Virtual time. Advance fires every due event in order of its time.
void Advance(Machine& m, uint64_t ms);
void Schedule(Machine& m, uint64_t delayMs, EventAction action);

// Every API entry point calls this first: records the call and, when a fault is armed for
// the API, consumes it and returns its error (0 when the call should proceed).
DWORD Enter(const char* api, std::string args = {});

// What the running program did wrong with its handles and heap blocks: each misuse so far
// (which it forgets) and each handle or block still open, naming where it came from.
std::vector<std::string> TakeHeapAndHandleFaults(Machine& m);
void RecordMisuse(Machine& m, const std::string& what);
// The handle tables the programs of every machine share, each entry marked with its machine.
HandleTable& PrinterHandles();
HandleTable& ServiceHandles();

// Faults.
void AddFault(Machine& m, std::string api, DWORD error, int times = 1, uint32_t delayMs = 0,
              uint32_t skip = 0);
void ClearFaults(Machine& m);

// Runtime-heap allocation failures are not modelled; the global heap's are.
}  // namespace sim

namespace sim {
// Each model sets up its part of the default machine and handles its own timed events,
// in its own source file.
void InitKernel(Machine& m);
void InitUser(Machine& m);
void InitServices(Machine& m);
void InitRegistry(Machine& m);
void InitFiles(Machine& m);
void InitProcesses(Machine& m);
void InitSpooler(Machine& m);
void OnEvent(Machine& m, const ServiceRunning& e);
void OnEvent(Machine& m, const ServiceStopped& e);
void OnEvent(Machine& m, const ProcessExit& e);
void OnEvent(Machine& m, const ProcessUnlock& e);
void OnEvent(Machine& m, const WindowClose& e);
void OnEvent(Machine& m, const PrinterAdd& e);
}  // namespace sim

namespace sim {
// Whether the "spooler" service is running; a stopped spooler refuses spooler calls.
bool SpoolerRunning(const Machine& m);
// A message posted to a window that belongs to a simulated process (the tray program).
void OnProcessWindowMessage(Machine& m, const SimWindow& w, UINT message, WPARAM wp, LPARAM lp);
// A simulated restart of the machine: pending renames, processes, services, Run key.
void Restart(Machine& m);
// PendingFileRenameOperations as (source, target) pairs, as written ("\\??\\C:\\x"; a target
// "!\\??\\..." may replace, an empty one deletes). An entry without its target is left out.
std::vector<std::pair<U16, U16>> PendingFileOperations(Machine& m);
}  // namespace sim
