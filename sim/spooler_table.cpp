// The spooler's printer table: a list in the order the spooler lists printers, with indexes
// by folded name, id and driver kept beside it.
#include <algorithm>
#include <iterator>

#include "sim/spooler_model.h"

namespace sim {

PrinterTable& PrinterTable::operator=(const PrinterTable& other) {
  if (this != &other) {
    list_ = other.list_;
    Drop();
  }
  return *this;
}

PrinterTable& PrinterTable::operator=(PrinterTable&& other) noexcept {
  list_ = std::move(other.list_);
  Drop();
  other.Drop();
  return *this;
}

const SimPrinter& PrinterTable::operator[](size_t i) const {
  return *std::next(list_.begin(), ptrdiff_t(i));
}

SimPrinter& PrinterTable::operator[](size_t i) {
  Drop();
  return *std::next(list_.begin(), ptrdiff_t(i));
}

namespace {
// The folded share name a printer publishes, or "" when it is not shared.
U16 Share(const SimPrinter& p) {
  return (p.attributes & 0x8) ? Fold(p.shareName) : U16();  // PRINTER_ATTRIBUTE_SHARED
}
}  // namespace

void PrinterTable::CountShare(const SimPrinter& p, int step) {
  const U16 share = Share(p);
  if (share.empty()) return;
  if ((shares_[share] += size_t(step)) == 0) shares_.erase(share);
}

void PrinterTable::IndexOne(iterator it) {
  if (!byName_.emplace(Fold(it->name), it).second) duplicateNames_ = true;
  byId_.emplace(it->id, it);
  ++driverUsers_[Fold(it->driverName)];
  CountShare(*it, 1);
}

void PrinterTable::Reindex(uint32_t* nextId) {
  byName_.clear();
  byId_.clear();
  driverUsers_.clear();
  shares_.clear();
  duplicateNames_ = false;
  byName_.reserve(list_.size());
  byId_.reserve(list_.size());
  for (const auto& p : list_) {
    if (p.id) *nextId = std::max(*nextId, p.id + 1);
  }
  for (auto it = list_.begin(); it != list_.end(); ++it) {
    if (it->id == 0 || byId_.count(it->id)) it->id = (*nextId)++;
    IndexOne(it);
  }
  indexed_ = true;
}

SimPrinter* PrinterTable::Find(std::u16string_view name) {
  auto it = byName_.find(Fold(name));
  return it == byName_.end() ? nullptr : &*it->second;
}

SimPrinter* PrinterTable::FindId(uint32_t id) {
  auto it = byId_.find(id);
  return it == byId_.end() ? nullptr : &*it->second;
}

size_t PrinterTable::ShareUsers(std::u16string_view share) const {
  auto it = shares_.find(Fold(share));
  return it == shares_.end() ? 0 : it->second;
}

size_t PrinterTable::DriverUsers(std::u16string_view driver) const {
  auto it = driverUsers_.find(Fold(driver));
  return it == driverUsers_.end() ? 0 : it->second;
}

SimPrinter& PrinterTable::Add(SimPrinter p) {
  list_.push_back(std::move(p));
  IndexOne(std::prev(list_.end()));
  return list_.back();
}

void PrinterTable::Remove(const SimPrinter& p) {
  auto at = byId_.find(p.id);
  if (at == byId_.end()) return;
  const iterator it = at->second;
  byId_.erase(at);
  auto named = byName_.find(Fold(it->name));
  if (named != byName_.end() && named->second == it) byName_.erase(named);
  if (--driverUsers_[Fold(it->driverName)] == 0) driverUsers_.erase(Fold(it->driverName));
  CountShare(*it, -1);
  // Another printer of the same name now answers to it: only a rebuild finds which.
  const bool rebuild = duplicateNames_;
  list_.erase(it);
  if (rebuild) Drop();
}

void PrinterTable::Replace(SimPrinter& p, SimPrinter updated) {
  auto at = byId_.find(p.id);
  if (at == byId_.end()) {
    p = std::move(updated);
    Drop();
    return;
  }
  const iterator it = at->second;
  updated.id = p.id;
  const U16 oldName = Fold(p.name);
  const U16 oldDriver = Fold(p.driverName);
  CountShare(p, -1);
  p = std::move(updated);
  CountShare(p, 1);
  if (Fold(p.name) != oldName) {
    auto named = byName_.find(oldName);
    if (named != byName_.end() && named->second == it) byName_.erase(named);
    if (!byName_.emplace(Fold(p.name), it).second) duplicateNames_ = true;
    if (duplicateNames_) Drop();
  }
  if (Fold(p.driverName) != oldDriver) {
    if (--driverUsers_[oldDriver] == 0) driverUsers_.erase(oldDriver);
    ++driverUsers_[Fold(p.driverName)];
  }
}

}  // namespace sim
