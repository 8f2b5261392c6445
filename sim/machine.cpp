#include "sim/machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace sim {
namespace {
Machine* current = nullptr;

// An API call with no machine installed is a mistake of the test or tool that made it: it is
// stopped here (naming the call when it is known) rather than handed a machine nobody set up.
[[noreturn]] void NoMachine(const char* api) {
  std::fprintf(stderr,
               "sim: %s was called with no machine installed (a test or tool installs one with "
               "MachineScope)\n",
               api);
  std::abort();
}
}  // namespace

Machine& M() {
  if (!current) NoMachine("an API");
  return *current;
}

bool HasMachine() {
  return current != nullptr;
}
void SetMachine(Machine* machine) {
  current = machine;
}

MachineScope::MachineScope(Machine& machine) : previous_(current) {
  current = &machine;
}
MachineScope::~MachineScope() {
  current = previous_;
}

void InitDefaultMachine(Machine& m) {
  // A machine that is set up again starts over: no time passed, nothing pending.
  m.now = 0;
  m.sleptMs = 0;
  m.events.clear();
  m.faults.clear();
  m.calls.clear();
  m.callsMade = 0;
  m.kernelHandles.Clear();
  InitKernel(m);
  InitUser(m);
  InitRegistry(m);
  InitFiles(m);
  InitServices(m);
  InitProcesses(m);
  InitSpooler(m);
}

void Schedule(Machine& m, uint64_t delayMs, EventAction action) {
  m.events.push_back({m.now + delayMs, std::move(action)});
}

void Advance(Machine& m, uint64_t ms) {
  const uint64_t target = m.now + ms;
  for (;;) {
    // Earliest due event first; among equal times, the one scheduled first.
    auto it =
        std::min_element(m.events.begin(), m.events.end(),
                         [](const TimedEvent& a, const TimedEvent& b) { return a.at < b.at; });
    if (it == m.events.end() || it->at > target) break;
    TimedEvent e = *it;
    m.events.erase(it);
    if (e.at > m.now) m.now = e.at;
    std::visit([&](const auto& action) { OnEvent(m, action); }, e.action);
  }
  m.now = target;
}

DWORD Enter(const char* api, std::string args) {
  if (!current) NoMachine(api);
  Machine& m = *current;
  if (++m.callsMade == m.endAtCall && m.onEndAt) m.onEndAt(m);
  m.lastApi = api;
  m.lastArgs = args;
  if (m.recordCalls) m.calls.push_back({m.now, api, std::move(args)});
  for (auto it = m.faults.begin(); it != m.faults.end(); ++it) {
    if (it->api != api) continue;
    if (it->skip > 0) {
      --it->skip;
      continue;
    }
    const DWORD error = it->error;
    const uint32_t delayMs = it->delayMs;
    if (it->remaining > 0 && --it->remaining == 0) m.faults.erase(it);
    if (delayMs) Advance(m, delayMs);
    return error;
  }
  return 0;
}

void AddFault(Machine& m, std::string api, DWORD error, int times, uint32_t delayMs,
              uint32_t skip) {
  m.faults.push_back({std::move(api), error, times, delayMs, skip});
}

void ClearFaults(Machine& m) {
  m.faults.clear();
}

}  // namespace sim
