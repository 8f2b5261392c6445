// The print spooler's objects: printers (local queues and connections), drivers per
// environment and version, monitors with their ports, print processors, printer data and the
// default printer. Plain data throughout, so a machine can be saved and loaded as it is.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/text.h"

namespace sim {

// One printer-data value, stored as the bytes written (a string written without its
// terminator stays without it).
struct PrinterDataValue {
  U16 name;  // compared ignoring case
  DWORD type = 0;
  std::vector<uint8_t> bytes;
};

// A printer-data key. The plain values (SetPrinterData) live under "PrinterDriverData", as
// Windows keeps them, so the plain and the keyed calls see the same values.
struct PrinterDataKey {
  U16 name;  // may hold "\" for subkeys; compared ignoring case
  std::vector<PrinterDataValue> values;
};

inline constexpr const char16_t* kPlainDataKey = u"PrinterDriverData";

struct SimPrinter {
  uint32_t id = 0;  // stable identity: open handles follow a printer through renames
  U16 name;
  U16 serverName;  // connections only ("\\server")
  U16 shareName;
  U16 portName;  // one or more port names separated by commas, as the ports spell them
  U16 driverName;
  U16 comment;
  U16 location;
  U16 sepFile;
  U16 printProcessor = u"winprint";
  U16 datatype = u"RAW";
  U16 parameters;
  DWORD attributes = 0x40;  // PRINTER_ATTRIBUTE_LOCAL
  DWORD priority = 1;
  DWORD defaultPriority = 0;
  DWORD startTime = 0;
  DWORD untilTime = 0;
  DWORD status = 0;   // PRINTER_STATUS_*: paused, pending deletion
  uint32_t jobs = 0;  // queued jobs; a purge empties the queue
  bool connection = false;
  std::vector<PrinterDataKey> data;
  // The printing defaults as last set, public part and the driver's; empty: the driver's
  // own defaults, made when asked for.
  std::vector<uint8_t> devMode;
  // Self-relative security descriptor as last set; empty: the spooler's default.
  std::vector<uint8_t> security;
};

struct SimDriver {
  U16 name;
  U16 environment = u"Windows x64";
  DWORD version = 3;
  U16 driverPath;  // full paths of the installed copies
  U16 dataFile;
  U16 configFile;
  U16 helpFile;
  std::vector<U16> dependentFiles;
  U16 monitorName;
  U16 defaultDataType;
  std::vector<U16> previousNames;
  U16 mfgName;
  U16 oemUrl;
  U16 hardwareId;
  U16 provider;
  uint64_t driverDate = 0;  // FILETIME as one number
  uint64_t driverVersion = 0;
};

// A registered port monitor. Its module lies in the system directory. A monitor added
// through AddMonitorW reports one port named after the monitor (as a virtual-printer
// monitor such as "Name:" does); the built-in ones list theirs.
struct SimMonitor {
  U16 name;
  U16 environment = u"Windows x64";
  U16 dllName;  // file name in the system directory, as registered
  std::vector<U16> ports;
};

// The printers in the order the spooler lists them, indexed by folded name, by id and by the
// driver they use, so that a print server's thousands of queues cost each call no more than a
// few would. Reads through a const table leave the indexes alone. Any non-const access may
// change a printer's name, id or driver behind their back, so it drops them and the next
// indexed lookup rebuilds them: tests and orvsim edit printers directly as before. The
// spooler's own calls go through the indexed operations, which keep them in step.
class PrinterTable {
 public:
  using List = std::list<SimPrinter>;
  using value_type = SimPrinter;
  using iterator = List::iterator;
  using const_iterator = List::const_iterator;

  PrinterTable() = default;
  PrinterTable(std::initializer_list<SimPrinter> printers) : list_(printers) {}
  PrinterTable(const PrinterTable& other) : list_(other.list_) {}
  PrinterTable& operator=(const PrinterTable& other);
  PrinterTable(PrinterTable&& other) noexcept : list_(std::move(other.list_)) { other.Drop(); }
  PrinterTable& operator=(PrinterTable&& other) noexcept;

  size_t size() const { return list_.size(); }
  bool empty() const { return list_.empty(); }
  const_iterator begin() const { return list_.begin(); }
  const_iterator end() const { return list_.end(); }
  const SimPrinter& front() const { return list_.front(); }
  const SimPrinter& back() const { return list_.back(); }
  const SimPrinter& operator[](size_t i) const;  // walks the list: for tests

  iterator begin() { return Drop(), list_.begin(); }
  iterator end() { return Drop(), list_.end(); }
  SimPrinter& front() { return Drop(), list_.front(); }
  SimPrinter& back() { return Drop(), list_.back(); }
  SimPrinter& operator[](size_t i);
  void clear() { Drop(), list_.clear(); }
  void push_back(SimPrinter p) { Drop(), list_.push_back(std::move(p)); }
  void pop_back() { Drop(), list_.pop_back(); }
  iterator insert(const_iterator at, SimPrinter p) {
    return Drop(), list_.insert(at, std::move(p));
  }
  iterator erase(const_iterator at) { return Drop(), list_.erase(at); }
  template <class Pred>
  friend size_t erase_if(PrinterTable& t, Pred pred) {
    t.Drop();
    return std::erase_if(t.list_, pred);
  }

  // Indexed operations. Reindex gives an id to each printer without one of its own (none, or
  // one another printer has), drawing from *nextId; the others need an indexed table.
  bool Indexed() const { return indexed_; }
  void Reindex(uint32_t* nextId);
  SimPrinter* Find(std::u16string_view name);  // the first printer of that name
  // As Find, for a caller that may change what the indexes hold: drops them.
  SimPrinter* FindToEdit(std::u16string_view name) {
    SimPrinter* p = Find(name);
    Drop();
    return p;
  }
  SimPrinter* FindId(uint32_t id);
  // Whether two printers share a name (only a machine edited by hand has such).
  bool DuplicateNames() const { return duplicateNames_; }
  size_t DriverUsers(std::u16string_view driver) const;
  // How many shared printers publish that share name.
  size_t ShareUsers(std::u16string_view share) const;
  SimPrinter& Add(SimPrinter p);  // at the end; its id must be new
  void Remove(const SimPrinter& p);
  void Replace(SimPrinter& p, SimPrinter updated);  // the id stays

 private:
  void Drop() { indexed_ = false; }
  void IndexOne(iterator it);
  void CountShare(const SimPrinter& p, int step);

  List list_;
  bool indexed_ = false;
  bool duplicateNames_ = false;
  std::unordered_map<U16, iterator> byName_;  // folded name
  std::unordered_map<uint32_t, iterator> byId_;
  std::unordered_map<U16, size_t> driverUsers_;  // folded driver name
  std::unordered_map<U16, size_t> shares_;       // folded share name of the shared ones
};

struct SpoolerModel {
  PrinterTable printers;
  std::vector<SimDriver> drivers;
  std::vector<SimMonitor> monitors;
  std::vector<U16> printProcessors = {u"winprint"};
  U16 defaultPrinter;  // empty: no default printer
  // Root of the printer-driver directories: <root>\<env dir>\<version>\ (x64, W32X86).
  U16 driverRoot = u"C:\\Windows\\system32\\spool\\drivers";
  uint32_t nextPrinterId = 1;
  // Modules of monitors removed while the spooler ran: it keeps them loaded until it stops.
  std::vector<U16> loadedModules;
};

struct Machine;
// Direct access for tests, orvsim and the other models. Names compare ignoring case, as
// the spooler compares them.
SimPrinter* FindPrinter(Machine& m, std::u16string_view name);
// Whether a printer has that name; unlike FindPrinter, leaves the indexes in place.
bool PrinterExists(Machine& m, std::u16string_view name);
SimDriver* FindDriver(Machine& m, std::u16string_view name,
                      std::u16string_view environment = u"Windows x64");
SimMonitor* FindMonitor(Machine& m, std::u16string_view name);
// Adds a printer as it stands (no checks), giving it an id; returns it.
SimPrinter& AddSimPrinter(Machine& m, SimPrinter printer);
// The printing defaults a driver build makes for a new printer: its private part grew from
// 16 to 24 bytes with build 2300 and starts with the build that wrote it.
std::vector<uint8_t> DriverDevMode(Machine& m, const SimPrinter& p);
// What GetPrinterW reports: what was set, else the driver's or the spooler's defaults.
std::vector<uint8_t> PrinterDevMode(Machine& m, const SimPrinter& p);
const std::vector<uint8_t>& DefaultPrinterSecurity();
// The same with everyone's right to print taken away: only administrators print.
std::vector<uint8_t> RestrictedPrinterSecurity();
// The length of a self-relative security descriptor within `limit` bytes, or 0 when it is
// not a well-formed one.
DWORD SelfRelativeLength(const void* sd, size_t limit);
// The printer's data key, made when `create` is set, or nullptr.
PrinterDataKey* FindDataKey(SimPrinter& p, std::u16string_view key, bool create);
// Sets a value of the key, in place of one of the same name.
void PutPrinterData(PrinterDataKey& k, std::u16string_view name, DWORD type,
                    std::vector<uint8_t> bytes);
// The printer's value, or nullptr. key "" means the plain values.
const PrinterDataValue* FindPrinterData(const SimPrinter& p, std::u16string_view key,
                                        std::u16string_view value);

}  // namespace sim
