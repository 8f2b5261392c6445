// orvsim show: the machine as text, or as JSON for scripts, by section.
#include <algorithm>
#include <cstdio>

#include "sim/orvsim.h"
#include "sim/persist.h"

namespace orvsim {
namespace {

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
    return {{"windows", all["user"]["windows"]},
            {"shiftDown", all["user"]["shiftDown"]},
            {"windowStationVisible", all["user"]["windowStationVisible"]}};
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
      if (!p.sepFile.empty()) o << "    separator " << Quoted(p.sepFile) << "\n";
      if (p.priority != 1 || p.startTime || p.untilTime) {
        o << "    priority " << p.priority << ", hours " << p.startTime << "-" << p.untilTime
          << "\n";
      }
      if (!p.devMode.empty()) {
        const auto* dm = reinterpret_cast<const DEVMODEW*>(p.devMode.data());
        o << "    defaults orientation " << dm->dmOrientation << ", paper " << dm->dmPaperSize
          << ", driver build " << dm->dmDriverVersion << "\n";
      }
      if (!p.security.empty()) {
        o << "    permissions "
          << (p.security == sim::DefaultPrinterSecurity() ? "as made" : "its own") << "\n";
      }
      if (p.connection) o << "    connection to " << Quoted(p.serverName) << "\n";
      if (p.jobs) o << "    jobs " << p.jobs << "\n";
      for (const auto& k : p.data) {
        for (const auto& v : k.values) {
          o << "    data " << sim::ToUtf8(k.name) << "\\" << sim::ToUtf8(v.name) << " = "
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
    ShowRegKey(o, r["hku"], "HKU");
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
    o << "The window station is " << (m.user.windowStationVisible ? "visible" : "hidden") << "\n";
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
    for (const json e : m.events) {
      o << "  at " << e["at"] << " ms: " << e["kind"].get<std::string>() << " " << e["args"].dump()
        << "\n";
    }
  }
}

void ShowCommand(Context& c) {
  std::vector<std::string> what = c.a.words;
  if (what.empty() || (what.size() == 1 && what[0] == "all")) what = kSections;
  for (const auto& w : what) {
    if (std::find(kSections.begin(), kSections.end(), w) == kSections.end()) {
      Reject("cannot show \"" + w +
             "\"; choose from printers monitors drivers services "
             "files registry pending windows processes faults clock all");
    }
  }
  if (c.a.json) {
    const json all = sim::MachineToJson(c.m);
    json out = json::object();
    for (const auto& w : what) out[w] = SectionJson(c.m, all, w);
    c.out << out.dump(2) << "\n";
  } else {
    for (const auto& w : what) ShowText(c.out, c.m, w);
  }
}

}  // namespace

void AddShowCommand(CLI::App& app, Given& g, Chosen& chosen) {
  CLI::App* show = Command(&app, chosen, "show", "show the machine, as text or as JSON",
                           ShowCommand, sim::MachineAccess::kRead);
  show->add_option("WHAT", g.words,
                   "printers monitors drivers services files registry pending windows processes "
                   "faults clock, or all (the default)");
  show->add_flag("--json", g.json, "one JSON object keyed by section, for scripts");
}

}  // namespace orvsim
