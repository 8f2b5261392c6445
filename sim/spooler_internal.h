// The spooler's shared parts, for its entry points in spooler_printers.cpp,
// spooler_drivers.cpp and spooler_monitors.cpp: environments, the common start of every call,
// output buffers with records and their strings, record fillers, ports, lookups and printer
// handles.
#pragma once
#include <cstring>
#include <string>
#include <vector>

#include "sim/machine.h"

namespace sim::winspool {

inline constexpr std::u16string_view kNativeEnvironment = u"Windows x64";

struct Environment {
  std::u16string_view name;
  std::u16string_view dir;  // under the driver root
};
// NULL or empty names the spooler's own environment; an unknown name gives nullptr.
const Environment* ResolveEnvironment(LPCWSTR env);

const SimService* SpoolerService(const Machine& m);
// The common start of every entry point: an armed fault, then the service itself.
DWORD Begin(const char* api, std::string args = {});
// Only the local machine is served: no server name, or an empty one.
bool LocalServer(LPCWSTR server);

// ---------------------------------------------------------------------------------------
// Output buffers: records from the start, strings packed downward from the end.

class Strings {
 public:
  // A null buffer only counts the bytes the strings need.
  Strings(BYTE* buffer, size_t size) : buffer_(buffer), top_(size & ~size_t(1)) {}

  LPWSTR Put(std::u16string_view s) { return Place(s, 1); }
  LPWSTR PutOptional(std::u16string_view s) { return s.empty() ? nullptr : Put(s); }
  // A list as consecutive terminated strings with one more terminator; nullptr when empty.
  LPWSTR PutMulti(const std::vector<U16>& list) {
    if (list.empty()) return nullptr;
    U16 joined;
    for (const auto& item : list) {
      joined += item;
      joined += u'\0';
    }
    return Place(joined, 1);
  }
  // Bytes at an 8-byte boundary below the strings; nullptr when empty.
  void* PutBytes(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return nullptr;
    used_ += bytes.size() + 7;  // room for the alignment, whatever the boundary
    if (!buffer_) return nullptr;
    top_ = (top_ - bytes.size()) & ~size_t(7);
    std::memcpy(buffer_ + top_, bytes.data(), bytes.size());
    return buffer_ + top_;
  }
  size_t Used() const { return used_; }

 private:
  LPWSTR Place(std::u16string_view s, size_t terminators) {
    const size_t bytes = (s.size() + terminators) * sizeof(WCHAR);
    used_ += bytes;
    if (!buffer_) return nullptr;
    top_ -= bytes;
    BYTE* at = buffer_ + top_;
    std::memcpy(at, s.data(), s.size() * sizeof(WCHAR));
    std::memset(at + s.size() * sizeof(WCHAR), 0, terminators * sizeof(WCHAR));
    return reinterpret_cast<LPWSTR>(at);
  }

  BYTE* buffer_;
  size_t top_;
  size_t used_ = 0;
};

// Validates the caller's output arguments of a sized query.
DWORD CheckOutput(LPBYTE buffer, DWORD size, LPDWORD needed);

// Writes the records of `items` at level Rec with their strings, or reports the exact size
// needed with ERROR_INSUFFICIENT_BUFFER.
template <class Rec, class Item, class FillFn>
BOOL Emit(const std::vector<const Item*>& items, FillFn fill, LPBYTE buffer, DWORD size,
          LPDWORD needed, LPDWORD returned) {
  Strings counter(nullptr, 0);
  for (const Item* item : items) {
    Rec scratch{};
    fill(*item, scratch, counter);
  }
  const size_t total = items.size() * sizeof(Rec) + counter.Used();
  *needed = DWORD(total);
  if (returned) *returned = 0;
  // Nothing to list: success with a count of 0, whatever buffer was offered.
  if (total > 0 && (!buffer || size < total)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  Strings strings(buffer, size);
  for (size_t i = 0; i < items.size(); ++i) {
    Rec record{};
    fill(*items[i], record, strings);
    std::memcpy(buffer + i * sizeof(Rec), &record, sizeof(Rec));
  }
  if (returned) *returned = DWORD(items.size());
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// Record fillers, one per structure.
void Fill(const SimPrinter& p, PRINTER_INFO_1W& r, Strings& s);
void Fill(const SimPrinter& p, PRINTER_INFO_2W& r, Strings& s);
void Fill(const SimPrinter& p, PRINTER_INFO_3& r, Strings& s);
void Fill(const SimPrinter& p, PRINTER_INFO_8W& r, Strings& s);
void Fill(const SimPrinter& p, PRINTER_INFO_9W& r, Strings& s);
void Fill(const SimDriver& d, DRIVER_INFO_1W& r, Strings& s);
void Fill(const SimDriver& d, DRIVER_INFO_2W& r, Strings& s);
void Fill(const SimDriver& d, DRIVER_INFO_3W& r, Strings& s);
void Fill(const SimDriver& d, DRIVER_INFO_4W& r, Strings& s);
void Fill(const SimDriver& d, DRIVER_INFO_5W& r, Strings& s);
void Fill(const SimDriver& d, DRIVER_INFO_6W& r, Strings& s);
void Fill(const SimMonitor& mon, MONITOR_INFO_1W& r, Strings& s);
void Fill(const SimMonitor& mon, MONITOR_INFO_2W& r, Strings& s);
inline constexpr auto kFill = [](const auto& item, auto& record, Strings& s) {
  Fill(item, record, s);
};

// Emit at the level asked for: Recs are the structures of levels 1, 2, ... in order; any other
// level is refused with ERROR_INVALID_LEVEL.
template <class... Recs, class Item>
BOOL EmitLevel(DWORD level, const std::vector<const Item*>& items, LPBYTE buffer, DWORD size,
               LPDWORD needed, LPDWORD returned) {
  DWORD at = 0;
  BOOL result = FALSE;
  const bool known =
      ((++at == level &&
        ((result = Emit<Recs>(items, kFill, buffer, size, needed, returned)), true)) ||
       ...);
  return known ? result : Fail(ERROR_INVALID_LEVEL);
}

// Ports. The port list's names as the monitors spell them (ports compare ignoring case:
// "file:" is "FILE:"); false when one is unknown or the list names none.
bool CanonicalPorts(const Machine& m, LPCWSTR list, U16* out);
bool PrinterUsesPort(const SimPrinter& p, std::u16string_view port);

// Lookups.
SimDriver* NewestDriver(Machine& m, std::u16string_view name, std::u16string_view env);
// The printer table with its indexes up to date.
PrinterTable& Printers(Machine& m);
SimPrinter* PrinterNamed(Machine& m, std::u16string_view name);
U16 ModulePath(const Machine& m, std::u16string_view dll);
U16 DriverDirectory(const Machine& m, const Environment& env);
// Every file a driver names: its modules, data and help file, its dependent files.
std::vector<U16> DriverFiles(const SimDriver& d);

// Printer handles: a table of their own, each naming the printer by its id.
inline constexpr DWORD kReadRights = PRINTER_ACCESS_USE | PRINTER_ACCESS_ADMINISTER;
DWORD MapAccess(DWORD access);
// The printer behind a handle, checked for the rights the call needs; on failure *error
// says why.
SimPrinter* HandlePrinter(HANDLE h, DWORD rights, DWORD* error);
HANDLE NewPrinterHandle(Machine& m, bool server, uint32_t id, DWORD access);
// The rights a printer handle was opened with (0 for none).
DWORD HandleAccess(HANDLE h);
// False when the handle is not a printer handle of the running program.
bool ClosePrinterHandle(HANDLE h);

}  // namespace sim::winspool
