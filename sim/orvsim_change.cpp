// orvsim's changes to the machine, each command's words as a table of handlers.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>

#include "sim/orvsim.h"
#include "sim/process_control.h"

namespace orvsim {

namespace fs = std::filesystem;

void RunSubcommand(Context& c, std::span<const Subcommand> table, const std::string& kind) {
  const std::string& what = c.a.words[0];
  for (const Subcommand& s : table) {
    if (what == s.word) return s.run(c);
  }
  Reject("unknown " + kind + " \"" + what + "\"");
}

namespace {

// ---- spooler ----------------------------------------------------------------------------------

void SpoolerStopStart(Context& c) {
  WantWords(c.a, 1, 1, "spooler stop|start");
  const std::string& what = c.a.words[0];
  sim::SimService& s = Spooler(c.m);
  if (what == "start" && s.disabled) Reject("the spooler is disabled (orvsim spooler enable)");
  const DWORD target = what == "stop" ? SERVICE_STOPPED : SERVICE_RUNNING;
  // Whatever the service was about to become, it is that now.
  std::erase_if(c.m.events, [&](const sim::TimedEvent& e) {
    auto of = [&](const auto* a) { return a && sim::EqualFold(a->name, s.name); };
    return of(std::get_if<sim::ServiceRunning>(&e.action)) ||
           of(std::get_if<sim::ServiceStopped>(&e.action));
  });
  if (s.state != target) ++(target == SERVICE_STOPPED ? s.stops : s.starts);
  s.state = target;
  if (target == SERVICE_STOPPED) c.m.spooler.loadedModules.clear();
  c.out << "spooler " << (what == "stop" ? "stopped" : "running") << "\n";
}

void SpoolerDisableEnable(Context& c) {
  WantWords(c.a, 1, 1, "spooler disable|enable");
  const std::string& what = c.a.words[0];
  Spooler(c.m).disabled = what == "disable";
  c.out << "spooler " << what << "d\n";
}

void SpoolerSlow(Context& c) {
  WantWords(c.a, 2, 3, "spooler slow START_MS [STOP_MS]");
  sim::SimService& s = Spooler(c.m);
  const uint32_t start = ParseDword(c.a.words[1], "START_MS");
  const uint32_t stop = c.a.words.size() > 2 ? ParseDword(c.a.words[2], "STOP_MS") : s.stopDelayMs;
  s.startDelayMs = start;
  s.stopDelayMs = stop;
  c.out << "spooler starts in " << start << " ms, stops in " << stop << " ms\n";
}

void SpoolerRefuseStop(Context& c) {
  WantWords(c.a, 2, 2, "spooler refuse-stop ERROR");
  sim::SimService& s = Spooler(c.m);
  s.stopRefusal = ParseDword(c.a.words[1], "ERROR");
  c.out << (s.stopRefusal ? "spooler refuses to stop" : "spooler accepts stop requests") << "\n";
}

constexpr Subcommand kSpoolerChanges[] = {
    {"stop", SpoolerStopStart},
    {"start", SpoolerStopStart},
    {"disable", SpoolerDisableEnable},
    {"enable", SpoolerDisableEnable},
    {"slow", SpoolerSlow},
    {"refuse-stop", SpoolerRefuseStop},
};

// ---- printer ----------------------------------------------------------------------------------

std::string Numbered(const std::string& pattern, uint64_t n);

// The settings a user makes beyond name, port and driver; `n` numbers a share name pattern.
void SetUserSettings(Context& c, sim::SimPrinter& p, uint64_t n) {
  if (c.a.Has("--share")) {
    p.shareName = sim::FromUtf8(Numbered(c.a.Value("--share"), n));
    p.attributes |= PRINTER_ATTRIBUTE_SHARED;
  }
  if (c.a.Has("--separator")) p.sepFile = sim::FromUtf8(c.a.Value("--separator"));
  if (c.a.Has("--priority"))
    p.priority = DWORD(ParseNumber(c.a.Value("--priority"), 99, "--priority"));
  if (c.a.Has("--hours")) {
    const std::string hours = c.a.Value("--hours");
    const size_t dash = hours.find('-');
    if (dash == std::string::npos) Reject("--hours takes START-UNTIL in minutes after midnight");
    p.startTime = DWORD(ParseNumber(hours.substr(0, dash), 1439, "--hours"));
    p.untilTime = DWORD(ParseNumber(hours.substr(dash + 1), 1439, "--hours"));
  }
  if (c.a.Has("--defaults")) {
    // ORIENTATION,PAPER over the driver's own defaults (1 portrait, 2 landscape; 1 letter, 9 A4).
    const std::string text = c.a.Value("--defaults");
    const size_t comma = text.find(',');
    if (comma == std::string::npos) Reject("--defaults takes ORIENTATION,PAPER");
    p.devMode = sim::DriverDevMode(c.m, p);
    auto* dm = reinterpret_cast<DEVMODEW*>(p.devMode.data());
    dm->dmOrientation = short(ParseNumber(text.substr(0, comma), 2, "--defaults"));
    dm->dmPaperSize = short(ParseNumber(text.substr(comma + 1), 256, "--defaults"));
  }
  if (c.a.Has("--restricted")) {
    p.security = sim::RestrictedPrinterSecurity();
  }
}

void SetPrinterFields(Context& c, sim::SimPrinter& p) {
  if (c.a.Has("--driver")) p.driverName = KnownDriver(c.m, c.a.Value("--driver"));
  if (c.a.Has("--port")) p.portName = KnownPorts(c.m, c.a.Value("--port"));
  if (c.a.Has("--comment")) p.comment = sim::FromUtf8(c.a.Value("--comment"));
  if (c.a.Has("--location")) p.location = sim::FromUtf8(c.a.Value("--location"));
}

sim::PrinterDataKey& DataKey(sim::SimPrinter& p, const std::string& name, bool create) {
  const std::string key = name.empty() ? std::string(sim::kPlainDataKey) : name;
  for (auto& k : p.data) {
    if (sim::EqualFold(sim::FromUtf8(k.name), sim::FromUtf8(key))) return k;
  }
  if (!create) Reject("the printer has no data key \"" + key + "\"");
  p.data.push_back({key, {}});
  return p.data.back();
}

// The pattern with its one "%d" replaced by n.
std::string Numbered(const std::string& pattern, uint64_t n) {
  const size_t at = pattern.find("%d");
  if (at == std::string::npos) return pattern;
  return pattern.substr(0, at) + std::to_string(n) + pattern.substr(at + 2);
}

// Many queues at once, as a print server has them: checked in full before any is added.
void AddManyPrinters(Context& c) {
  WantWords(c.a, 3, 3, "printer add-many COUNT PATTERN --driver DRIVER --port PORT [...]");
  const uint64_t count = ParseNumber(c.a.words[1], 100000, "COUNT");
  if (count == 0) Reject("COUNT must be at least 1");
  const std::string& pattern = c.a.words[2];
  const size_t at = pattern.find("%d");
  if (at == std::string::npos || pattern.find("%d", at + 1) != std::string::npos) {
    Reject("PATTERN must hold %d once, where each queue's number goes");
  }
  if (!c.a.Has("--driver") || !c.a.Has("--port")) {
    Reject("printer add-many needs --driver and --port");
  }
  const uint64_t defaultIndex =
      c.a.Has("--default") ? ParseNumber(c.a.Value("--default"), count, "--default") : 0;
  if (c.a.Has("--default") && defaultIndex == 0) Reject("--default must be 1 to COUNT");
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
    if (c.a.Has("--subkey")) {
      // As the ANSI printer-data calls write a string: Windows-1252, terminated.
      const std::string text = sim::ToAnsi(sim::FromUtf8(Numbered(c.a.Value("--subkey"), i)));
      std::vector<uint8_t> bytes(text.begin(), text.end());
      bytes.push_back(0);
      for (const char* key : {sim::kPlainDataKey, "DsUser"}) {
        p.data.push_back({key, {{"SubKey", REG_SZ, bytes}}});
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
  WantWords(c.a, 2, 2, "printer add NAME --driver DRIVER --port PORT [...]");
  const U16 name = PrinterName(c.a.words[1]);
  if (sim::FindPrinter(c.m, name)) Reject("a printer \"" + c.a.words[1] + "\" exists already");
  if (!c.a.Has("--driver") || !c.a.Has("--port")) Reject("printer add needs --driver and --port");
  sim::SimPrinter p;
  p.name = name;
  SetPrinterFields(c, p);
  SetUserSettings(c, p, 1);
  if (c.a.Has("--after")) {
    // Added by another process while a run is under way, as on a busy print server.
    const uint64_t after = ParseNumber(c.a.Value("--after"), UINT32_MAX, "--after");
    sim::Schedule(c.m, after,
                  sim::PrinterAdd{p.name, p.driverName, p.portName, p.comment, p.location});
    c.out << "printer \"" << c.a.words[1] << "\" added after " << after << " ms\n";
    return;
  }
  sim::AddSimPrinter(c.m, std::move(p));
  c.out << "printer \"" << c.a.words[1] << "\" added\n";
}

void RemovePrinter(Context& c) {
  WantWords(c.a, 2, 2, "printer remove NAME");
  sim::SimPrinter& p = ExistingPrinter(c.m, c.a.words[1]);
  if (sim::EqualFold(p.name, c.m.spooler.defaultPrinter)) c.m.spooler.defaultPrinter.clear();
  const uint32_t id = p.id;
  erase_if(c.m.spooler.printers, [&](const sim::SimPrinter& q) { return q.id == id; });
  c.out << "printer \"" << c.a.words[1] << "\" removed\n";
}

void SetPrinter(Context& c) {
  WantWords(c.a, 2, 2, "printer set NAME [--driver D] [--port P] [--comment T] [--location T] ...");
  sim::SimPrinter& p = ExistingPrinter(c.m, c.a.words[1]);
  static const char* const kOptions[] = {"--driver",   "--port",      "--comment",  "--location",
                                         "--share",    "--separator", "--priority", "--hours",
                                         "--defaults", "--restricted"};
  if (std::none_of(std::begin(kOptions), std::end(kOptions),
                   [&](const char* o) { return c.a.Has(o); })) {
    Reject("printer set needs one of its options");
  }
  sim::SimPrinter changed = p;
  SetPrinterFields(c, changed);
  SetUserSettings(c, changed, 1);
  p = std::move(changed);
  c.out << "printer \"" << c.a.words[1] << "\" changed\n";
}

void SetPrinterData(Context& c) {
  if (c.a.words.size() < 4)
    Reject("usage: orvsim printer data NAME [--key KEY] VALUE TYPE DATA...");
  sim::SimPrinter& p = ExistingPrinter(c.m, c.a.words[1]);
  const std::string& value = c.a.words[2];
  if (value.empty()) Reject("a printer-data value needs a name");
  DWORD type = 0;
  std::vector<uint8_t> bytes;
  ParseTypedValue(c.a.words[3], c.a, 4, true, &type, &bytes);
  sim::PrinterDataKey& k = DataKey(p, c.a.Value("--key"), true);
  bool replaced = false;
  for (auto& v : k.values) {
    if (sim::EqualFold(sim::FromUtf8(v.name), sim::FromUtf8(value))) {
      v.type = type;
      v.bytes = bytes;
      replaced = true;
    }
  }
  if (!replaced) k.values.push_back({value, type, bytes});
  c.out << "printer data " << k.name << "\\" << value << " set\n";
}

void DeletePrinterData(Context& c) {
  WantWords(c.a, 3, 3, "printer data-delete NAME [--key KEY] VALUE");
  sim::SimPrinter& p = ExistingPrinter(c.m, c.a.words[1]);
  sim::PrinterDataKey& k = DataKey(p, c.a.Value("--key"), false);
  const U16 value = sim::FromUtf8(c.a.words[2]);
  const size_t before = k.values.size();
  std::erase_if(k.values, [&](const sim::PrinterDataValue& v) {
    return sim::EqualFold(sim::FromUtf8(v.name), value);
  });
  if (k.values.size() == before) Reject("the printer has no data value \"" + c.a.words[2] + "\"");
  c.out << "printer data " << k.name << "\\" << c.a.words[2] << " deleted\n";
}

constexpr Subcommand kPrinterChanges[] = {
    {"add-many", AddManyPrinters}, {"add", AddPrinter},      {"remove", RemovePrinter},
    {"set", SetPrinter},           {"data", SetPrinterData}, {"data-delete", DeletePrinterData},
};

// ---- reg --------------------------------------------------------------------------------------

void SetRegistryValue(Context& c) {
  if (c.a.words.size() < 4) Reject("usage: orvsim reg set KEY VALUE TYPE DATA...");
  U16 path;
  const HKEY root = ParseRegKey(c.a.words[1], &path);
  DWORD type = 0;
  std::vector<uint8_t> bytes;
  ParseTypedValue(c.a.words[3], c.a, 4, false, &type, &bytes);
  sim::SetRegValue(c.m, root, path, sim::FromUtf8(c.a.words[2]), type, std::move(bytes));
  c.out << "registry value set\n";
}

void DeleteRegistryValue(Context& c) {
  WantWords(c.a, 3, 3, "reg delete KEY VALUE");
  U16 path;
  const HKEY root = ParseRegKey(c.a.words[1], &path);
  if (!sim::DeleteRegValue(c.m, root, path, sim::FromUtf8(c.a.words[2]))) {
    Reject("there is no value \"" + c.a.words[2] + "\" in " + c.a.words[1]);
  }
  c.out << "registry value deleted\n";
}

constexpr Subcommand kRegistryChanges[] = {
    {"set", SetRegistryValue},
    {"delete", DeleteRegistryValue},
};

// ---- file -------------------------------------------------------------------------------------

void PutFile(Context& c) {
  const U16 path = FilePathForChange(c.m, c.a.words[1]);
  if (c.a.Has("--from") == c.a.Has("--text"))
    Reject("file put needs --from HOSTFILE or --text TEXT");
  std::vector<uint8_t> data;
  if (c.a.Has("--from")) {
    const std::string host = c.a.Value("--from");
    std::ifstream in(host, std::ios::binary);
    if (!in || fs::is_directory(host)) Reject("cannot read the host file \"" + host + "\"");
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) Reject("cannot read the host file \"" + host + "\"");
  } else {
    const std::string t = c.a.Value("--text");
    data.assign(t.begin(), t.end());
  }
  std::optional<sim::VersionInfo> version;
  if (c.a.Has("--version") || c.a.Has("--file-version")) {
    const std::string product = c.a.Value("--version", c.a.Value("--file-version"));
    version = ParseVersion(product);
    if (c.a.Has("--file-version")) {
      const sim::VersionInfo file = ParseVersion(c.a.Value("--file-version"));
      std::copy(std::begin(file.file), std::end(file.file), version->file);
    }
  }
  const DWORD attributes =
      c.a.Has("--attributes") ? ParseAttributes(c.a.Value("--attributes")) : 0x20;
  sim::SimFile& f = sim::PutFile(c.m, path, std::move(data), version);
  f.attributes = attributes;
  c.out << sim::ToUtf8(f.path) << " written, " << f.data.size() << " bytes\n";
}

void DeleteFile(Context& c) {
  const sim::SimFile& f = ExistingFile(c.m, c.a.words[1]);
  const U16 path = f.path;
  sim::RemoveFile(c.m, path);
  c.out << sim::ToUtf8(path) << " deleted\n";
}

void LockFile(Context& c) {
  const sim::SimFile& f = ExistingFile(c.m, c.a.words[1]);
  const DWORD access = ParseAccess(c.a.Value("--access", "read"));
  const DWORD share = ParseShare(c.a.Value("--share", "none"));
  const uint32_t pid = sim::LockFile(c.m, f.path, access, share, c.a.Has("--module"));
  c.out << sim::ToUtf8(f.path) << " locked by process " << pid << "\n";
}

void UnlockFile(Context& c) {
  const sim::SimFile& f = ExistingFile(c.m, c.a.words[1]);
  const uint64_t after =
      c.a.Has("--after") ? ParseNumber(c.a.Value("--after"), UINT32_MAX, "--after") : 0;
  if (!sim::UnlockFile(c.m, f.path, after)) Reject(sim::ToUtf8(f.path) + " is not locked");
  c.out << sim::ToUtf8(f.path) << (after ? " will be unlocked" : " unlocked") << "\n";
}

constexpr Subcommand kFileChanges[] = {
    {"put", PutFile},
    {"delete", DeleteFile},
    {"lock", LockFile},
    {"unlock", UnlockFile},
};

// ---- tray -------------------------------------------------------------------------------------

uint32_t ExitDelay(const Args& a) {
  return a.Has("--exit-delay") ? ParseDword(a.Value("--exit-delay"), "--exit-delay") : 0;
}

void StartTray(Context& c) {
  WantWords(c.a, 1, 1, "tray start [--mode MODE] [--exit-delay MS]");
  const std::string mode = c.a.Value("--mode", "normal");
  if (!sim::IsTrayMode(mode))
    Reject("unknown tray mode \"" + mode + "\" (normal, ignore, exit-holding)");
  const uint32_t pid = sim::StartTray(c.m, mode, ExitDelay(c.a));
  c.out << "tray program started as process " << pid << "\n";
}

void SetTrayMode(Context& c) {
  WantWords(c.a, 2, 2, "tray mode MODE [--exit-delay MS]");
  if (!sim::IsTrayMode(c.a.words[1])) {
    Reject("unknown tray mode \"" + c.a.words[1] + "\" (normal, ignore, exit-holding)");
  }
  c.m.processes.trayMode = c.a.words[1];
  c.m.processes.trayExitDelayMs = ExitDelay(c.a);
  c.out << "tray programs start in mode " << c.a.words[1] << "\n";
}

constexpr Subcommand kTrayCommands[] = {
    {"start", StartTray},
    {"mode", SetTrayMode},
};

// ---- fault ------------------------------------------------------------------------------------

void ClearFaults(Context& c) {
  WantWords(c.a, 1, 1, "fault clear");
  sim::ClearFaults(c.m);
  c.out << "faults cleared\n";
}

void AddFault(Context& c) {
  WantWords(c.a, 3, 3, "fault add API ERROR [--nth K] [--times N | --always] [--delay MS]");
  const std::string& api = c.a.words[1];
  const bool identifier = !api.empty() && std::all_of(api.begin(), api.end(), [](char ch) {
    return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_';
  });
  if (!identifier) Reject("\"" + api + "\" is not an API name");
  const DWORD error = ParseDword(c.a.words[2], "ERROR");
  uint32_t delayMs = 0;
  if (c.a.Has("--delay")) {
    delayMs = uint32_t(ParseNumber(c.a.Value("--delay"), 3600000, "--delay"));
  }
  if (error == 0 && delayMs == 0) Reject("a fault needs a non-zero error or a --delay");
  if (c.a.Has("--times") && c.a.Has("--always")) Reject("give --times or --always, not both");
  int times = 1;
  if (c.a.Has("--always")) {
    times = -1;
  } else if (c.a.Has("--times")) {
    times = int(ParseNumber(c.a.Value("--times"), 1000000, "--times"));
    if (times == 0) Reject("--times must be at least 1");
  }
  uint32_t skip = 0;
  if (c.a.Has("--nth")) {
    const uint64_t nth = ParseNumber(c.a.Value("--nth"), 1000000, "--nth");
    if (nth == 0) Reject("--nth counts from 1");
    skip = uint32_t(nth - 1);
  }
  sim::AddFault(c.m, api, error, times, delayMs, skip);
  if (delayMs) c.out << api << " will take " << delayMs << " ms\n";
  if (error) c.out << api << " will fail with " << error << "\n";
}

constexpr Subcommand kFaultCommands[] = {
    {"clear", ClearFaults},
    {"add", AddFault},
};

}  // namespace

void SpoolerCommand(Context& c) {
  WantWords(c.a, 1, 3, "spooler stop|start|disable|enable|slow MS [MS]|refuse-stop ERROR");
  Spooler(c.m);  // a machine without one is refused before the word is looked at
  RunSubcommand(c, kSpoolerChanges, "spooler change");
}

void PrinterCommand(Context& c) {
  if (c.a.words.empty()) {
    Reject("usage: orvsim printer add|add-many|remove|set|data|data-delete NAME ...");
  }
  RunSubcommand(c, kPrinterChanges, "printer change");
}

void DefaultCommand(Context& c) {
  if (c.a.Has("--none")) {
    WantWords(c.a, 0, 0, "default --none");
    c.m.spooler.defaultPrinter.clear();
    c.out << "no default printer\n";
    return;
  }
  WantWords(c.a, 1, 1, "default NAME | default --none");
  c.m.spooler.defaultPrinter = ExistingPrinter(c.m, c.a.words[0]).name;
  c.out << "default printer \"" << c.a.words[0] << "\"\n";
}

void RegCommand(Context& c) {
  if (c.a.words.empty()) Reject("usage: orvsim reg set|delete KEY VALUE ...");
  RunSubcommand(c, kRegistryChanges, "registry change");
}

void FileCommand(Context& c) {
  if (c.a.words.size() != 2) Reject("usage: orvsim file put|delete|lock|unlock PATH [...]");
  RunSubcommand(c, kFileChanges, "file change");
}

void TrayCommand(Context& c) {
  WantWords(c.a, 1, 2, "tray start [--mode MODE] [--exit-delay MS] | tray mode MODE");
  ExitDelay(c.a);  // a malformed delay is refused before the word is looked at
  RunSubcommand(c, kTrayCommands, "tray command");
}

void FaultCommand(Context& c) {
  if (c.a.words.empty())
    Reject(
        "usage: orvsim fault add API ERROR [--nth K] [--times N | --always] [--delay MS] | fault "
        "clear");
  RunSubcommand(c, kFaultCommands, "fault command");
}

}  // namespace orvsim
