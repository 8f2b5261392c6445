#include "sim/handles.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>

#include "sim/machine.h"

namespace sim {

namespace {
// The function an address lies in, without its parameters; empty when unknown or when it is
// part of the simulated machine itself. A function of no external linkage shows as the
// exported one before it.
std::string FunctionAt(void* address) {
  Dl_info info{};
  if (!dladdr(address, &info) || !info.dli_sname) return {};
  int status = 0;
  char* plain = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
  std::string name = status == 0 && plain ? plain : info.dli_sname;
  std::free(plain);
  name = name.substr(0, name.find('('));
  // The machine's own frames and the product's owning wrappers say nothing of the place.
  for (const char* skip : {"sim::", "nlohmann", "unique_"}) {
    if (name.find(skip) != std::string::npos) return {};
  }
  return name;
}
}  // namespace

Origin CaptureOrigin() {
  Machine& m = M();
  Origin o;
  o.api = m.lastApi;
  o.args = m.lastArgs;
  o.callNumber = m.callsMade;
  if (m.traceOrigins) {
    void* frames[16];
    const int n = backtrace(frames, 16);
    o.frames.assign(frames, frames + n);
  }
  return o;
}

std::string Origin::Describe() const {
  std::string text =
      api + (args.empty() ? "" : " " + args) + " (call " + std::to_string(callNumber) + ")";
  int named = 0;
  for (void* f : frames) {
    std::string name = FunctionAt(f);
    if (name.empty()) continue;
    text += (named ? " <- " : " in ") + name;
    if (++named == 4) break;
  }
  return text;
}

void* HandleTable::Add(std::shared_ptr<KernelObject> object) {
  uintptr_t h = next_;
  next_ += step_;
  if (HasMachine()) {
    object->owner = &M();
    object->origin = CaptureOrigin();
  }
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

void HandleTable::CloseAllOf(const void* owner) {
  std::vector<uintptr_t> handles;
  for (const auto& [h, object] : objects_) {
    if (object->owner == owner) handles.push_back(h);
  }
  for (uintptr_t h : handles) Close(reinterpret_cast<const void*>(h));
}

void HandleTable::DescribeOpen(const void* owner, std::vector<std::string>* out) const {
  for (const auto& [h, object] : objects_) {
    if (object->owner != owner) continue;
    char id[32];
    std::snprintf(id, sizeof id, " 0x%zx", size_t(h));
    out->push_back(std::string(kind_) + id + " never closed, opened by " +
                   object->origin.Describe());
  }
}

}  // namespace sim
