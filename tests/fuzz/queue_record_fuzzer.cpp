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
  return std::adjacent_find(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
           return std::get<0>(a) == std::get<0>(b);
         }) == entries.end();
}

// A record's reader and writer.
template <class List>
struct Record {
  bool (*read)(unique_list<List>&);
  bool (*write)(const List*);
  // Reads the record into entries; false when the reader said it could not.
  bool Read(std::vector<Entry>& entries) const {
    unique_list<List> list;
    const bool ok = read(list);
    entries = Entries(list.get());
    return ok;
  }
  bool WriteBack() const {
    unique_list<List> list;
    return read(list) && write(list.get());
  }
};

template <class List>
void Check(sim::Machine& m, const Record<List>& record, bool saved, DWORD type, const uint8_t* data,
           size_t size) {
  const std::u16string value = saved ? kSavedQueuesValue : kParkedPrintersValue;
  sim::SetRegValue(m, HKEY_LOCAL_MACHINE, kRecordKeyPath, value, type,
                   std::vector<uint8_t>(data, data + size));
  std::vector<Entry> first;
  m.calls.clear();
  const bool ok = record.Read(first);
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
    const bool whole = record.Read(partial);
    sim::ClearFaults(m);
    Require(!whole || partial == first, "a failed allocation dropped part of the record");
    Require(sim::TakeHeapAndHandleFaults(m).empty(), "handle or block left after a failed read");
  }

  // What was read is what a run writes back: it must read the same again.
  if (ok && type == REG_MULTI_SZ) {
    Require(record.WriteBack(), "the record could not be written back");
    std::vector<Entry> again;
    Require(record.Read(again) && again == first, "the record changed when written back");
    Require(sim::TakeHeapAndHandleFaults(m).empty(), "handle or block left after a write");
  }
  sim::DeleteRegValue(m, HKEY_LOCAL_MACHINE, kRecordKeyPath, value);
  // The saved queues' keys, and what was set aside beside them, go with the value.
  if (sim::RegKey* key = sim::FindRegKey(m, HKEY_LOCAL_MACHINE, kRecordKeyPath)) {
    key->subkeys.clear();
  }
}

}  // namespace

// The first byte chooses the record and the value's type; the rest is the value's data.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sim::Machine machine;
  static const bool made = (sim::SetMachine(&machine), sim::InitDefaultMachine(machine), true);
  if (!made || size == 0 || size > 1 << 16) return 0;
  const bool saved = (data[0] & 1) == 0;
  const DWORD type = (data[0] & 6) == 0 ? REG_DWORD : (data[0] & 6) == 2 ? REG_SZ : REG_MULTI_SZ;
  if (saved)
    Check(machine, Record<SavedPrinter>{ReadSavedQueues, WriteSavedQueues}, true, type, data + 1,
          size - 1);
  else
    Check(machine, Record<ParkedPrinter>{ReadParkedPrinters, WriteParkedPrinters}, false, type,
          data + 1, size - 1);
  return 0;
}
