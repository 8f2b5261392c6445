#include "sim/handles.h"

namespace sim {

void* HandleTable::Add(std::shared_ptr<KernelObject> object) {
  uintptr_t h = next_;
  next_ += step_;
  objects_[h] = std::move(object);
  return reinterpret_cast<void*>(h);
}

std::shared_ptr<KernelObject> HandleTable::Get(const void* handle) const {
  auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
  return it == objects_.end() ? nullptr : it->second;
}

bool HandleTable::Close(const void* handle) {
  auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == objects_.end()) return false;
  auto object = it->second;
  objects_.erase(it);
  object->OnClose();
  return true;
}

void HandleTable::CloseAll() {
  while (!objects_.empty()) Close(reinterpret_cast<const void*>(objects_.begin()->first));
}

}  // namespace sim
