// orvsim's parts: the command line, checks of what it names against the machine, showing and
// changing the machine. Every change is checked in full before anything is touched; a mistake
// throws a Rejection, and the machine is saved only when the whole command succeeded.
#pragma once
#include <cstdint>
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "sim/machine.h"
#include "sim/persist.h"

namespace orvsim {

using json = nlohmann::json;
using sim::U16;

// ---- The command line ------------------------------------------------------------------------

// What the command line gave: the words each command names, and its options (unset when not
// given). Numbers stay text until a command reads them, so that each is refused in its own words.
struct Given {
  using Opt = std::optional<std::string>;
  std::string name, value, type, path, api, error, word, number, pattern;
  Opt second;                      // an optional second number (spooler slow's STOP_MS)
  std::vector<std::string> words;  // DATA... of a value, WHAT... of show
  Opt driver, port, comment, location, key, hex, subkey, defaultIndex, after, share, separator,
      priority, hours, defaults, from, text, version, fileVersion, attributes, access, shareMode,
      mode, exitDelay, releaseAfter, abandonAfter, nth, times, delay;
  bool restricted = false, none = false, module = false, ignoresClose = false, always = false,
       json = false, force = false;
};

struct Rejection {
  std::string message;
};

[[noreturn]] inline void Reject(const std::string& message) {
  throw Rejection{message};
}

// Decimal or 0x... hex, at most `max`; `what` names it in the refusal.
uint64_t ParseNumber(const std::string& text, uint64_t max, const std::string& what);
uint32_t ParseDword(const std::string& text, const std::string& what);
// A typed value from TYPE DATA... (or TYPE --hex HEX). Printer data strings are ANSI.
void ParseTypedValue(const Given& a, bool ansi, DWORD* type, std::vector<uint8_t>* bytes);

// ---- Validation against the machine ------------------------------------------------------------

// A Windows path on one of the machine's drives, made full: "C:\dir\file". Host paths,
// relative paths, device and UNC paths, and paths that climb above their drive are refused.
U16 MachinePath(sim::Machine& m, const std::string& text);
// A path a file may be written at: no directory there, no file where a directory must be.
U16 FilePathForChange(sim::Machine& m, const std::string& text);
sim::SimFile& ExistingFile(sim::Machine& m, const std::string& text);
sim::VersionInfo ParseVersion(const std::string& text);
// Registry keys: HKLM\... or HKCU\... (long names too).
HKEY ParseRegKey(const std::string& text, U16* path);
sim::SimService& Spooler(sim::Machine& m);
sim::SimPrinter& ExistingPrinter(sim::Machine& m, const std::string& name);
// The ports as the monitors spell them; every one must exist.
U16 KnownPorts(sim::Machine& m, const std::string& text);
U16 KnownDriver(sim::Machine& m, const std::string& name);
U16 PrinterName(const std::string& text);
DWORD ParseAttributes(const std::string& text);
DWORD ParseAccess(const std::string& text);
DWORD ParseShare(const std::string& text);

// ---- Commands ---------------------------------------------------------------------------------

struct Context {
  sim::Machine& m;
  const Given& a;
  std::ostream& out;
};

using Handler = void (*)(Context& c);

// The command the line chose, as its parser sets it; a null `run` makes a new machine.
struct Chosen {
  Handler run = nullptr;
  sim::MachineAccess access = sim::MachineAccess::kChange;
};

// A command word under `parent` that, when chosen, runs `run` on the machine.
CLI::App* Command(CLI::App* parent, Chosen& chosen, const char* name, const char* description,
                  Handler run, sim::MachineAccess access = sim::MachineAccess::kChange);

// The words of show, and of the commands that change the machine.
void AddShowCommand(CLI::App& app, Given& g, Chosen& chosen);
void AddChangeCommands(CLI::App& app, Given& g, Chosen& chosen);

}  // namespace orvsim
