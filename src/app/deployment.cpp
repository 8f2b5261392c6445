#include "app/deployment.h"

#include "context/install_context.h"
#include "context/names.h"
#include "context/run_log.h"
#include "platform/identity.h"

namespace {
// ERROR_INSTALL_PLATFORM_UNSUPPORTED: the system's own words for a package of another
// processor type.
constexpr DWORD kPlatformUnsupported = 1633;
// ERROR_ACCESS_DISABLED_BY_POLICY: the system's own words for what a policy forbids.
constexpr DWORD kDisabledByPolicy = 1260;

// The documented policy "Configure Windows protected print" (Printing.admx; the MDM policy
// Printers/ConfigureWindowsProtectedPrint), 1 when enabled.
constexpr WCHAR kProtectedPrintKeyPath[] =
    W("SOFTWARE\\Policies\\Microsoft\\Windows NT\\Printers\\WPP");
constexpr WCHAR kProtectedPrintValue[] = W("WindowsProtectedPrintGroupPolicyState");

LPCWSTR MachineName(USHORT machine) {
  switch (machine) {
    case IMAGE_FILE_MACHINE_ARM64:
      return W("ARM64");
    case IMAGE_FILE_MACHINE_I386:
      return W("x86");
    case IMAGE_FILE_MACHINE_ARMNT:
      return W("ARM");
    case IMAGE_FILE_MACHINE_IA64:
      return W("Itanium");
    default:
      return W("unknown");
  }
}

// In protected print mode the spooler removes and refuses third-party drivers and port
// monitors: an install would remove the package and could not put it back. The policy is the
// documented sign in the registry (the other, WindowsProtectedPrintInfo, is a Windows Runtime
// class of Windows 11 24H2); a value that cannot be read is no policy.
bool ProtectedPrintOn() {
  unique_hkey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProtectedPrintKeyPath, 0, KEY_QUERY_VALUE, key.put()) !=
      ERROR_SUCCESS) {
    return false;
  }
  DWORD type = REG_NONE;
  DWORD value = 0;
  DWORD bytes = sizeof value;
  return RegQueryValueExW(key.get(), kProtectedPrintValue, nullptr, &type,
                          reinterpret_cast<LPBYTE>(&value), &bytes) == ERROR_SUCCESS &&
         type == REG_DWORD && bytes == sizeof value && value != 0;
}

void LogMarkFailure(InstallContext& context, LSTATUS status) {
  const unique_hlocal text(SystemErrorText(DWORD(status)));
  Log(context, W("Installed-build mark not updated - (%s)"),
      text ? static_cast<LPCWSTR>(text.get()) : W(""));
}
}  // namespace

RunLock::~RunLock() {
  if (owned_) ReleaseMutex(mutex_.get());
}

RunLockState RunLock::Take() {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kRunMutexName);
  // Made by a run under another account (the system's, an administrator's): waiting on it
  // needs no more than this.
  if (!mutex && GetLastError() == ERROR_ACCESS_DENIED) {
    mutex = OpenMutexA(SYNCHRONIZE, FALSE, kRunMutexName);
  }
  if (!mutex) {
    error_ = GetLastError();
    return RunLockState::Busy;
  }
  mutex_.reset(mutex);
  switch (WaitForSingleObject(mutex, kRunLockWaitMs)) {
    case WAIT_OBJECT_0:
      owned_ = true;
      return RunLockState::Taken;
    case WAIT_ABANDONED:
      owned_ = true;
      return RunLockState::TakenOver;
    case WAIT_TIMEOUT:
      error_ = WAIT_TIMEOUT;
      return RunLockState::Busy;
    default:
      error_ = GetLastError();
      return RunLockState::Busy;
  }
}

bool MachineTakesPackage(InstallContext& context) {
  const USHORT machine = NativeMachine();
  const bool x64 = machine == IMAGE_FILE_MACHINE_AMD64;
  if (x64 && !ProtectedPrintOn()) return true;
  Log(context, W("Orvalstone %d"), kBuildNumber);
  ObtainModuleDirectory(context);
  if (!x64) {
    SetLastError(kPlatformUnsupported);
    LogError(context, ErrMachineType, MachineName(machine));
  } else {
    SetLastError(kDisabledByPolicy);
    LogError(context, ErrProtectedPrint);
  }
  return false;
}

void MarkInstalled(InstallContext& context, bool whole) {
  unique_hkey key;
  LSTATUS status;
  if (whole) {
    status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKeyPath, 0, nullptr, 0, KEY_SET_VALUE,
                             nullptr, key.put(), nullptr);
    if (status == ERROR_SUCCESS) {
      const DWORD build = kBuildNumber;
      status = RegSetValueExW(key.get(), kInstalledBuildValue, 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&build), sizeof build);
    }
  } else {
    status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKeyPath, 0, KEY_SET_VALUE, key.put());
    if (status == ERROR_SUCCESS) status = RegDeleteValueW(key.get(), kInstalledBuildValue);
    if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
  }
  if (status != ERROR_SUCCESS) LogMarkFailure(context, status);
}
