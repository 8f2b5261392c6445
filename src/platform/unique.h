// Owning wrappers for what the Win32 calls hand out: one line per kind of handle or block.
// Each closes what it holds when it goes out of scope, is moved rather than copied, and keeps
// the thread's last error across the close, so that an error line written after it still
// names the call that failed.
#pragma once
#include <utility>

#include "platform/win32.h"

template <class T, auto Close>
class unique_any {
 public:
  unique_any() = default;
  explicit unique_any(T value) : value_(value) {}
  unique_any(unique_any&& other) noexcept : value_(other.release()) {}
  unique_any& operator=(unique_any&& other) noexcept {
    reset(other.release());
    return *this;
  }
  unique_any(const unique_any&) = delete;
  unique_any& operator=(const unique_any&) = delete;
  ~unique_any() { reset(); }

  T get() const { return value_; }
  T operator->() const { return value_; }  // for blocks seen as a record
  // For calls that hand the value out through a pointer; whatever was held is closed first.
  T* put() {
    reset();
    return &value_;
  }
  T release() {
    const T value = value_;
    value_ = T();
    return value;
  }
  void reset(T value = T()) {
    if (value_) {
      const DWORD error = GetLastError();
      Close(value_);
      SetLastError(error);
    }
    value_ = value;
  }
  explicit operator bool() const { return value_ != T(); }
  // Closes now, for a caller that must know: false, with the close's last error, when the
  // system kept what it held (only for kinds whose close answers).
  bool close() {
    const T value = release();
    return !value || Close(value) != 0;
  }

 private:
  T value_ = T();
};

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
using unique_handle =
    unique_any<HANDLE, &CloseHandle>;  // null when empty, not INVALID_HANDLE_VALUE
using unique_hkey = unique_any<HKEY, &RegCloseKey>;
using unique_schandle = unique_any<SC_HANDLE, &CloseServiceHandle>;
using unique_hlocal = unique_any<HLOCAL, &LocalFree>;
// A global-heap block seen as T (a record, an array, a string).
template <class T>
using unique_global = unique_any<T*, &unique_detail::FreeGlobal<T>>;

// Gives back a global-heap block held by a plain record (a list node's text, say), keeping
// the last error.
inline void ReleaseGlobal(void* block) {
  unique_global<void> owned(block);
}
