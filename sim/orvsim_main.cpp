// orvsim: makes, shows and changes a simulated machine kept in a directory, between runs of
// the installer. Every change is checked in full before anything is touched, and the machine
// is saved only when the whole command succeeded, so a mistake changes nothing.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sim/orvsim.h"
#include "sim/persist.h"
#include "sim/process_control.h"

namespace orvsim {
namespace {

namespace fs = std::filesystem;

const char* Account(const sim::Machine& m) {
  return m.kernel.localSystem ? "the local system account" : "a user";
}

constexpr int kOk = 0;
constexpr int kRejected = 1;       // a mistake on the command line: nothing changed
constexpr int kMachineFailed = 2;  // the machine could not be read, locked or saved

const char kUsage[] = R"(Usage: orvsim [--machine DIR] COMMAND [ARGUMENTS]

Makes, shows and changes the simulated Windows machine that orvinst runs on. The machine lives
in DIR: --machine, else the environment variable ORVSIM_MACHINE, else .orvsim in the working
directory. orvinst makes it on its first run; orvsim needs it to exist, except for "new".

Machine
  new [--force]                  make a fresh default machine (--force: replace the one there)
  show [WHAT...] [--json]        WHAT: printers monitors drivers services files registry
                                 pending windows processes faults clock, or all (the default)
  advance MS                     let MS milliseconds of virtual time pass (timed events fire)
  restart                        restart the machine (pending file operations, Run entries)

Spooler
  spooler stop | start           stop or start the spooler service at once
  spooler disable | enable       refuse or allow starting it (does not stop a running one)
  spooler slow START_MS [STOP_MS]  time it takes to reach RUNNING (and STOPPED)
  spooler refuse-stop ERROR      make stop requests fail with ERROR (0: accept them again)

Printers
  printer add NAME --driver DRIVER --port PORT [--comment TEXT] [--location TEXT]
           [--after MS]          --after: another process adds it after MS of virtual time
  printer add-many COUNT PATTERN --driver DRIVER --port PORT [--comment TEXT]
           [--location TEXT] [--subkey PATTERN] [--default K]
                                 COUNT queues named by PATTERN with %d replaced by 1..COUNT;
                                 --subkey: their "SubKey" printer data (plain and under
                                 DsUser), %d replaced alike; --default: the K-th is the default
  printer remove NAME
  printer set NAME [--driver DRIVER] [--port PORT] [--comment TEXT] [--location TEXT]
    add, add-many and set also take what a user sets beyond those:
           [--share NAME] [--separator FILE] [--priority N] [--hours START-UNTIL]
           [--defaults ORIENTATION,PAPER] [--restricted]
                                 --share: shared under NAME (%d numbered by add-many);
                                 --hours: minutes after midnight; --defaults: printing
                                 defaults (1 portrait, 2 landscape; 1 letter, 9 A4) over the
                                 driver's own; --restricted: permissions that keep everyone
                                 but the administrators from printing
  printer data NAME [--key KEY] VALUE TYPE DATA...     set printer data (plain values
                                                       without --key)
  printer data-delete NAME [--key KEY] VALUE
  default NAME | default --none  set or clear the default printer

Registry (KEY starts with HKLM\, HKCU\ or HKU\; VALUE "" is the key's default value)
  reg set KEY VALUE TYPE DATA...
  reg delete KEY VALUE
    TYPE: sz, expand_sz, multi_sz, dword, qword, binary, none or a number. DATA: a text for
    sz (written with its terminator); one text per string for multi_sz; a number (decimal or
    0x...) for dword and qword; hex bytes for the others. "--hex HEX" after TYPE gives the
    exact bytes for any type (a string without its terminator, say). Printer data strings are
    written as the ANSI calls write them (Windows-1252).

Files (PATH is a Windows path on a drive of the machine, such as C:\Windows\x.dll)
  file put PATH (--from HOSTFILE | --text TEXT) [--version A.B.C.D] [--file-version A.B.C.D]
           [--attributes LIST]   LIST: readonly,hidden,system,archive,normal or a number
  file delete PATH
  file lock PATH [--access read|write|readwrite] [--share none|read|write|delete,...]
           [--module]            hold it open as another process would
  file unlock PATH [--after MS]  let go of it, now or after MS of virtual time

Processes and the keyboard
  shift down | up                hold or release SHIFT
  winsta hidden | visible        run the installer on a hidden window station (as a service
                                 or a deployment agent does: no one sees its windows) or on
                                 the user's visible one
  helpviewer open [--ignores-close]   open a help viewer window
  tray start [--mode MODE] [--exit-delay MS]   start the tray program
  tray mode MODE [--exit-delay MS]    how a tray program started later behaves
    MODE: normal, ignore (ignores its exit message), exit-holding (exits holding its mutex)
  process end PID                end a process
  mutex hold NAME [--release-after MS | --abandon-after MS]
                                 another run of the installer owns the named mutex; it lets
                                 go after MS, or is killed then (abandoning it), or holds it
                                 until ended
  account system | user          run the installer as the local system account or as a user
  machine x64 | arm64 | x86      the machine's own processor architecture

Faults
  fault add API ERROR [--nth K] [--times N | --always] [--delay MS]
                                 make API fail with ERROR (once by default); --nth K lets
                                 the first K-1 calls of API through; with --delay each such
                                 call first takes MS of virtual time (ERROR 0: only slow)
  fault clear                    remove every armed fault

Exit status: 0 done; 1 a mistake on the command line (nothing was changed); 2 the machine is
damaged, of another format version, in use by another run past the wait (ORVSIM_WAIT
seconds, 30 by default), or could not be saved.
)";

// ---- Commands ---------------------------------------------------------------------------------

struct Command {
  std::string name;
  sim::MachineAccess access;
  std::set<std::string> valued;
  std::set<std::string> flags;
  std::function<void(Context&)> run;
};

std::vector<Command> Commands() {
  using sim::MachineAccess;
  const auto change = MachineAccess::kChange;
  return {
      {"spooler", change, {}, {}, SpoolerCommand},
      {"printer",
       change,
       {"--driver", "--port", "--comment", "--location", "--key", "--hex", "--subkey", "--default",
        "--after", "--share", "--separator", "--priority", "--hours", "--defaults"},
       {"--restricted"},
       PrinterCommand},
      {"default", change, {}, {"--none"}, DefaultCommand},
      {"reg", change, {"--hex"}, {}, RegCommand},
      {"file",
       change,
       {"--from", "--text", "--version", "--file-version", "--attributes", "--access", "--share",
        "--after"},
       {"--module"},
       FileCommand},
      {"shift",
       change,
       {},
       {},
       [](Context& c) {
         WantWords(c.a, 1, 1, "shift down|up");
         if (c.a.words[0] != "down" && c.a.words[0] != "up") Reject("usage: orvsim shift down|up");
         c.m.user.shiftDown = c.a.words[0] == "down";
         c.out << "SHIFT is " << c.a.words[0] << "\n";
       }},
      {"winsta",
       change,
       {},
       {},
       [](Context& c) {
         WantWords(c.a, 1, 1, "winsta hidden|visible");
         if (c.a.words[0] != "hidden" && c.a.words[0] != "visible") {
           Reject("usage: orvsim winsta hidden|visible");
         }
         c.m.user.windowStationVisible = c.a.words[0] == "visible";
         c.out << "the window station is " << c.a.words[0] << "\n";
       }},
      {"account",
       change,
       {},
       {},
       [](Context& c) {
         WantWords(c.a, 1, 1, "account system|user");
         if (c.a.words[0] != "system" && c.a.words[0] != "user") {
           Reject("usage: orvsim account system|user");
         }
         c.m.kernel.localSystem = c.a.words[0] == "system";
         c.out << "the installer runs as " << Account(c.m) << "\n";
       }},
      {"machine",
       change,
       {},
       {},
       [](Context& c) {
         WantWords(c.a, 1, 1, "machine x64|arm64|x86");
         const std::string& type = c.a.words[0];
         if (type == "x64") {
           c.m.kernel.nativeMachine = IMAGE_FILE_MACHINE_AMD64;
         } else if (type == "arm64") {
           c.m.kernel.nativeMachine = IMAGE_FILE_MACHINE_ARM64;
         } else if (type == "x86") {
           c.m.kernel.nativeMachine = IMAGE_FILE_MACHINE_I386;
         } else {
           Reject("usage: orvsim machine x64|arm64|x86");
         }
         c.out << "the machine is " << type << "\n";
       }},
      {"mutex",
       change,
       {"--release-after", "--abandon-after"},
       {},
       [](Context& c) {
         WantWords(c.a, 2, 2, "mutex hold NAME [--release-after MS | --abandon-after MS]");
         if (c.a.words[0] != "hold") {
           Reject("usage: orvsim mutex hold NAME [--release-after MS | --abandon-after MS]");
         }
         if (c.a.Has("--release-after") && c.a.Has("--abandon-after")) {
           Reject("--release-after and --abandon-after exclude each other");
         }
         const bool abandon = c.a.Has("--abandon-after");
         std::optional<uint64_t> after;
         if (abandon || c.a.Has("--release-after")) {
           const std::string option = abandon ? "--abandon-after" : "--release-after";
           after = ParseNumber(c.a.Value(option), UINT32_MAX, option);
         }
         const uint32_t pid = sim::HoldMutex(c.m, c.a.words[1], after, abandon);
         if (!pid) Reject("the mutex " + c.a.words[1] + " is owned already");
         c.out << "mutex " << c.a.words[1] << " held by process " << pid << "\n";
       }},
      {"helpviewer",
       change,
       {},
       {"--ignores-close"},
       [](Context& c) {
         WantWords(c.a, 1, 1, "helpviewer open [--ignores-close]");
         if (c.a.words[0] != "open") Reject("usage: orvsim helpviewer open [--ignores-close]");
         const uint64_t h = sim::OpenHelpViewer(c.m, !c.a.Has("--ignores-close"));
         c.out << "help viewer window 0x" << std::hex << h << std::dec << " open\n";
       }},
      {"tray", change, {"--mode", "--exit-delay"}, {}, TrayCommand},
      {"process",
       change,
       {},
       {},
       [](Context& c) {
         WantWords(c.a, 2, 2, "process end PID");
         if (c.a.words[0] != "end") Reject("usage: orvsim process end PID");
         const uint32_t pid = ParseDword(c.a.words[1], "PID");
         if (!sim::EndProcess(c.m, pid)) Reject("no process " + c.a.words[1] + " is running");
         c.out << "process " << pid << " ended\n";
       }},
      {"fault", change, {"--times", "--delay", "--nth"}, {"--always"}, FaultCommand},
      {"advance",
       change,
       {},
       {},
       [](Context& c) {
         WantWords(c.a, 1, 1, "advance MS");
         const uint64_t ms = ParseNumber(c.a.words[0], 1ULL << 40, "MS");
         sim::Advance(c.m, ms);
         c.out << "clock at " << c.m.now << " ms\n";
       }},
      {"restart",
       change,
       {},
       {},
       [](Context& c) {
         WantWords(c.a, 0, 0, "restart");
         sim::Restart(c.m);
         c.out << "machine restarted\n";
       }},
      {"show", MachineAccess::kRead, {}, {"--json"}, ShowCommand},
  };
}

int Run(const fs::path& dir, const std::vector<std::string>& argv) {
  const std::string name = argv[0];
  std::string error;
  if (name == "new") {
    const Args a = ParseArgs({argv.begin() + 1, argv.end()}, {}, {"--force"});
    WantWords(a, 0, 0, "new [--force]");
    sim::MachineLock lock;
    if (!lock.Acquire(dir, true, sim::DefaultLockWaitMs(), &error)) {
      std::fprintf(stderr, "orvsim: %s\n", error.c_str());
      return kMachineFailed;
    }
    if (sim::MachineExists(dir) && !a.Has("--force")) {
      Reject("there is a machine in " + dir.string() + " already (--force replaces it)");
    }
    if (!sim::MachineExists(dir) && !sim::MachineDirectoryFree(dir) && !a.Has("--force")) {
      Reject(dir.string() + " holds no machine and is not empty (--force makes one there)");
    }
    sim::Machine m;
    sim::InitDefaultMachine(m);
    if (!sim::SaveMachine(m, dir, &error)) {
      std::fprintf(stderr, "orvsim: %s\n", error.c_str());
      return kMachineFailed;
    }
    std::printf("new machine in %s\n", dir.string().c_str());
    return kOk;
  }
  const std::vector<Command> commands = Commands();
  auto it = std::find_if(commands.begin(), commands.end(),
                         [&](const Command& c) { return c.name == name; });
  if (it == commands.end()) Reject("unknown command \"" + name + "\" (orvsim --help lists them)");
  // Every word is checked before the machine is touched.
  const Args a = ParseArgs({argv.begin() + 1, argv.end()}, it->valued, it->flags);

  static sim::Machine m;
  sim::MachineSession session;
  bool created = false;
  if (!session.Open(dir, m, it->access, sim::DefaultLockWaitMs(), &created, &error)) {
    std::fprintf(stderr, "orvsim: %s\n", error.c_str());
    return kMachineFailed;
  }
  sim::MachineScope scope(m);
  m.recordCalls = false;
  std::ostringstream out;
  Context c{m, a, out};
  it->run(c);  // a Rejection leaves here before anything is saved
  if (it->access != sim::MachineAccess::kRead && !session.Save(m, &error)) {
    std::fprintf(stderr, "orvsim: %s\n", error.c_str());
    return kMachineFailed;
  }
  std::fputs(out.str().c_str(), stdout);
  return kOk;
}

}  // namespace
}  // namespace orvsim

int main(int argc, char** argv) {
  using namespace orvsim;
  std::vector<std::string> args(argv + 1, argv + argc);
  fs::path dir = sim::DefaultMachineDir();
  while (!args.empty() && args[0].rfind("--", 0) == 0) {
    if (args[0] == "--help" || args[0] == "-h") {
      std::fputs(kUsage, stdout);
      return kOk;
    }
    if (args[0] == "--machine" && args.size() >= 2) {
      dir = args[1];
      args.erase(args.begin(), args.begin() + 2);
      continue;
    }
    std::fprintf(stderr, "orvsim: unknown option %s (orvsim --help)\n", args[0].c_str());
    return kRejected;
  }
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return kRejected;
  }
  if (args.size() >= 2 && (args[1] == "--help" || args[1] == "-h")) {
    std::fputs(kUsage, stdout);
    return kOk;
  }
  try {
    return Run(dir, args);
  } catch (const Rejection& r) {
    std::fprintf(stderr, "orvsim: %s; nothing was changed\n", r.message.c_str());
    return kRejected;
  }
}
