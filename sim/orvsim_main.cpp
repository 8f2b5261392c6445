// orvsim: makes, shows and changes a simulated machine kept in a directory, between runs of
// the installer. Every change is checked in full before anything is touched, and the machine
// is saved only when the whole command succeeded, so a mistake changes nothing.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sim/machine.h"
#include "sim/persist.h"
#include "sim/process_control.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using sim::U16;

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
  printer add-many COUNT PATTERN --driver DRIVER --port PORT [--comment TEXT]
           [--location TEXT] [--subkey PATTERN] [--default K]
                                 COUNT queues named by PATTERN with %d replaced by 1..COUNT;
                                 --subkey: their "SubKey" printer data (plain and under
                                 DsUser), %d replaced alike; --default: the K-th is the default
  printer remove NAME
  printer set NAME [--driver DRIVER] [--port PORT] [--comment TEXT] [--location TEXT]
  printer data NAME [--key KEY] VALUE TYPE DATA...     set printer data (plain values
                                                       without --key)
  printer data-delete NAME [--key KEY] VALUE
  default NAME | default --none  set or clear the default printer

Registry (KEY starts with HKLM\ or HKCU\; VALUE "" is the key's default value)
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
  helpviewer open [--ignores-close]   open a help viewer window
  tray start [--mode MODE] [--exit-delay MS]   start the tray program
  tray mode MODE [--exit-delay MS]    how a tray program started later behaves
    MODE: normal, ignore (ignores its exit message), exit-holding (exits holding its mutex)
  process end PID                end a process

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

// ---- Command-line parsing ---------------------------------------------------------------------

struct Args {
  std::vector<std::string> words;  // positional, after the command words
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
  bool Has(const std::string& o) const { return values.count(o) || flags.count(o); }
  std::string Value(const std::string& o, const std::string& fallback = "") const {
    auto it = values.find(o);
    return it == values.end() ? fallback : it->second;
  }
};

struct Rejection {
  std::string message;
};

[[noreturn]] void Reject(const std::string& message) {
  throw Rejection{message};
}

// Splits options from words. Everything after "--hex" belongs to it; "--" ends the options.
Args ParseArgs(const std::vector<std::string>& in, const std::set<std::string>& valued,
               const std::set<std::string>& flags) {
  Args a;
  bool optionsDone = false;
  for (size_t i = 0; i < in.size(); ++i) {
    const std::string& w = in[i];
    if (optionsDone || w.size() < 2 || w.compare(0, 2, "--") != 0) {
      a.words.push_back(w);
      continue;
    }
    if (w == "--") {
      optionsDone = true;
      continue;
    }
    if (w == "--hex" && valued.count(w)) {
      std::string hex;
      for (++i; i < in.size(); ++i) hex += in[i];
      a.values[w] = hex;
      break;
    }
    if (flags.count(w)) {
      a.flags.insert(w);
    } else if (valued.count(w)) {
      if (i + 1 >= in.size()) Reject(w + " needs a value");
      if (a.values.count(w)) Reject(w + " is given twice");
      a.values[w] = in[++i];
    } else {
      Reject("unknown option " + w);
    }
  }
  return a;
}

void WantWords(const Args& a, size_t min, size_t max, const char* shape) {
  if (a.words.size() < min || a.words.size() > max) Reject(std::string("usage: orvsim ") + shape);
}

uint64_t ParseNumber(const std::string& text, uint64_t max, const std::string& what) {
  uint64_t v = 0;
  size_t i = 0;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i >= text.size()) Reject(what + " must be a number, not \"" + text + "\"");
  for (; i < text.size(); ++i) {
    const int d = sim::HexDigit(text[i]);
    if (d < 0 || d >= base) Reject(what + " must be a number, not \"" + text + "\"");
    if (uint64_t(d) > max || v > (max - uint64_t(d)) / uint64_t(base)) {
      Reject(what + " is too large (at most " + std::to_string(max) + "): " + text);
    }
    v = v * uint64_t(base) + uint64_t(d);
  }
  return v;
}

uint32_t ParseDword(const std::string& text, const std::string& what) {
  return uint32_t(ParseNumber(text, 0xFFFFFFFFu, what));
}

// Hex bytes, optionally separated by spaces, commas or colons (as regedit shows them).
bool ParseHex(const std::string& text, std::vector<uint8_t>* out) {
  return sim::ParseHexBytes(text, " ,:", out);
}

// A typed value from TYPE DATA... (or TYPE --hex HEX). Printer data strings are ANSI.
void ParseTypedValue(const std::string& typeText, const Args& a, size_t first, bool ansi,
                     DWORD* type, std::vector<uint8_t>* bytes) {
  if (!sim::ParseRegType(typeText, type)) {
    Reject("unknown value type \"" + typeText +
           "\" (sz, expand_sz, multi_sz, dword, qword, binary, none or a number)");
  }
  const std::vector<std::string> data(a.words.begin() + long(first), a.words.end());
  bytes->clear();
  if (a.values.count("--hex")) {
    if (!data.empty()) Reject("give the data either as words or after --hex, not both");
    if (!ParseHex(a.Value("--hex"), bytes)) {
      Reject("--hex needs pairs of hex digits, not \"" + a.Value("--hex") + "\"");
    }
    return;
  }
  auto one = [&]() -> const std::string& {
    if (data.size() != 1) Reject(sim::RegTypeName(*type) + " takes one DATA word");
    return data[0];
  };
  switch (*type) {
    case REG_SZ:
    case 2: {  // REG_EXPAND_SZ
      const U16 text = sim::FromUtf8(one());
      if (text.find(u'\0') != U16::npos) Reject("a string cannot hold a NUL character");
      if (ansi) {
        const std::string raw = sim::ToAnsi(text);
        if (sim::FromAnsi(raw) != text) {
          Reject("\"" + data[0] + "\" holds characters Windows-1252 cannot spell");
        }
        bytes->assign(raw.begin(), raw.end());
        bytes->push_back(0);
      } else {
        sim::AppendUtf16Terminated(bytes, text);
      }
      return;
    }
    case REG_MULTI_SZ:
      for (const auto& s : data) {
        if (s.empty()) Reject("the strings of a multi_sz value cannot be empty");
        sim::AppendUtf16Terminated(bytes, sim::FromUtf8(s));
      }
      sim::AppendUtf16Terminated(bytes, {});  // the list's closing NUL
      return;
    case REG_DWORD: {
      const uint32_t v = ParseDword(one(), "a dword");
      for (int i = 0; i < 4; ++i) bytes->push_back(uint8_t(v >> (8 * i)));
      return;
    }
    case REG_QWORD: {
      const uint64_t v = ParseNumber(one(), UINT64_MAX, "a qword");
      for (int i = 0; i < 8; ++i) bytes->push_back(uint8_t(v >> (8 * i)));
      return;
    }
    default: {
      std::string hex;
      for (const auto& d : data) hex += d;
      if (!ParseHex(hex, bytes)) Reject("the data of " + sim::RegTypeName(*type) + " is hex bytes");
      return;
    }
  }
}

// ---- Validation against the machine ------------------------------------------------------------

// A Windows path on one of the machine's drives, made full: "C:\dir\file". Host paths,
// relative paths, device and UNC paths, and paths that climb above their drive are refused.
U16 MachinePath(sim::Machine& m, const std::string& text) {
  const U16 in = sim::FromUtf8(text);
  const bool drive = in.size() >= 3 && in[1] == u':' && (in[2] == u'\\' || in[2] == u'/') &&
                     ((in[0] >= u'A' && in[0] <= u'Z') || (in[0] >= u'a' && in[0] <= u'z'));
  if (!drive) {
    Reject("\"" + text + "\" is not a Windows path on a drive of the machine (C:\\...)");
  }
  const U16 letter = U16(1, in[0]) + u":";
  if (!sim::DirectoryExists(m, letter)) {
    Reject("\"" + text + "\" is outside the machine: it has no drive " + sim::ToUtf8(letter));
  }
  std::vector<U16> parts;
  U16 part;
  auto flush = [&] {
    if (part.empty() || part == u".") {
    } else if (part == u"..") {
      if (parts.empty()) Reject("\"" + text + "\" climbs above its drive");
      parts.pop_back();
    } else {
      for (char16_t c : part) {
        if (c < 0x20 || std::u16string_view(u"<>:\"|?*").find(c) != std::u16string_view::npos) {
          Reject("\"" + text + "\" holds a character Windows does not allow in a file name");
        }
      }
      if (part.back() == u'.' || part.back() == u' ') {
        Reject("\"" + text + "\" has a name ending in a dot or a space");
      }
      parts.push_back(part);
    }
    part.clear();
  };
  for (size_t i = 3; i < in.size(); ++i) {
    if (in[i] == u'\\' || in[i] == u'/') {
      flush();
    } else {
      part += in[i];
    }
  }
  flush();
  U16 out = letter;
  for (const auto& p : parts) out += u"\\" + p;
  if (out.size() > 32767) Reject("\"" + text + "\" is too long");
  return out;
}

U16 FilePathForChange(sim::Machine& m, const std::string& text) {
  const U16 path = MachinePath(m, text);
  if (path.size() <= 2) Reject("\"" + text + "\" names a drive, not a file");
  if (sim::DirectoryExists(m, path)) Reject("\"" + text + "\" is a directory");
  // No file may stand where a directory of the path has to be.
  for (size_t slash = path.find(u'\\', 3); slash != U16::npos;
       slash = path.find(u'\\', slash + 1)) {
    if (sim::FindFile(m, path.substr(0, slash))) {
      Reject("\"" + sim::ToUtf8(path.substr(0, slash)) + "\" is a file, not a directory");
    }
  }
  return path;
}

sim::SimFile& ExistingFile(sim::Machine& m, const std::string& text) {
  const U16 path = MachinePath(m, text);
  sim::SimFile* f = sim::FindFile(m, path);
  if (!f) Reject("there is no file " + sim::ToUtf8(path) + " on the machine");
  return *f;
}

sim::VersionInfo ParseVersion(const std::string& text) {
  sim::VersionInfo v;
  size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t dot = i < 3 ? text.find('.', pos) : text.size();
    if (dot == std::string::npos) Reject("a version is A.B.C.D, not \"" + text + "\"");
    const uint16_t n = uint16_t(ParseNumber(text.substr(pos, dot - pos), 0xFFFF, "a version part"));
    v.file[i] = v.product[i] = n;
    pos = dot + 1;
  }
  return v;
}

// Registry keys: HKLM\... or HKCU\... (long names too).
HKEY ParseRegKey(const std::string& text, U16* path) {
  const size_t slash = text.find('\\');
  std::string root = text.substr(0, slash);
  for (auto& c : root) c = char(std::toupper(static_cast<unsigned char>(c)));
  HKEY key;
  if (root == "HKLM" || root == "HKEY_LOCAL_MACHINE") {
    key = HKEY_LOCAL_MACHINE;
  } else if (root == "HKCU" || root == "HKEY_CURRENT_USER") {
    key = HKEY_CURRENT_USER;
  } else {
    Reject("a registry key starts with HKLM\\ or HKCU\\, not \"" + text + "\"");
  }
  *path = slash == std::string::npos ? U16() : sim::FromUtf8(text.substr(slash + 1));
  if (!path->empty()) {
    size_t start = 0;
    for (;;) {
      const size_t end = path->find(u'\\', start);
      if ((end == U16::npos ? path->size() : end) == start) {
        Reject("the registry key \"" + text + "\" has an empty name in it");
      }
      if (end == U16::npos) break;
      start = end + 1;
    }
  }
  return key;
}

sim::SimService& Spooler(sim::Machine& m) {
  for (auto& s : m.services.services) {
    if (sim::EqualFold(s.name, u"Spooler")) return s;
  }
  Reject("the machine has no spooler service");
}

sim::SimPrinter& ExistingPrinter(sim::Machine& m, const std::string& name) {
  sim::SimPrinter* p = sim::FindPrinter(m, sim::FromUtf8(name));
  if (!p) Reject("there is no printer \"" + name + "\"");
  return *p;
}

// The ports as the monitors spell them; every one must exist.
U16 KnownPorts(sim::Machine& m, const std::string& text) {
  const std::vector<U16> ports = sim::SplitPorts(sim::FromUtf8(text));
  if (ports.empty()) Reject("--port needs a port name");
  U16 out;
  for (const auto& want : ports) {
    const U16* found = nullptr;
    for (const auto& mon : m.spooler.monitors) {
      for (const auto& p : mon.ports) {
        if (sim::EqualFold(p, want)) found = &p;
      }
    }
    if (!found) Reject("there is no port \"" + sim::ToUtf8(want) + "\" on the machine");
    if (!out.empty()) out += u',';
    out += *found;
  }
  return out;
}

U16 KnownDriver(sim::Machine& m, const std::string& name) {
  sim::SimDriver* d = sim::FindDriver(m, sim::FromUtf8(name));
  if (!d) Reject("there is no printer driver \"" + name + "\" for Windows x64");
  return d->name;
}

U16 PrinterName(const std::string& text) {
  const U16 name = sim::FromUtf8(text);
  if (name.empty() || name.size() > 220 || name.find_first_of(u",\\!") != U16::npos) {
    Reject("\"" + text + "\" is not a valid printer name (1 to 220 characters, no , \\ or !)");
  }
  return name;
}

// ---- Showing ------------------------------------------------------------------------------------

std::string Quoted(const U16& s) {
  return "\"" + sim::ToUtf8(s) + "\"";
}

std::string ValueText(const json& v) {
  std::string type = v["type"].is_string() ? v["type"].get<std::string>() : v["type"].dump();
  for (const char* form : {"sz", "ansi"}) {
    if (v.contains(form)) {
      return type + " \"" + v[form].get<std::string>() + "\"" +
             (v.value("terminated", true) ? "" : " (no terminator)");
    }
  }
  if (v.contains("multiSz")) {
    std::string list;
    for (const auto& s : v["multiSz"])
      list += (list.empty() ? "\"" : ", \"") + s.get<std::string>() + "\"";
    return type + " [" + list + "]";
  }
  if (v.contains("dword")) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%08llx", (unsigned long long)v["dword"].get<uint64_t>());
    return type + " " + hex + " (" + v["dword"].dump() + ")";
  }
  if (v.contains("qword")) return type + " " + v["qword"].dump();
  return type + " hex: " + v.value("hex", std::string());
}

// PendingFileRenameOperations as pairs; an empty target means deletion.
json PendingOperations(sim::Machine& m) {
  json out = json::array();
  for (const auto& [from, to] : sim::PendingFileOperations(m)) {
    out.push_back({{"from", sim::ToUtf8(from)}, {"to", sim::ToUtf8(to)}});
  }
  return out;
}

void ShowRegKey(std::ostream& o, const json& key, const std::string& path) {
  if (key.value("accessDenied", false)) o << "  " << path << "  (access denied)\n";
  if (!key["values"].empty()) {
    o << "  " << path << "\n";
    for (const auto& v : key["values"]) {
      const std::string name = v["name"].is_string() ? v["name"].get<std::string>() : "?";
      o << "    " << (name.empty() ? "(default)" : name) << " = " << ValueText(v) << "\n";
    }
  }
  for (const auto& sub : key["subkeys"]) {
    const std::string name = sub["name"].is_string() ? sub["name"].get<std::string>() : "?";
    ShowRegKey(o, sub, path + "\\" + name);
  }
}

const std::vector<std::string> kSections = {"printers",  "monitors", "drivers", "services",
                                            "files",     "registry", "pending", "windows",
                                            "processes", "faults",   "clock"};

json SectionJson(sim::Machine& m, const json& all, const std::string& what) {
  if (what == "printers") {
    return {{"printers", all["spooler"]["printers"]},
            {"defaultPrinter", all["spooler"]["defaultPrinter"]}};
  }
  if (what == "monitors") return all["spooler"]["monitors"];
  if (what == "drivers") return all["spooler"]["drivers"];
  if (what == "services") return all["services"];
  if (what == "files") {
    return {
        {"dirs", all["fs"]["dirs"]}, {"files", all["fs"]["files"]}, {"locks", all["fs"]["locks"]}};
  }
  if (what == "registry") return all["registry"];
  if (what == "pending") return PendingOperations(m);
  if (what == "windows")
    return {{"windows", all["user"]["windows"]}, {"shiftDown", all["user"]["shiftDown"]}};
  if (what == "processes") return all["processes"];
  if (what == "faults") return {{"faults", all["faults"]}, {"ioFaults", all["fs"]["ioFaults"]}};
  return {{"clock", all["clock"]}, {"events", all["events"]}};
}

void ShowText(std::ostream& o, sim::Machine& m, const std::string& what) {
  if (what == "printers") {
    o << "Printers (" << m.spooler.printers.size() << "):\n";
    for (const auto& p : m.spooler.printers) {
      o << "  " << Quoted(p.name)
        << (sim::EqualFold(p.name, m.spooler.defaultPrinter) && !p.name.empty() ? "  (default)"
                                                                                : "")
        << "\n    driver " << Quoted(p.driverName) << ", port " << Quoted(p.portName) << "\n";
      if (!p.comment.empty()) o << "    comment " << Quoted(p.comment) << "\n";
      if (!p.location.empty()) o << "    location " << Quoted(p.location) << "\n";
      if (!p.shareName.empty()) o << "    share " << Quoted(p.shareName) << "\n";
      if (p.connection) o << "    connection to " << Quoted(p.serverName) << "\n";
      if (p.jobs) o << "    jobs " << p.jobs << "\n";
      for (const auto& k : p.data) {
        for (const auto& v : k.values) {
          o << "    data " << k.name << "\\" << v.name << " = "
            << ValueText(sim::TypedValueToJson(v.type, v.bytes, true)) << "\n";
        }
      }
    }
    if (m.spooler.defaultPrinter.empty()) o << "  no default printer\n";
  } else if (what == "monitors") {
    o << "Monitors (" << m.spooler.monitors.size() << "):\n";
    for (const auto& mon : m.spooler.monitors) {
      o << "  " << Quoted(mon.name) << "  module " << sim::ToUtf8(mon.dllName) << ", "
        << sim::ToUtf8(mon.environment) << "\n    ports:";
      for (const auto& p : mon.ports) o << " " << sim::ToUtf8(p);
      o << "\n";
    }
  } else if (what == "drivers") {
    o << "Drivers (" << m.spooler.drivers.size() << "):\n";
    for (const auto& d : m.spooler.drivers) {
      o << "  " << Quoted(d.name) << "  " << sim::ToUtf8(d.environment) << ", version " << d.version
        << "\n";
      for (auto [label, file] : {std::pair{"driver", &d.driverPath},
                                 {"data", &d.dataFile},
                                 {"config", &d.configFile},
                                 {"help", &d.helpFile}}) {
        if (!file->empty()) o << "    " << label << " " << sim::ToUtf8(*file) << "\n";
      }
      for (const auto& f : d.dependentFiles) o << "    dependent " << sim::ToUtf8(f) << "\n";
      if (!d.monitorName.empty()) o << "    monitor " << Quoted(d.monitorName) << "\n";
    }
  } else if (what == "services") {
    static const char* kStates[] = {"?",       "STOPPED",          "START_PENDING", "STOP_PENDING",
                                    "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};
    o << "Services:\n";
    for (const auto& s : m.services.services) {
      o << "  " << sim::ToUtf8(s.name) << "  " << (s.state < 8 ? kStates[s.state] : "?")
        << (s.disabled ? ", disabled" : "") << ", starts in " << s.startDelayMs << " ms, stops in "
        << s.stopDelayMs << " ms";
      if (s.stopRefusal) o << ", refuses to stop with " << s.stopRefusal;
      o << " (started " << s.starts << ", stopped " << s.stops << " times)\n";
    }
  } else if (what == "files") {
    o << "Files (" << m.fs.files.size() << "):\n";
    for (const auto& [key, f] : m.fs.files) {
      o << "  " << sim::ToUtf8(f.path) << "  " << f.data.size() << " bytes";
      if (f.version) {
        const auto& v = f.version->product;
        o << ", version " << v[0] << "." << v[1] << "." << v[2] << "." << v[3];
      }
      if (f.attributes != 0x20) o << ", attributes 0x" << std::hex << f.attributes << std::dec;
      for (const auto& l : m.fs.locks) {
        if (sim::FoldPath(l.path) == key) {
          o << ", " << (l.module ? "loaded" : "held open") << " by process " << l.pid;
        }
      }
      if (sim::HeldBySpooler(m, f.path)) o << ", held by the spooler";
      o << "\n";
    }
  } else if (what == "registry") {
    const json r = sim::MachineToJson(m)["registry"];
    o << "Registry:\n";
    ShowRegKey(o, r["hklm"], "HKLM");
    ShowRegKey(o, r["hkcu"], "HKCU");
  } else if (what == "pending") {
    const json ops = PendingOperations(m);
    o << "Pending file operations (" << ops.size() << "):\n";
    for (const auto& op : ops) {
      const std::string to = op["to"].get<std::string>();
      o << "  " << op["from"].get<std::string>() << (to.empty() ? "  delete" : "  -> " + to)
        << "\n";
    }
  } else if (what == "windows") {
    o << "Windows (" << m.user.windows.size() << "):\n";
    for (const auto& w : m.user.windows) {
      o << "  0x" << std::hex << w.handle << std::dec << "  class " << Quoted(w.className)
        << ", title " << Quoted(w.title) << ", process " << w.ownerPid << ", " << w.behavior
        << "\n";
    }
    o << "SHIFT is " << (m.user.shiftDown ? "down" : "up") << "\n";
  } else if (what == "processes") {
    o << "Processes:\n";
    for (const auto& p : m.processes.processes) {
      o << "  " << p.pid << "  " << p.program << "  " << sim::ToUtf8(p.image) << "  "
        << (p.running ? "running" : "ended with " + std::to_string(p.exitCode));
      if (p.program == "tray")
        o << ", mode " << p.mode << ", exit delay " << p.exitDelayMs << " ms";
      o << "\n";
    }
    o << "Mutexes:\n";
    for (const auto& mx : m.processes.mutexes) {
      o << "  " << (mx.name.empty() ? "(unnamed)" : mx.name) << "  "
        << (mx.ownerPid ? "owned by " + std::to_string(mx.ownerPid) : std::string("not owned"))
        << (mx.abandoned ? ", abandoned" : "") << "\n";
    }
    o << "Tray programs start in mode " << m.processes.trayMode << "\n";
  } else if (what == "faults") {
    o << "Faults (" << m.faults.size() + m.fs.ioFaults.size() << "):\n";
    for (const auto& f : m.faults) {
      o << "  " << f.api;
      if (f.delayMs) o << " takes " << f.delayMs << " ms" << (f.error ? " and" : "");
      if (f.error) o << " fails with " << f.error;
      if (f.skip) o << " after " << f.skip << " more calls pass";
      o << ", "
        << (f.remaining < 0 ? std::string("always") : std::to_string(f.remaining) + " more times")
        << "\n";
    }
    for (const auto& f : m.fs.ioFaults) {
      o << "  " << f.op << " of " << sim::ToUtf8(f.path) << ": " << f.mode << "\n";
    }
  } else if (what == "clock") {
    o << "Clock: " << m.now << " ms since boot, tick count " << (m.tickBase + m.now) << "\n";
    for (const auto& e : m.events) {
      o << "  at " << e.at << " ms: " << e.kind << " " << e.args.dump() << "\n";
    }
  }
}

// ---- Commands
// ------------------------------------------------------------------------------------

struct Context {
  sim::Machine& m;
  const Args& a;
  std::ostream& out;
};

struct Command {
  std::string name;
  sim::MachineAccess access;
  std::set<std::string> valued;
  std::set<std::string> flags;
  std::function<void(Context&)> run;
};

void SpoolerCommand(Context& c) {
  WantWords(c.a, 1, 3, "spooler stop|start|disable|enable|slow MS [MS]|refuse-stop ERROR");
  const std::string& what = c.a.words[0];
  sim::SimService& s = Spooler(c.m);
  auto cancelPending = [&] {
    std::erase_if(c.m.events, [&](const sim::TimedEvent& e) {
      return e.kind.rfind("service.", 0) == 0 &&
             sim::EqualFold(sim::FromUtf8(e.args.value("name", std::string())), s.name);
    });
  };
  if (what == "stop" || what == "start") {
    WantWords(c.a, 1, 1, "spooler stop|start");
    if (what == "start" && s.disabled) Reject("the spooler is disabled (orvsim spooler enable)");
    const DWORD target = what == "stop" ? SERVICE_STOPPED : SERVICE_RUNNING;
    cancelPending();
    if (s.state != target) ++(target == SERVICE_STOPPED ? s.stops : s.starts);
    s.state = target;
    if (target == SERVICE_STOPPED) c.m.spooler.loadedModules.clear();
    c.out << "spooler " << (what == "stop" ? "stopped" : "running") << "\n";
  } else if (what == "disable" || what == "enable") {
    WantWords(c.a, 1, 1, "spooler disable|enable");
    s.disabled = what == "disable";
    c.out << "spooler " << what << "d\n";
  } else if (what == "slow") {
    WantWords(c.a, 2, 3, "spooler slow START_MS [STOP_MS]");
    const uint32_t start = ParseDword(c.a.words[1], "START_MS");
    const uint32_t stop =
        c.a.words.size() > 2 ? ParseDword(c.a.words[2], "STOP_MS") : s.stopDelayMs;
    s.startDelayMs = start;
    s.stopDelayMs = stop;
    c.out << "spooler starts in " << start << " ms, stops in " << stop << " ms\n";
  } else if (what == "refuse-stop") {
    WantWords(c.a, 2, 2, "spooler refuse-stop ERROR");
    s.stopRefusal = ParseDword(c.a.words[1], "ERROR");
    c.out << (s.stopRefusal ? "spooler refuses to stop" : "spooler accepts stop requests") << "\n";
  } else {
    Reject("unknown spooler change \"" + what + "\"");
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
    queues.push_back(std::move(p));
  }
  for (auto& p : queues) sim::AddSimPrinter(c.m, std::move(p));
  if (defaultIndex) c.m.spooler.defaultPrinter = sim::FromUtf8(Numbered(pattern, defaultIndex));
  c.out << count << " printers added, \"" << Numbered(pattern, 1) << "\" to \""
        << Numbered(pattern, count) << "\"\n";
}

void PrinterCommand(Context& c) {
  if (c.a.words.empty()) {
    Reject("usage: orvsim printer add|add-many|remove|set|data|data-delete NAME ...");
  }
  const std::string& what = c.a.words[0];
  if (what == "add-many") {
    AddManyPrinters(c);
  } else if (what == "add") {
    WantWords(c.a, 2, 2, "printer add NAME --driver DRIVER --port PORT [...]");
    const U16 name = PrinterName(c.a.words[1]);
    if (sim::FindPrinter(c.m, name)) Reject("a printer \"" + c.a.words[1] + "\" exists already");
    if (!c.a.Has("--driver") || !c.a.Has("--port")) Reject("printer add needs --driver and --port");
    sim::SimPrinter p;
    p.name = name;
    SetPrinterFields(c, p);
    sim::AddSimPrinter(c.m, std::move(p));
    c.out << "printer \"" << c.a.words[1] << "\" added\n";
  } else if (what == "remove") {
    WantWords(c.a, 2, 2, "printer remove NAME");
    sim::SimPrinter& p = ExistingPrinter(c.m, c.a.words[1]);
    if (sim::EqualFold(p.name, c.m.spooler.defaultPrinter)) c.m.spooler.defaultPrinter.clear();
    const uint32_t id = p.id;
    erase_if(c.m.spooler.printers, [&](const sim::SimPrinter& q) { return q.id == id; });
    c.out << "printer \"" << c.a.words[1] << "\" removed\n";
  } else if (what == "set") {
    WantWords(c.a, 2, 2, "printer set NAME [--driver D] [--port P] [--comment T] [--location T]");
    sim::SimPrinter& p = ExistingPrinter(c.m, c.a.words[1]);
    if (!c.a.Has("--driver") && !c.a.Has("--port") && !c.a.Has("--comment") &&
        !c.a.Has("--location")) {
      Reject("printer set needs one of --driver, --port, --comment, --location");
    }
    sim::SimPrinter changed = p;
    SetPrinterFields(c, changed);
    p = std::move(changed);
    c.out << "printer \"" << c.a.words[1] << "\" changed\n";
  } else if (what == "data") {
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
  } else if (what == "data-delete") {
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
  } else {
    Reject("unknown printer change \"" + what + "\"");
  }
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
  const std::string& what = c.a.words[0];
  if (what == "set") {
    if (c.a.words.size() < 4) Reject("usage: orvsim reg set KEY VALUE TYPE DATA...");
    U16 path;
    const HKEY root = ParseRegKey(c.a.words[1], &path);
    DWORD type = 0;
    std::vector<uint8_t> bytes;
    ParseTypedValue(c.a.words[3], c.a, 4, false, &type, &bytes);
    sim::SetRegValue(c.m, root, path, sim::FromUtf8(c.a.words[2]), type, std::move(bytes));
    c.out << "registry value set\n";
  } else if (what == "delete") {
    WantWords(c.a, 3, 3, "reg delete KEY VALUE");
    U16 path;
    const HKEY root = ParseRegKey(c.a.words[1], &path);
    if (!sim::DeleteRegValue(c.m, root, path, sim::FromUtf8(c.a.words[2]))) {
      Reject("there is no value \"" + c.a.words[2] + "\" in " + c.a.words[1]);
    }
    c.out << "registry value deleted\n";
  } else {
    Reject("unknown registry change \"" + what + "\"");
  }
}

DWORD ParseAttributes(const std::string& text) {
  if (!text.empty() && text[0] >= '0' && text[0] <= '9') return ParseDword(text, "--attributes");
  static const std::map<std::string, DWORD> kNames = {
      {"readonly", 0x1}, {"hidden", 0x2}, {"system", 0x4}, {"archive", 0x20}, {"normal", 0x80}};
  DWORD out = 0;
  std::stringstream in(text);
  std::string name;
  while (std::getline(in, name, ',')) {
    auto it = kNames.find(name);
    if (it == kNames.end()) Reject("unknown file attribute \"" + name + "\"");
    out |= it->second;
  }
  return out;
}

DWORD ParseAccess(const std::string& text) {
  if (text == "read") return GENERIC_READ;
  if (text == "write") return GENERIC_WRITE;
  if (text == "readwrite") return GENERIC_READ | GENERIC_WRITE;
  Reject("--access is read, write or readwrite, not \"" + text + "\"");
}

DWORD ParseShare(const std::string& text) {
  if (text == "none") return 0;
  static const std::map<std::string, DWORD> kNames = {
      {"read", FILE_SHARE_READ}, {"write", FILE_SHARE_WRITE}, {"delete", FILE_SHARE_DELETE}};
  DWORD out = 0;
  std::stringstream in(text);
  std::string name;
  while (std::getline(in, name, ',')) {
    auto it = kNames.find(name);
    if (it == kNames.end()) Reject("--share is none or a list of read, write, delete");
    out |= it->second;
  }
  return out;
}

void FileCommand(Context& c) {
  if (c.a.words.size() != 2) Reject("usage: orvsim file put|delete|lock|unlock PATH [...]");
  const std::string& what = c.a.words[0];
  const std::string& text = c.a.words[1];
  if (what == "put") {
    const U16 path = FilePathForChange(c.m, text);
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
  } else if (what == "delete") {
    const sim::SimFile& f = ExistingFile(c.m, text);
    const U16 path = f.path;
    sim::RemoveFile(c.m, path);
    c.out << sim::ToUtf8(path) << " deleted\n";
  } else if (what == "lock") {
    const sim::SimFile& f = ExistingFile(c.m, text);
    const DWORD access = ParseAccess(c.a.Value("--access", "read"));
    const DWORD share = ParseShare(c.a.Value("--share", "none"));
    const uint32_t pid = sim::LockFile(c.m, f.path, access, share, c.a.Has("--module"));
    c.out << sim::ToUtf8(f.path) << " locked by process " << pid << "\n";
  } else if (what == "unlock") {
    const sim::SimFile& f = ExistingFile(c.m, text);
    const uint64_t after =
        c.a.Has("--after") ? ParseNumber(c.a.Value("--after"), UINT32_MAX, "--after") : 0;
    if (!sim::UnlockFile(c.m, f.path, after)) Reject(sim::ToUtf8(f.path) + " is not locked");
    c.out << sim::ToUtf8(f.path) << (after ? " will be unlocked" : " unlocked") << "\n";
  } else {
    Reject("unknown file change \"" + what + "\"");
  }
}

void TrayCommand(Context& c) {
  WantWords(c.a, 1, 2, "tray start [--mode MODE] [--exit-delay MS] | tray mode MODE");
  const std::string& what = c.a.words[0];
  const uint32_t delay =
      c.a.Has("--exit-delay") ? ParseDword(c.a.Value("--exit-delay"), "--exit-delay") : 0;
  if (what == "start") {
    WantWords(c.a, 1, 1, "tray start [--mode MODE] [--exit-delay MS]");
    const std::string mode = c.a.Value("--mode", "normal");
    if (!sim::IsTrayMode(mode))
      Reject("unknown tray mode \"" + mode + "\" (normal, ignore, exit-holding)");
    const uint32_t pid = sim::StartTray(c.m, mode, delay);
    c.out << "tray program started as process " << pid << "\n";
  } else if (what == "mode") {
    WantWords(c.a, 2, 2, "tray mode MODE [--exit-delay MS]");
    if (!sim::IsTrayMode(c.a.words[1])) {
      Reject("unknown tray mode \"" + c.a.words[1] + "\" (normal, ignore, exit-holding)");
    }
    c.m.processes.trayMode = c.a.words[1];
    c.m.processes.trayExitDelayMs = delay;
    c.out << "tray programs start in mode " << c.a.words[1] << "\n";
  } else {
    Reject("unknown tray command \"" + what + "\"");
  }
}

void FaultCommand(Context& c) {
  if (c.a.words.empty())
    Reject(
        "usage: orvsim fault add API ERROR [--nth K] [--times N | --always] [--delay MS] | fault "
        "clear");
  if (c.a.words[0] == "clear") {
    WantWords(c.a, 1, 1, "fault clear");
    sim::ClearFaults(c.m);
    c.out << "faults cleared\n";
    return;
  }
  if (c.a.words[0] != "add") Reject("unknown fault command \"" + c.a.words[0] + "\"");
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

std::vector<Command> Commands() {
  using sim::MachineAccess;
  const auto change = MachineAccess::kChange;
  return {
      {"spooler", change, {}, {}, SpoolerCommand},
      {"printer",
       change,
       {"--driver", "--port", "--comment", "--location", "--key", "--hex", "--subkey", "--default"},
       {},
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
      {"show",
       MachineAccess::kRead,
       {},
       {"--json"},
       [](Context& c) {
         std::vector<std::string> what = c.a.words;
         if (what.empty() || (what.size() == 1 && what[0] == "all")) what = kSections;
         for (const auto& w : what) {
           if (std::find(kSections.begin(), kSections.end(), w) == kSections.end()) {
             Reject("cannot show \"" + w +
                    "\"; choose from printers monitors drivers services "
                    "files registry pending windows processes faults clock all");
           }
         }
         if (c.a.Has("--json")) {
           const json all = sim::MachineToJson(c.m);
           json out = json::object();
           for (const auto& w : what) out[w] = SectionJson(c.m, all, w);
           c.out << out.dump(2) << "\n";
         } else {
           for (const auto& w : what) ShowText(c.out, c.m, w);
         }
       }},
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

int main(int argc, char** argv) {
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
