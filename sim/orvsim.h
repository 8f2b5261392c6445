// orvsim's parts: the command line, checks of what it names against the machine, showing and
// changing the machine. Every change is checked in full before anything is touched; a mistake
// throws a Rejection, and the machine is saved only when the whole command succeeded.
#pragma once
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "sim/machine.h"

namespace orvsim {

using json = nlohmann::json;
using sim::U16;

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

[[noreturn]] inline void Reject(const std::string& message) {
  throw Rejection{message};
}

// Splits options from words. Everything after "--hex" belongs to it; "--" ends the options.
Args ParseArgs(const std::vector<std::string>& in, const std::set<std::string>& valued,
               const std::set<std::string>& flags);
void WantWords(const Args& a, size_t min, size_t max, const char* shape);
// Decimal or 0x... hex, at most `max`; `what` names it in the refusal.
uint64_t ParseNumber(const std::string& text, uint64_t max, const std::string& what);
uint32_t ParseDword(const std::string& text, const std::string& what);
// A typed value from TYPE DATA... (or TYPE --hex HEX), the data from words[first] on. Printer
// data strings are ANSI.
void ParseTypedValue(const std::string& typeText, const Args& a, size_t first, bool ansi,
                     DWORD* type, std::vector<uint8_t>* bytes);

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
  const Args& a;
  std::ostream& out;
};

// One word after a command and what it does, as a table of them per command.
struct Subcommand {
  const char* word;
  void (*run)(Context& c);
};
// Runs the handler c.a.words[0] names; any other word is refused as an unknown `kind`
// ("spooler change").
void RunSubcommand(Context& c, std::span<const Subcommand> table, const std::string& kind);

// show [WHAT...] [--json]
void ShowCommand(Context& c);

// The commands that change the machine.
void SpoolerCommand(Context& c);
void PrinterCommand(Context& c);
void DefaultCommand(Context& c);
void RegCommand(Context& c);
void FileCommand(Context& c);
void TrayCommand(Context& c);
void FaultCommand(Context& c);

}  // namespace orvsim
