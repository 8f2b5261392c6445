#include "files/copy_file.h"

#include "context/install_context.h"
#include "context/paths.h"
#include "context/run_log.h"
#include "platform/unique.h"

namespace {
// One fixed buffer for the whole copy.
constexpr DWORD kCopyBufferBytes = 8192;
// Opening the destination: at most this many attempts, 50 ms apart, and no new attempt once
// more than 10 s have passed since the first.
constexpr int kOpenAttempts = 100;
constexpr DWORD kOpenRetryMs = 50;
constexpr DWORD kOpenTimeoutMs = 10000;
// The last error of a destination path that does not fit the caller's buffer.
constexpr DWORD kPathTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE

// Copies the path with its terminator into the caller's buffer. A path that does not fit
// leaves the buffer empty rather than cut: a truncated path names some other file.
bool StorePath(const WideText& path, LPWSTR buffer, size_t units) {
  const ULONGLONG n = Count(path);
  if (n >= units) {
    if (units != 0) buffer[0] = 0;
    return false;
  }
  const LPCWSTR chars = Chars(path);
  for (ULONGLONG i = 0; i < n; ++i) buffer[i] = chars[i];
  buffer[n] = 0;
  return true;
}

// Reads the source into the destination. A read that fails part way is a failed copy too:
// the destination would hold a truncated module.
HRESULT CopyContents(InstallContext& context, HANDLE source, HANDLE destination,
                     LPCWSTR destinationPath) {
  BYTE buffer[kCopyBufferBytes];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(source, buffer, kCopyBufferBytes, &read, nullptr)) {
      LogError(context, ErrCopyFileWrite, destinationPath);
      return E_FAIL;
    }
    if (read != 0) {
      DWORD written = 0;
      // Only the count tells: a short write is a failure whatever the call answered.
      WriteFile(destination, buffer, read, &written, nullptr);
      if (written != read) {
        LogError(context, ErrCopyFileWrite, destinationPath);
        return E_FAIL;
      }
    }
    if (read != kCopyBufferBytes) return S_OK;
  }
}
}  // namespace

HRESULT CopyFile(InstallContext& context, LPCWSTR directory, LPCWSTR fileName, LPWSTR destination,
                 size_t destinationUnits, bool reportErrors) {
  LogSection section(context, W(">CopyFile %s to %s [%d])"), fileName, directory,
                     reportErrors ? 1 : 0);
  const WideText sourcePath = JoinPath(Chars(context.ModuleDir), fileName);
  const WideText destinationPath = JoinPath(directory, fileName);
  HRESULT result = E_FAIL;
  if (!IsFullPath(Chars(context.ModuleDir))) {
    if (destination && destinationUnits) destination[0] = 0;
    if (reportErrors) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      LogError(context, ErrOpenSource, fileName);
    }
  } else if (!IsFullPath(directory)) {
    if (destination && destinationUnits) destination[0] = 0;
    if (reportErrors) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      LogError(context, ErrOpenDestination, Chars(destinationPath));
    }
  } else if (destination && !StorePath(destinationPath, destination, destinationUnits)) {
    // The caller registers and deletes the file by that buffer: refuse rather than copy to a
    // path it cannot hold.
    if (reportErrors) {
      SetLastError(kPathTooLong);
      LogError(context, ErrOpenDestination, Chars(destinationPath));
    }
  } else {
    const unique_hfile source(CreateFileW(Chars(sourcePath), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    if (!source) {
      if (reportErrors) {
        LogError(context, ErrOpenSource, fileName);
      }
    } else {
      const unique_hfile target = CreateFileTry(context, Chars(destinationPath));
      if (!target) {
        if (reportErrors) {
          LogError(context, ErrOpenDestination, Chars(destinationPath));
        }
      } else {
        result = CopyContents(context, source.get(), target.get(), Chars(destinationPath));
      }
    }
  }
  Log(context, result == S_OK ? W("Copy Succeeded :)") : W("Copy Failed :("));
  return result;
}

unique_hfile CreateFileTry(InstallContext& context, LPCWSTR path) {
  const DWORD start = GetTickCount();
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    unique_hfile file(
        CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (file) return file;
    // Kept for the caller's error line across the log line and the sleep.
    const DWORD error = GetLastError();
    // Unsigned difference: a wrap of the tick counter does not end the retries early.
    if (DWORD(GetTickCount() - start) > kOpenTimeoutMs) {
      Log(context, W("CreateFile - timeout"));
      SetLastError(error);
      return file;
    }
    Sleep(kOpenRetryMs);
    SetLastError(error);
  }
  return unique_hfile();
}
