// Handle tables for the objects the running program opens. Each object kind derives from
// KernelObject so CloseHandle can release any of them.
#pragma once
#include <cstdint>
#include <map>
#include <memory>

namespace sim {

struct KernelObject {
  virtual ~KernelObject() = default;
  virtual void OnClose() {}
};

class HandleTable {
 public:
  explicit HandleTable(uintptr_t first = 0x100, uintptr_t step = 4) : next_(first), step_(step) {}
  void* Add(std::shared_ptr<KernelObject> object);
  std::shared_ptr<KernelObject> Get(const void* handle) const;
  template <class T>
  std::shared_ptr<T> GetAs(const void* handle) const {
    return std::dynamic_pointer_cast<T>(Get(handle));
  }
  bool Close(const void* handle);
  size_t Size() const { return objects_.size(); }
  void Clear() { objects_.clear(); }
  // Closes every handle, as the system does when the process that owns them ends.
  void CloseAll();

 private:
  uintptr_t next_;
  uintptr_t step_;
  std::map<uintptr_t, std::shared_ptr<KernelObject>> objects_;
};

}  // namespace sim
