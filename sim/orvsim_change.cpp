// orvsim's changes to the machine: each command's words and options, and what it does.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>

#include "sim/orvsim.h"
#include "sim/process_control.h"

namespace orvsim {
namespace {

namespace fs = std::filesystem;

// ---- spooler ----------------------------------------------------------------------------------

void SpoolerStopStart(Context& c, bool stop) {
  sim::SimService& s = Spooler(c.m);
  if (!stop && s.disabled) Reject("the spooler is disabled (orvsim spooler enable)");
  const DWORD target = stop ? SERVICE_STOPPED : SERVICE_RUNNING;
  // Whatever the service was about to become, it is that now.
  std::erase_if(c.m.events, [&](const sim::TimedEvent& e) {
    auto of = [&](const auto* a) { return a && sim::EqualFold(a->name, s.name); };
    return of(std::get_if<sim::ServiceRunning>(&e.action)) ||
           of(std::get_if<sim::ServiceStopped>(&e.action));
  });
  if (s.state != target) ++(stop ? s.stops : s.starts);
  s.state = target;
  if (stop) c.m.spooler.loadedModules.clear();
  c.out << "spooler " << (stop ? "stopped" : "running") << "\n";
}

void SpoolerDisable(Context& c, bool disable) {
  Spooler(c.m).disabled = disable;
  c.out << "spooler " << (disable ? "disabled" : "enabled") << "\n";
}

void SpoolerSlow(Context& c) {
  sim::SimService& s = Spooler(c.m);
  const uint32_t start = ParseDword(c.a.number, "START_MS");
  const uint32_t stop = c.a.second ? ParseDword(*c.a.second, "STOP_MS") : s.stopDelayMs;
  s.startDelayMs = start;
  s.stopDelayMs = stop;
  c.out << "spooler starts in " << start << " ms, stops in " << stop << " ms\n";
}

void SpoolerRefuseStop(Context& c) {
  sim::SimService& s = Spooler(c.m);
  s.stopRefusal = ParseDword(c.a.error, "ERROR");
  c.out << (s.stopRefusal ? "spooler refuses to stop" : "spooler accepts stop requests") << "\n";
}

// ---- printer ----------------------------------------------------------------------------------

// The pattern with its one "%d" replaced by n.
std::string Numbered(const std::string& pattern, uint64_t n) {
  const size_t at = pattern.find("%d");
  if (at == std::string::npos) return pattern;
  return pattern.substr(0, at) + std::to_string(n) + pattern.substr(at + 2);
}

// The settings a user makes beyond name, port and driver; `n` numbers a share name pattern.
void SetUserSettings(Context& c, sim::SimPrinter& p, uint64_t n) {
  if (c.a.share) {
    p.shareName = sim::FromUtf8(Numbered(*c.a.share, n));
    p.attributes |= PRINTER_ATTRIBUTE_SHARED;
  }
  if (c.a.separator) p.sepFile = sim::FromUtf8(*c.a.separator);
  if (c.a.priority) p.priority = DWORD(ParseNumber(*c.a.priority, 99, "--priority"));
  if (c.a.hours) {
    const size_t dash = c.a.hours->find('-');
    if (dash == std::string::npos) Reject("--hours takes START-UNTIL in minutes after midnight");
    p.startTime = DWORD(ParseNumber(c.a.hours->substr(0, dash), 1439, "--hours"));
    p.untilTime = DWORD(ParseNumber(c.a.hours->substr(dash + 1), 1439, "--hours"));
  }
  if (c.a.defaults) {
    // ORIENTATION,PAPER over the driver's own defaults (1 portrait, 2 landscape; 1 letter, 9 A4).
    const size_t comma = c.a.defaults->find(',');
    if (comma == std::string::npos) Reject("--defaults takes ORIENTATION,PAPER");
    p.devMode = sim::DriverDevMode(c.m, p);
    auto* dm = reinterpret_cast<DEVMODEW*>(p.devMode.data());
    dm->dmOrientation = short(ParseNumber(c.a.defaults->substr(0, comma), 2, "--defaults"));
    dm->dmPaperSize = short(ParseNumber(c.a.defaults->substr(comma + 1), 256, "--defaults"));
  }
  if (c.a.restricted) p.security = sim::RestrictedPrinterSecurity();
}

void SetPrinterFields(Context& c, sim::SimPrinter& p) {
  if (c.a.driver) p.driverName = KnownDriver(c.m, *c.a.driver);
  if (c.a.port) p.portName = KnownPorts(c.m, *c.a.port);
  if (c.a.comment) p.comment = sim::FromUtf8(*c.a.comment);
  if (c.a.location) p.location = sim::FromUtf8(*c.a.location);
}

sim::PrinterDataKey& DataKey(sim::SimPrinter& p, const Given& a, bool create) {
  const U16 key = a.key ? sim::FromUtf8(*a.key) : sim::kPlainDataKey;
  sim::PrinterDataKey* k = sim::FindDataKey(p, key, create);
  if (!k) Reject("the printer has no data key \"" + sim::ToUtf8(key) + "\"");
  return *k;
}

// Many queues at once, as a print server has them: checked in full before any is added.
void AddManyPrinters(Context& c) {
  const uint64_t count = ParseNumber(c.a.number, 100000, "COUNT");
  if (count == 0) Reject("COUNT must be at least 1");
  const std::string& pattern = c.a.pattern;
  const size_t at = pattern.find("%d");
  if (at == std::string::npos || pattern.find("%d", at + 1) != std::string::npos) {
    Reject("PATTERN must hold %d once, where each queue's number goes");
  }
  if (!c.a.driver || !c.a.port) Reject("printer add-many needs --driver and --port");
  const uint64_t defaultIndex =
      c.a.defaultIndex ? ParseNumber(*c.a.defaultIndex, count, "--default") : 0;
  if (c.a.defaultIndex && defaultIndex == 0) Reject("--default must be 1 to COUNT");
  sim::SimPrinter model;
  SetPrinterFields(c, model);
  std::vector<sim::SimPrinter> queues;
  queues.reserve(count);
  for (uint64_t i = 1; i <= count; ++i) {
    sim::SimPrinter p = model;
    p.name = PrinterName(Numbered(pattern, i));
    if (sim::PrinterExists(c.m, p.name)) {
      Reject("a printer \"" + Numbered(pattern, i) + "\" exists already");
    }
    if (c.a.subkey) {
      // As the ANSI printer-data calls write a string: Windows-1252, terminated.
      const std::string text = sim::ToAnsi(sim::FromUtf8(Numbered(*c.a.subkey, i)));
      std::vector<uint8_t> bytes(text.begin(), text.end());
      bytes.push_back(0);
      for (const char16_t* key : {sim::kPlainDataKey, u"DsUser"}) {
        p.data.push_back({key, {{u"SubKey", REG_SZ, bytes}}});
      }
    }
    SetUserSettings(c, p, i);
    queues.push_back(std::move(p));
  }
  for (auto& p : queues) sim::AddSimPrinter(c.m, std::move(p));
  if (defaultIndex) c.m.spooler.defaultPrinter = sim::FromUtf8(Numbered(pattern, defaultIndex));
  c.out << count << " printers added, \"" << Numbered(pattern, 1) << "\" to \""
        << Numbered(pattern, count) << "\"\n";
}

void AddPrinter(Context& c) {
  const U16 name = PrinterName(c.a.name);
  if (sim::FindPrinter(c.m, name)) Reject("a printer \"" + c.a.name + "\" exists already");
  if (!c.a.driver || !c.a.port) Reject("printer add needs --driver and --port");
  sim::SimPrinter p;
  p.name = name;
  SetPrinterFields(c, p);
  SetUserSettings(c, p, 1);
  if (c.a.after) {
    // Added by another process while a run is under way, as on a busy print server.
    const uint64_t after = ParseNumber(*c.a.after, UINT32_MAX, "--after");
    sim::Schedule(c.m, after,
                  sim::PrinterAdd{p.name, p.driverName, p.portName, p.comment, p.location});
    c.out << "printer \"" << c.a.name << "\" added after " << after << " ms\n";
    return;
  }
  sim::AddSimPrinter(c.m, std::move(p));
  c.out << "printer \"" << c.a.name << "\" added\n";
}

void RemovePrinter(Context& c) {
  sim::SimPrinter& p = ExistingPrinter(c.m, c.a.name);
  if (sim::EqualFold(p.name, c.m.spooler.defaultPrinter)) c.m.spooler.defaultPrinter.clear();
  const uint32_t id = p.id;
  erase_if(c.m.spooler.printers, [&](const sim::SimPrinter& q) { return q.id == id; });
  c.out << "printer \"" << c.a.name << "\" removed\n";
}

void SetPrinter(Context& c) {
  sim::SimPrinter& p = ExistingPrinter(c.m, c.a.name);
  const Given& a = c.a;
  if (!a.driver && !a.port && !a.comment && !a.location && !a.share && !a.separator &&
      !a.priority && !a.hours && !a.defaults && !a.restricted) {
    Reject("printer set needs one of its options");
  }
  sim::SimPrinter changed = p;
  SetPrinterFields(c, changed);
  SetUserSettings(c, changed, 1);
  p = std::move(changed);
  c.out << "printer \"" << c.a.name << "\" changed\n";
}

void SetPrinterData(Context& c) {
  sim::SimPrinter& p = ExistingPrinter(c.m, c.a.name);
  if (c.a.value.empty()) Reject("a printer-data value needs a name");
  DWORD type = 0;
  std::vector<uint8_t> bytes;
  ParseTypedValue(c.a, true, &type, &bytes);
  sim::PrinterDataKey& k = DataKey(p, c.a, true);
  sim::PutPrinterData(k, sim::FromUtf8(c.a.value), type, std::move(bytes));
  c.out << "printer data " << sim::ToUtf8(k.name) << "\\" << c.a.value << " set\n";
}

void DeletePrinterData(Context& c) {
  sim::PrinterDataKey& k = DataKey(ExistingPrinter(c.m, c.a.name), c.a, false);
  const U16 value = sim::FromUtf8(c.a.value);
  if (!std::erase_if(k.values, [&](const auto& v) { return sim::EqualFold(v.name, value); })) {
    Reject("the printer has no data value \"" + c.a.value + "\"");
  }
  c.out << "printer data " << sim::ToUtf8(k.name) << "\\" << c.a.value << " deleted\n";
}

void DefaultPrinter(Context& c) {
  if (c.a.none == !c.a.name.empty()) Reject("usage: orvsim default NAME | default --none");
  if (c.a.none) {
    c.m.spooler.defaultPrinter.clear();
    c.out << "no default printer\n";
    return;
  }
  c.m.spooler.defaultPrinter = ExistingPrinter(c.m, c.a.name).name;
  c.out << "default printer \"" << c.a.name << "\"\n";
}

// ---- reg --------------------------------------------------------------------------------------

void SetRegistryValue(Context& c) {
  U16 path;
  const HKEY root = ParseRegKey(c.a.path, &path);
  DWORD type = 0;
  std::vector<uint8_t> bytes;
  ParseTypedValue(c.a, false, &type, &bytes);
  sim::SetRegValue(c.m, root, path, sim::FromUtf8(c.a.value), type, std::move(bytes));
  c.out << "registry value set\n";
}

void DeleteRegistryValue(Context& c) {
  U16 path;
  const HKEY root = ParseRegKey(c.a.path, &path);
  if (!sim::DeleteRegValue(c.m, root, path, sim::FromUtf8(c.a.value))) {
    Reject("there is no value \"" + c.a.value + "\" in " + c.a.path);
  }
  c.out << "registry value deleted\n";
}

// ---- file -------------------------------------------------------------------------------------

void PutFile(Context& c) {
  const U16 path = FilePathForChange(c.m, c.a.path);
  if (c.a.from.has_value() == c.a.text.has_value()) {
    Reject("file put needs --from HOSTFILE or --text TEXT");
  }
  std::vector<uint8_t> data;
  if (c.a.from) {
    std::ifstream in(*c.a.from, std::ios::binary);
    if (!in || fs::is_directory(*c.a.from))
      Reject("cannot read the host file \"" + *c.a.from + "\"");
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) Reject("cannot read the host file \"" + *c.a.from + "\"");
  } else {
    data.assign(c.a.text->begin(), c.a.text->end());
  }
  std::optional<sim::VersionInfo> version;
  if (c.a.version || c.a.fileVersion) {
    version = ParseVersion(c.a.version.value_or(c.a.fileVersion.value_or("")));
    if (c.a.fileVersion) {
      const sim::VersionInfo file = ParseVersion(*c.a.fileVersion);
      std::copy(std::begin(file.file), std::end(file.file), version->file);
    }
  }
  const DWORD attributes = c.a.attributes ? ParseAttributes(*c.a.attributes) : 0x20;
  sim::SimFile& f = sim::PutFile(c.m, path, std::move(data), version);
  f.attributes = attributes;
  c.out << sim::ToUtf8(f.path) << " written, " << f.data.size() << " bytes\n";
}

void DeleteFile(Context& c) {
  const U16 path = ExistingFile(c.m, c.a.path).path;
  sim::RemoveFile(c.m, path);
  c.out << sim::ToUtf8(path) << " deleted\n";
}

void LockFile(Context& c) {
  const sim::SimFile& f = ExistingFile(c.m, c.a.path);
  const DWORD access = ParseAccess(c.a.access.value_or("read"));
  const DWORD share = ParseShare(c.a.shareMode.value_or("none"));
  const uint32_t pid = sim::LockFile(c.m, f.path, access, share, c.a.module);
  c.out << sim::ToUtf8(f.path) << " locked by process " << pid << "\n";
}

void UnlockFile(Context& c) {
  const sim::SimFile& f = ExistingFile(c.m, c.a.path);
  const uint64_t after = c.a.after ? ParseNumber(*c.a.after, UINT32_MAX, "--after") : 0;
  if (!sim::UnlockFile(c.m, f.path, after)) Reject(sim::ToUtf8(f.path) + " is not locked");
  c.out << sim::ToUtf8(f.path) << (after ? " will be unlocked" : " unlocked") << "\n";
}

// ---- processes, the keyboard, the machine -----------------------------------------------------

uint32_t ExitDelay(const Given& a) {
  return a.exitDelay ? ParseDword(*a.exitDelay, "--exit-delay") : 0;
}

const std::string& TrayMode(const std::string& mode) {
  if (!sim::IsTrayMode(mode)) {
    Reject("unknown tray mode \"" + mode + "\" (normal, ignore, exit-holding)");
  }
  return mode;
}

void StartTray(Context& c) {
  const uint32_t pid = sim::StartTray(c.m, TrayMode(c.a.mode.value_or("normal")), ExitDelay(c.a));
  c.out << "tray program started as process " << pid << "\n";
}

void SetTrayMode(Context& c) {
  c.m.processes.trayMode = TrayMode(c.a.word);
  c.m.processes.trayExitDelayMs = ExitDelay(c.a);
  c.out << "tray programs start in mode " << c.a.word << "\n";
}

void HoldMutex(Context& c) {
  const bool abandon = c.a.abandonAfter.has_value();
  std::optional<uint64_t> after;
  if (abandon || c.a.releaseAfter) {
    after = ParseNumber(abandon ? *c.a.abandonAfter : *c.a.releaseAfter, UINT32_MAX,
                        abandon ? "--abandon-after" : "--release-after");
  }
  const uint32_t pid = sim::HoldMutex(c.m, c.a.name, after, abandon);
  if (!pid) Reject("the mutex " + c.a.name + " is owned already");
  c.out << "mutex " << c.a.name << " held by process " << pid << "\n";
}

void EndProcess(Context& c) {
  const uint32_t pid = ParseDword(c.a.number, "PID");
  if (!sim::EndProcess(c.m, pid)) Reject("no process " + c.a.number + " is running");
  c.out << "process " << pid << " ended\n";
}

void SetMachineType(Context& c) {
  const std::string& type = c.a.word;
  c.m.kernel.nativeMachine = type == "arm64" ? IMAGE_FILE_MACHINE_ARM64
                             : type == "x86" ? IMAGE_FILE_MACHINE_I386
                                             : IMAGE_FILE_MACHINE_AMD64;
  c.out << "the machine is " << type << "\n";
}

// ---- fault ------------------------------------------------------------------------------------

void AddFault(Context& c) {
  const std::string& api = c.a.api;
  const bool identifier = !api.empty() && std::all_of(api.begin(), api.end(), [](char ch) {
    return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_';
  });
  if (!identifier) Reject("\"" + api + "\" is not an API name");
  const DWORD error = ParseDword(c.a.error, "ERROR");
  const uint32_t delayMs = c.a.delay ? uint32_t(ParseNumber(*c.a.delay, 3600000, "--delay")) : 0;
  if (error == 0 && delayMs == 0) Reject("a fault needs a non-zero error or a --delay");
  if (c.a.times && c.a.always) Reject("give --times or --always, not both");
  int times = 1;
  if (c.a.always) {
    times = -1;
  } else if (c.a.times) {
    times = int(ParseNumber(*c.a.times, 1000000, "--times"));
    if (times == 0) Reject("--times must be at least 1");
  }
  uint32_t skip = 0;
  if (c.a.nth) {
    const uint64_t nth = ParseNumber(*c.a.nth, 1000000, "--nth");
    if (nth == 0) Reject("--nth counts from 1");
    skip = uint32_t(nth - 1);
  }
  sim::AddFault(c.m, api, error, times, delayMs, skip);
  if (delayMs) c.out << api << " will take " << delayMs << " ms\n";
  if (error) c.out << api << " will fail with " << error << "\n";
}

// ---- the command line -------------------------------------------------------------------------

// A command word and what it changes, with the one word that picks how.
CLI::App* Setting(CLI::App& app, Given& g, Chosen& chosen, const char* name,
                  const char* description, Handler run, std::vector<std::string> words) {
  CLI::App* command = Command(&app, chosen, name, description, run);
  command->add_option("WORD", g.word)->required()->check(CLI::IsMember(std::move(words)));
  return command;
}

// TYPE DATA... or TYPE --hex HEX, after a value's name.
void TypedValue(CLI::App* s, Given& g) {
  s->add_option("TYPE", g.type, "sz, expand_sz, multi_sz, dword, qword, binary, none or a number")
      ->required();
  s->add_option("DATA", g.words,
                "a text for sz (printer data: Windows-1252), one per string for multi_sz, a "
                "number for dword and qword, hex bytes for the others");
  s->add_option_function<std::vector<std::string>>(
      "--hex",
      [&g](const std::vector<std::string>& hex) {
        g.hex = std::accumulate(hex.begin(), hex.end(), std::string());
      },
      "the exact bytes, for any type (a string without its terminator, say)");
}

// A command that requires one of the words under it.
CLI::App* Group(CLI::App& app, const char* name, const char* description) {
  return app.add_subcommand(name, description)->require_subcommand(1);
}

void AddPrinterCommands(CLI::App& app, Given& g, Chosen& chosen) {
  CLI::App* printer = Group(app, "printer", "add, change and remove printers and printer data");
  auto fields = [&](CLI::App* s) {
    s->add_option("--driver", g.driver, "the driver (Windows x64)");
    s->add_option("--port", g.port, "the port, or ports separated by commas; each must exist");
    s->add_option("--comment", g.comment);
    s->add_option("--location", g.location);
    s->add_option("--share", g.share, "shared under NAME (%d numbered by add-many)");
    s->add_option("--separator", g.separator, "the separator page's file");
    s->add_option("--priority", g.priority, "1 to 99");
    s->add_option("--hours", g.hours, "START-UNTIL, minutes after midnight");
    s->add_option("--defaults", g.defaults,
                  "ORIENTATION,PAPER (1 portrait, 2 landscape; 1 letter, 9 A4) over the "
                  "driver's own printing defaults");
    s->add_flag("--restricted", g.restricted, "only the administrators may print");
    return s;
  };
  CLI::App* add = fields(Command(printer, chosen, "add", "add a queue", AddPrinter));
  add->add_option("NAME", g.name)->required();
  add->add_option("--after", g.after, "another process adds it after MS of virtual time");
  CLI::App* many = fields(
      Command(printer, chosen, "add-many", "add COUNT queues (up to 100,000)", AddManyPrinters));
  many->add_option("COUNT", g.number)->required();
  many->add_option("PATTERN", g.pattern, "each queue's name, %d replaced by 1 to COUNT")
      ->required();
  many->add_option(
      "--subkey", g.subkey,
      "each one's \"SubKey\" printer data, plain and under DsUser (%d replaced alike)");
  many->add_option("--default", g.defaultIndex, "the K-th is the default printer");
  fields(Command(printer, chosen, "set", "change a queue", SetPrinter))
      ->add_option("NAME", g.name)
      ->required();
  Command(printer, chosen, "remove", "remove a queue (and its default mark)", RemovePrinter)
      ->add_option("NAME", g.name)
      ->required();
  CLI::App* data = Command(printer, chosen, "data", "set printer data", SetPrinterData);
  CLI::App* dataDelete =
      Command(printer, chosen, "data-delete", "delete printer data", DeletePrinterData);
  for (CLI::App* s : {data, dataDelete}) {
    s->add_option("NAME", g.name)->required();
    s->add_option("--key", g.key, "the key; without it the plain values (PrinterDriverData)");
    s->add_option("VALUE", g.value)->required();
  }
  TypedValue(data, g);
  CLI::App* def =
      Command(&app, chosen, "default", "set or clear the default printer", DefaultPrinter);
  def->add_option("NAME", g.name);
  def->add_flag("--none", g.none, "no default printer");
}

}  // namespace

void AddChangeCommands(CLI::App& app, Given& g, Chosen& chosen) {
  Command(&app, chosen, "advance", "let MS ms of virtual time pass; due timed events fire",
          [](Context& c) {
            sim::Advance(c.m, ParseNumber(c.a.number, 1ULL << 40, "MS"));
            c.out << "clock at " << c.m.now << " ms\n";
          })
      ->add_option("MS", g.number)
      ->required();
  Command(&app, chosen, "restart",
          "restart the machine: pending file operations, processes ended, Run entries",
          [](Context& c) {
            sim::Restart(c.m);
            c.out << "machine restarted\n";
          });

  CLI::App* spooler = Group(app, "spooler", "the spooler service");
  Command(spooler, chosen, "stop", "stop it at once",
          [](Context& c) { SpoolerStopStart(c, true); });
  Command(spooler, chosen, "start", "start it at once",
          [](Context& c) { SpoolerStopStart(c, false); });
  Command(spooler, chosen, "disable", "refuse starting it (a running spooler keeps running)",
          [](Context& c) { SpoolerDisable(c, true); });
  Command(spooler, chosen, "enable", "allow starting it",
          [](Context& c) { SpoolerDisable(c, false); });
  CLI::App* slow =
      Command(spooler, chosen, "slow", "time it takes to reach RUNNING (STOPPED)", SpoolerSlow);
  slow->add_option("START_MS", g.number)->required();
  slow->add_option("STOP_MS", g.second);
  Command(spooler, chosen, "refuse-stop", "stop requests fail with ERROR; 0 accepts them again",
          SpoolerRefuseStop)
      ->add_option("ERROR", g.error)
      ->required();

  AddPrinterCommands(app, g, chosen);

  CLI::App* reg = Group(app, "reg",
                        "registry values: KEY starts with HKLM\\, HKCU\\ or HKU\\; VALUE \"\" is "
                        "the key's default value");
  CLI::App* set = Command(reg, chosen, "set", "set a value", SetRegistryValue);
  CLI::App* unset = Command(reg, chosen, "delete", "delete a value", DeleteRegistryValue);
  for (CLI::App* s : {set, unset}) {
    s->add_option("KEY", g.path)->required();
    s->add_option("VALUE", g.value)->required();
  }
  TypedValue(set, g);

  CLI::App* file = Group(app, "file", "files: PATH is a Windows path on a drive of the machine");
  CLI::App* put = Command(file, chosen, "put", "write a file", PutFile);
  put->add_option("--from", g.from, "its contents from a host file");
  put->add_option("--text", g.text, "its contents");
  put->add_option("--version", g.version, "A.B.C.D, for a version resource");
  put->add_option("--file-version", g.fileVersion, "A.B.C.D, the file version if it differs");
  put->add_option("--attributes", g.attributes,
                  "readonly,hidden,system,archive,normal or a number");
  CLI::App* lock = Command(file, chosen, "lock", "hold it open as another process", LockFile);
  lock->add_option("--access", g.access, "read (the default), write or readwrite");
  lock->add_option("--share", g.shareMode, "none (the default) or read,write,delete");
  lock->add_flag("--module", g.module, "loaded as a module: deletion is refused, renames work");
  CLI::App* unlock = Command(file, chosen, "unlock", "let go of it", UnlockFile);
  unlock->add_option("--after", g.after, "after MS of virtual time");
  CLI::App* del = Command(file, chosen, "delete", "delete a file", DeleteFile);
  for (CLI::App* s : {put, del, lock, unlock}) s->add_option("PATH", g.path)->required();

  Setting(app, g, chosen, "shift", "hold or release SHIFT",
          [](Context& c) {
            c.m.user.shiftDown = c.a.word == "down";
            c.out << "SHIFT is " << c.a.word << "\n";
          },
          {"down", "up"});
  Setting(app, g, chosen, "winsta",
          "the installer runs on a hidden window station (as under a service or a deployment "
          "agent: it shows no log dialog) or on the user's visible one",
          [](Context& c) {
            c.m.user.windowStationVisible = c.a.word == "visible";
            c.out << "the window station is " << c.a.word << "\n";
          },
          {"hidden", "visible"});
  Setting(app, g, chosen, "account", "the installer runs as the local system account or a user",
          [](Context& c) {
            c.m.kernel.localSystem = c.a.word == "system";
            c.out << "the installer runs as "
                  << (c.m.kernel.localSystem ? "the local system account" : "a user") << "\n";
          },
          {"system", "user"});
  Setting(app, g, chosen, "machine", "the machine's own processor architecture", SetMachineType,
          {"x64", "arm64", "x86"});

  Command(Group(app, "helpviewer", "the help viewer"), chosen, "open", "open its window",
          [](Context& c) {
            const uint64_t h = sim::OpenHelpViewer(c.m, !c.a.ignoresClose);
            c.out << "help viewer window 0x" << std::hex << h << std::dec << " open\n";
          })
      ->add_flag("--ignores-close", g.ignoresClose, "a window that does not close when asked");
  CLI::App* tray = Group(app, "tray",
                         "the tray program: MODE normal, ignore (ignores its exit "
                         "message) or exit-holding (exits holding its mutex)");
  Command(tray, chosen, "start", "start it", StartTray)
      ->add_option("--mode", g.mode, "how it behaves (normal by default)");
  Command(tray, chosen, "mode", "how tray programs started later behave", SetTrayMode)
      ->add_option("MODE", g.word)
      ->required();
  for (CLI::App* s : tray->get_subcommands([](CLI::App*) { return true; })) {
    s->add_option("--exit-delay", g.exitDelay, "MS it takes to exit when asked");
  }
  Command(Group(app, "process", "processes"), chosen, "end", "end a process", EndProcess)
      ->add_option("PID", g.number)
      ->required();
  CLI::App* hold =
      Command(Group(app, "mutex", "named mutexes"), chosen, "hold",
              "another run of the installer owns the named mutex, until ended", HoldMutex);
  hold->add_option("NAME", g.name)->required();
  CLI::Option* release =
      hold->add_option("--release-after", g.releaseAfter, "it lets go after MS of virtual time");
  hold->add_option("--abandon-after", g.abandonAfter,
                   "it is killed after MS of virtual time, abandoning it")
      ->excludes(release);

  CLI::App* fault = Group(app, "fault", "make API calls fail or take time");
  CLI::App* add = Command(fault, chosen, "add",
                          "make API fail with ERROR, once by default (ERROR 0 with --delay: "
                          "only slow)",
                          AddFault);
  add->add_option("API", g.api)->required();
  add->add_option("ERROR", g.error)->required();
  add->add_option("--nth", g.nth, "the first K-1 calls pass; the K-th fails");
  add->add_option("--times", g.times, "fail N times");
  add->add_flag("--always", g.always, "fail every time");
  add->add_option("--delay", g.delay, "each such call first takes MS of virtual time");
  Command(fault, chosen, "clear", "remove every armed fault", [](Context& c) {
    sim::ClearFaults(c.m);
    c.out << "faults cleared\n";
  });
}

}  // namespace orvsim
