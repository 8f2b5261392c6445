// Owning wrappers for what the Win32 calls hand out: one line per kind of handle or block.
// Each closes what it holds when it goes out of scope, is moved rather than copied, and keeps
// the thread's last error across the close, so that an error line written after it still
// names the call that failed.
#pragma once
#include <new>
#include <type_traits>
#include <utility>

#include "platform/win32.h"

// What a kind holds when it holds nothing: null for most, INVALID_HANDLE_VALUE (all bits set)
// for what CreateFileW and FindFirstFileW hand out.
constexpr LONG_PTR kNullHandle = 0;
constexpr LONG_PTR kInvalidHandle = -1;

// The owner itself; Kind says what empty is (Kind::None()) and how to close (Kind::Close).
template <class T, class Kind>
class unique_owner {
 public:
  unique_owner() = default;
  explicit unique_owner(T value) : value_(value) {}
  unique_owner(unique_owner&& other) noexcept : value_(other.release()) {}
  unique_owner& operator=(unique_owner&& other) noexcept {
    reset(other.release());
    return *this;
  }
  unique_owner(const unique_owner&) = delete;
  unique_owner& operator=(const unique_owner&) = delete;
  ~unique_owner() { reset(); }

  T get() const { return value_; }
  T operator->() const { return value_; }  // for blocks seen as a record
  // For calls that hand the value out through a pointer; whatever was held is closed first.
  T* put() {
    reset();
    return &value_;
  }
  T release() {
    const T value = value_;
    value_ = None();
    return value;
  }
  void reset(T value = None()) {
    if (value_ != None()) {
      const DWORD error = GetLastError();
      Kind::Close(value_);
      SetLastError(error);
    }
    value_ = value;
  }
  explicit operator bool() const { return value_ != None(); }
  // Closes now, for a caller that must know: false, with the close's last error, when the
  // system kept what it held (only for kinds whose close answers).
  bool close() {
    const T value = release();
    return value == None() || Kind::Close(value) != 0;
  }

 private:
  static T None() { return Kind::None(); }
  T value_ = None();
};

namespace unique_detail {
template <class T, auto CloseFunction, LONG_PTR Empty>
struct Handle {
  static T None() {
    if constexpr (std::is_pointer_v<T>) {
      return reinterpret_cast<T>(Empty);
    } else {
      return T(Empty);
    }
  }
  static auto Close(T value) { return CloseFunction(value); }
};
}  // namespace unique_detail

template <class T, auto Close, LONG_PTR Empty = kNullHandle>
using unique_any = unique_owner<T, unique_detail::Handle<T, Close, Empty>>;

namespace unique_detail {
template <class T>
void FreeGlobal(T* block) {
  GlobalFree(const_cast<void*>(static_cast<const void*>(block)));
}
template <>
inline void FreeGlobal<void>(void* block) {
  GlobalFree(block);
}
}  // namespace unique_detail

using unique_printer = unique_any<HANDLE, &ClosePrinter>;
using unique_handle = unique_any<HANDLE, &CloseHandle>;  // processes, threads, mutexes, tokens
using unique_hfile = unique_any<HANDLE, &CloseHandle, kInvalidHandle>;
using unique_hfind = unique_any<HANDLE, &FindClose, kInvalidHandle>;
using unique_hkey = unique_any<HKEY, &RegCloseKey>;
using unique_schandle = unique_any<SC_HANDLE, &CloseServiceHandle>;
using unique_hlocal = unique_any<HLOCAL, &LocalFree>;
// A global-heap block seen as T (a record, an array, a string).
template <class T>
using unique_global = unique_any<T*, &unique_detail::FreeGlobal<T>>;

namespace unique_detail {
// Known only where the list is let go of, so that a record's type may be declared alone
// wherever a list of them is merely held.
template <class Node>
struct List {
  static Node* None() { return nullptr; }
  // The records go one after the other, never recursively, however long the list.
  static BOOL Close(Node* node) {
    while (node) {
      Node* next = node->Next.release();
      node->~Node();
      GlobalFree(node);
      node = next;
    }
    return TRUE;
  }
};
}  // namespace unique_detail

// A singly linked list of global-heap records, where each record owns what it holds and
// its member `Next`, the rest of the list. A record taken out of the list goes with what
// takes it, the rest with the list.
template <class Node>
using unique_list = unique_owner<Node*, unique_detail::List<Node>>;

// A new record, its members empty, at the head of a list of one; empty when the heap refused.
template <class Node>
unique_list<Node> NewNode() {
  void* block = GlobalAlloc(GMEM_FIXED, sizeof(Node));
  return unique_list<Node>(block ? new (block) Node() : nullptr);
}

// Gives back a global-heap block held by a plain record (a table's strings), keeping the last
// error.
inline void ReleaseGlobal(void* block) {
  unique_global<void> owned(block);
}
