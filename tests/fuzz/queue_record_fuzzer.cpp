// Feeds arbitrary bytes, as the record of saved queues or of parked printers could hold them
// (of any type), to the record's readers through the simulated registry. What is read must
// have a name per entry and one entry per name, must read back the same once written, and
// must be all or nothing when an allocation fails on the way; no handle or block is left.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "context/install_context.h"
#include "context/names.h"
#include "sim/machine.h"
#include "spooler/queue_record.h"

namespace {

void Require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "queue record: %s\n", what);
  std::abort();
}

std::u16string Wide(LPCWSTR s) {
  return s ? std::u16string(s) : std::u16string();
}

// One entry as plain text; a missing text reads as an empty one once written.
using Entry = std::tuple<std::u16string, std::string, std::u16string, std::u16string, bool>;

std::vector<Entry> Entries(const SavedPrinter* list) {
  std::vector<Entry> out;
  for (; list; list = list->Next.get()) {
    out.emplace_back(list->Name ? Wide(list->Name.get()) : u"<none>",
                     list->SubKey ? std::string("=") + list->SubKey.get() : "",
                     Wide(list->Comment.get()), Wide(list->Location.get()), list->Default != FALSE);
  }
  return out;
}

// Parked printers are read newest first: compared as sorted lists.
std::vector<Entry> Entries(const ParkedPrinter* list) {
  std::vector<Entry> out;
  for (; list; list = list->Next.get()) {
    if (list->Name && list->Port) {
      out.emplace_back(Wide(list->Name.get()), "", Wide(list->Port.get()), u"", 0);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

bool UniqueNames(std::vector<Entry> entries) {
  std::sort(entries.begin(), entries.end());
  for (size_t i = 1; i < entries.size(); ++i) {
    if (std::get<0>(entries[i]) == std::get<0>(entries[i - 1])) return false;
  }
  return true;
}

// Reads the record into entries; false when the reader said it could not.
template <class List>
bool Read(std::vector<Entry>& entries) {
  unique_list<List> list;
  bool ok = false;
  if constexpr (std::is_same_v<List, SavedPrinter>) {
    ok = ReadSavedQueues(list);
  } else {
    ok = ReadParkedPrinters(list);
  }
  entries = Entries(list.get());
  return ok;
}

template <class List>
bool WriteBack() {
  unique_list<List> list;
  if constexpr (std::is_same_v<List, SavedPrinter>) {
    return ReadSavedQueues(list) && WriteSavedQueues(list.get());
  } else {
    return ReadParkedPrinters(list) && WriteParkedPrinters(list.get());
  }
}

template <class List>
void Check(sim::Machine& m, bool saved, DWORD type, const uint8_t* data, size_t size) {
  const std::u16string value = saved ? kSavedQueuesValue : kParkedPrintersValue;
  sim::SetRegValue(m, HKEY_LOCAL_MACHINE, kRecordKeyPath, value, type,
                   std::vector<uint8_t>(data, data + size));
  std::vector<Entry> first;
  m.calls.clear();
  const bool ok = Read<List>(first);
  size_t allocations = 0;
  for (const auto& c : m.calls) allocations += c.api == "GlobalAlloc";
  Require(sim::TakeHeapAndHandleFaults(m).empty(), "handle or block left after a read");
  // A value of another type is no record: nothing of it is taken for one.
  Require(type == REG_MULTI_SZ || !ok || first.empty(), "a value of another type read");
  Require(!saved || UniqueNames(first), "two saved queues of one name");
  for (const Entry& e : first)
    Require(!ok || std::get<0>(e) != u"<none>", "an entry without a name");

  // Whichever allocation fails, the reader says so or reads it all.
  if (ok && allocations > 0) {
    sim::AddFault(m, "GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, 0, uint32_t(size % allocations));
    std::vector<Entry> partial;
    const bool whole = Read<List>(partial);
    sim::ClearFaults(m);
    Require(!whole || partial == first, "a failed allocation dropped part of the record");
    Require(sim::TakeHeapAndHandleFaults(m).empty(), "handle or block left after a failed read");
  }

  // What was read is what a run writes back: it must read the same again.
  if (ok && type == REG_MULTI_SZ) {
    Require(WriteBack<List>(), "the record could not be written back");
    std::vector<Entry> again;
    Require(Read<List>(again) && again == first, "the record changed when written back");
    Require(sim::TakeHeapAndHandleFaults(m).empty(), "handle or block left after a write");
  }
  sim::DeleteRegValue(m, HKEY_LOCAL_MACHINE, kRecordKeyPath, value);
  // The saved queues' keys, and what was set aside beside them, go with the value.
  if (sim::RegKey* record = sim::FindRegKey(m, HKEY_LOCAL_MACHINE, kRecordKeyPath)) {
    erase_if(record->subkeys, [](const sim::RegKey&) { return true; });
  }
}

}  // namespace

// The first byte chooses the record and the value's type; the rest is the value's data.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sim::Machine machine;
  static bool made = false;
  if (!made) {
    sim::SetMachine(&machine);
    sim::InitDefaultMachine(machine);
    made = true;
  }
  if (size == 0 || size > 1 << 16) return 0;
  const bool saved = (data[0] & 1) == 0;
  const DWORD type = (data[0] & 6) == 0 ? REG_DWORD : (data[0] & 6) == 2 ? REG_SZ : REG_MULTI_SZ;
  if (saved) {
    Check<SavedPrinter>(machine, true, type, data + 1, size - 1);
  } else {
    Check<ParkedPrinter>(machine, false, type, data + 1, size - 1);
  }
  return 0;
}
