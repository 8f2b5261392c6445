// The platform's start-up for the command-line build: it plays the part of the Windows
// loader and C runtime. The product reads nothing but its command line; the machine it runs
// on lives in a directory (ORVSIM_MACHINE, else .orvsim) and is loaded before the run and
// saved after it, so separate runs act on one machine as the setup program's runs would.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "sim/machine.h"
#include "sim/persist.h"
#include "sim/process_control.h"

namespace {
// Quotes one argument so that CommandLineToArgvW gives it back unchanged.
sim::U16 Quote(const sim::U16& arg) {
  if (!arg.empty() && arg.find_first_of(u" \t\"") == sim::U16::npos) return arg;
  sim::U16 out = u"\"";
  size_t backslashes = 0;
  for (char16_t c : arg) {
    if (c == u'\\') {
      ++backslashes;
    } else if (c == u'"') {
      out.append(backslashes * 2 + 1, u'\\');
      backslashes = 0;
    } else {
      out.append(backslashes, u'\\');
      backslashes = 0;
    }
    if (c != u'\\') out += c;
  }
  out.append(backslashes * 2, u'\\');
  return out + u"\"";
}

sim::MachineSession* runningSession = nullptr;
bool shiftBefore = false;
// Exit status of a run ended at a chosen call, as a shell reports a killed process.
constexpr int kEndedAtCall = 137;

// ORVSIM_CALLS=FILE: one line per call the program made, "API ARGS".
void WriteCalls(const sim::Machine& m) {
  const char* path = std::getenv("ORVSIM_CALLS");
  if (!path || !*path) return;
  std::ofstream out(path, std::ios::trunc);
  for (const auto& c : m.calls) out << c.api << (c.args.empty() ? "" : " ") << c.args << "\n";
}

// The process is gone at this call: what it did so far stays on the machine, nothing of its
// own clean-up runs.
void EndHere(sim::Machine& m) {
  std::fflush(stdout);
  m.user.shiftDown = shiftBefore;
  m.user.echoDialogs = false;
  WriteCalls(m);
  sim::EndRunningProgram(m);
  std::string error;
  if (!runningSession->Save(m, &error)) std::fprintf(stderr, "orvinst: %s\n", error.c_str());
  _exit(kEndedAtCall);
}
}  // namespace

int main(int argc, char** argv) {
  // A print server's machine is a hundred megabytes of small blocks, and faulting them in page
  // by page costs more than reading the file. glibc backs its heap with huge pages when told
  // at start-up, so the process starts again, once, with the tunable set; a tunable the caller
  // set is left as it is.
  if (!std::getenv("GLIBC_TUNABLES")) {
    setenv("GLIBC_TUNABLES", "glibc.malloc.hugetlb=1", 0);
    execv("/proc/self/exe", argv);
  }
  // Exit status of the platform itself (a damaged, busy or unsavable machine); the product
  // never reaches its entry then. No command word exits with it: 2 would read as a finished
  // uninstall.
  constexpr int kPlatformFailure = 90;
  // Never torn down: the process ends right after the save, and freeing a print server's
  // machine piece by piece would only cost time.
  static sim::Machine& machine = *new sim::Machine;
  sim::MachineSession session;
  bool created = false;
  std::string error;
  if (!session.Open(sim::DefaultMachineDir(), machine, sim::MachineAccess::kChangeOrCreate,
                    sim::DefaultLockWaitMs(), &created, &error)) {
    std::fprintf(stderr, "orvinst: %s\n", error.c_str());
    return kPlatformFailure;
  }
  sim::SetMachine(&machine);
  runningSession = &session;
  // ORVSIM_END_AT=K ends the run at its K-th call.
  if (const char* end = std::getenv("ORVSIM_END_AT")) {
    machine.endAtCall = std::strtoull(end, nullptr, 10);
    machine.onEndAt = EndHere;
  }
  // The calls are kept only for ORVSIM_CALLS: a print server's run makes hundreds of
  // thousands.
  const char* calls = std::getenv("ORVSIM_CALLS");
  machine.recordCalls = calls && *calls;
  machine.user.echoDialogs = true;
  // SHIFT can be held for one run from outside; the machine keeps its own setting.
  shiftBefore = machine.user.shiftDown;
  if (const char* shift = std::getenv("ORVSIM_SHIFT")) machine.user.shiftDown = shift[0] == '1';

  sim::U16 line = Quote(machine.kernel.modulePath);
  for (int i = 1; i < argc; ++i) line += u" " + Quote(sim::FromUtf8(argv[i]));
  machine.kernel.commandLine = line;

  auto* instance = reinterpret_cast<HINSTANCE>(uintptr_t(0x140000000));
  const int code = wWinMain(instance, nullptr, machine.kernel.commandLine.data(), SW_SHOWNORMAL);
  std::fflush(stdout);

  machine.user.shiftDown = shiftBefore;
  machine.user.echoDialogs = false;
  WriteCalls(machine);
  sim::EndRunningProgram(machine);
  if (!session.Save(machine, &error)) {
    std::fprintf(stderr, "orvinst: %s\n", error.c_str());
    return kPlatformFailure;
  }
  return code;
}
