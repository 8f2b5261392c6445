// A restart of the whole machine: every process ends, the start-up file operations are
// carried out before any service or program starts, then the spooler and the Run entries.
#include <algorithm>

#include "sim/machine.h"
#include "sim/process_control.h"

namespace sim {
namespace {

constexpr std::u16string_view kSessionManager =
    u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr std::u16string_view kPendingValue = u"PendingFileRenameOperations";
constexpr std::u16string_view kRunKey = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::u16string_view WithoutDevicePrefix(std::u16string_view path) {
  return path.starts_with(u"\\??\\") ? path.substr(4) : path;
}

// One start-up file operation: an empty target deletes the source; otherwise the source is
// renamed, over an existing target only when the target is marked with "!".
void CarryOut(Machine& m, std::u16string_view source, std::u16string_view target) {
  const std::u16string_view from = WithoutDevicePrefix(source);
  if (target.empty()) {
    RemoveFile(m, from);
    return;
  }
  const bool replace = target.front() == u'!';
  const std::u16string_view to = WithoutDevicePrefix(replace ? target.substr(1) : target);
  const SimFile* f = FindFile(m, from);
  if (!f || to.empty() || FoldPath(from) == FoldPath(to)) return;
  if ((FindFile(m, to) && !replace) || DirectoryExists(m, to)) return;
  if (!DirectoryExists(m, DirectoryPart(to))) return;
  // The whole record moves: contents, attributes, version resource.
  SimFile moved = *f;
  RemoveFile(m, from);
  SimFile& placed = PutFile(m, to, {});
  const U16 path = placed.path;
  placed = std::move(moved);
  placed.path = path;
}

void CarryOutPendingOperations(Machine& m) {
  for (const auto& [source, target] : PendingFileOperations(m)) CarryOut(m, source, target);
  DeleteRegValue(m, HKEY_LOCAL_MACHINE, kSessionManager, kPendingValue);
}

// A string value's text, up to its terminator.
U16 StringValue(const RegValue& v) {
  const U16 units = Utf16FromBytes(v.data);
  return units.substr(0, units.find(u'\0'));
}

void StartRunEntries(Machine& m, HKEY root) {
  const RegKey* key = FindRegKey(m, root, kRunKey);
  if (!key) return;
  // Copied first: a started program may change the registry.
  const std::vector<RegValue> values = key->values;
  for (const RegValue& v : values) {
    if (v.type != REG_SZ && v.type != REG_EXPAND_SZ) continue;
    StartCommandLine(m, StringValue(v));
  }
}

}  // namespace

std::vector<std::pair<U16, U16>> PendingFileOperations(Machine& m) {
  std::vector<std::pair<U16, U16>> out;
  const RegValue* v = FindRegValue(m, HKEY_LOCAL_MACHINE, kSessionManager, kPendingValue);
  if (!v) return out;
  const std::vector<U16> strings = SplitMultiString(v->data);
  // Pairs of source and target; an empty source is the list's end, and a source without
  // its target is an incomplete entry that is left alone.
  for (size_t i = 0; i + 1 < strings.size(); i += 2) {
    if (strings[i].empty()) break;
    out.emplace_back(strings[i], strings[i + 1]);
  }
  return out;
}

void Restart(Machine& m) {
  // Every process ends, the running program included, and every kernel object with them.
  m.processes.processes.clear();
  m.processes.mutexes.clear();
  m.user.windows.clear();
  m.fs.locks.clear();
  // Every timed event belongs to a process, a window or a service, and each of them ends.
  m.events.clear();
  for (auto& s : m.services.services) s.state = SERVICE_STOPPED;
  m.spooler.loadedModules.clear();

  // Start-up file operations run before any service or program.
  CarryOutPendingOperations(m);

  for (auto& s : m.services.services) {
    if (EqualFold(s.name, u"Spooler") && !s.disabled) {
      s.state = SERVICE_RUNNING;
      ++s.starts;
    }
  }
  StartRunEntries(m, HKEY_LOCAL_MACHINE);
  StartRunEntries(m, HKEY_CURRENT_USER);
}

}  // namespace sim
