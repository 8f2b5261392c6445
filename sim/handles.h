// Handle tables for the objects the running program opens. Each object kind derives from
// KernelObject so CloseHandle can release any of them.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// Where a handle or heap block was made, or where one was misused: the API call with its
// number in the run and, when the machine traces origins, the functions that called it.
struct Origin {
  // The call's parts, put together only when described: a print server's run allocates
  // hundreds of thousands of blocks, and almost none is ever described.
  std::string api;
  std::string args;
  uint64_t callNumber = 0;
  std::vector<void*> frames;
  std::string Describe() const;
};
Origin CaptureOrigin();

struct KernelObject {
  virtual ~KernelObject() = default;
  virtual void OnClose() {}
  const void* owner = nullptr;  // the machine whose program opened it
  Origin origin;
};

class HandleTable {
 public:
  explicit HandleTable(const char* kind = "handle", uintptr_t first = 0x100, uintptr_t step = 4)
      : kind_(kind), next_(first), step_(step) {}
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
  // Closes the handles one machine's program opened.
  void CloseAllOf(const void* owner);
  // One line per handle one machine's program holds open, naming where it was opened.
  void DescribeOpen(const void* owner, std::vector<std::string>* out) const;

 private:
  const char* kind_;
  uintptr_t next_;
  uintptr_t step_;
  std::map<uintptr_t, std::shared_ptr<KernelObject>> objects_;
};

}  // namespace sim
