// kernel32: other processes, named mutexes and waits.
#include "sim/machine.h"

namespace sim {
void InitProcesses(Machine& m) { m.processes = ProcessModel{}; }
void OnProcessEvent(Machine&, const TimedEvent&) {}
void OnProcessWindowMessage(Machine&, const SimWindow&, UINT, WPARAM, LPARAM) {}
void Restart(Machine&) {}
}  // namespace sim
