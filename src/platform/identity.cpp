#include "platform/identity.h"

#include "platform/sized_query.h"
#include "platform/unique.h"

namespace {
USHORT MachineOfArchitecture(WORD architecture) {
  switch (architecture) {
    case PROCESSOR_ARCHITECTURE_AMD64:
      return IMAGE_FILE_MACHINE_AMD64;
    case PROCESSOR_ARCHITECTURE_ARM64:
      return IMAGE_FILE_MACHINE_ARM64;
    case PROCESSOR_ARCHITECTURE_INTEL:
      return IMAGE_FILE_MACHINE_I386;
    case PROCESSOR_ARCHITECTURE_ARM:
      return IMAGE_FILE_MACHINE_ARMNT;
    case PROCESSOR_ARCHITECTURE_IA64:
      return IMAGE_FILE_MACHINE_IA64;
    default:
      return IMAGE_FILE_MACHINE_UNKNOWN;
  }
}

#ifdef _WIN32
using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);

// Windows 10 1709 and later only: looked up, so that the program still starts on older
// systems. kernel32 is loaded in every process.
BOOL AskWow64Process2(USHORT* process, USHORT* native) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  FARPROC found = kernel ? GetProcAddress(kernel, "IsWow64Process2") : nullptr;
  if (!found) return FALSE;
  auto call = reinterpret_cast<IsWow64Process2Fn>(reinterpret_cast<void (*)()>(found));
  return call(GetCurrentProcess(), process, native);
}
#else
BOOL AskWow64Process2(USHORT* process, USHORT* native) {
  return IsWow64Process2(GetCurrentProcess(), process, native);
}
#endif
}  // namespace

USHORT NativeMachine() {
  USHORT process = IMAGE_FILE_MACHINE_UNKNOWN;
  USHORT native = IMAGE_FILE_MACHINE_UNKNOWN;
  if (AskWow64Process2(&process, &native) && native != IMAGE_FILE_MACHINE_UNKNOWN) return native;
  SYSTEM_INFO info = {};
  GetNativeSystemInfo(&info);
  return MachineOfArchitecture(info.wProcessorArchitecture);
}

bool RunsAsLocalSystem() {
  unique_handle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
  unique_global<BYTE> block;
  const SizedQuery answer = QuerySized(
      [&](LPBYTE buffer, DWORD size, DWORD* needed) {
        return GetTokenInformation(token.get(), TokenUser, buffer, size, needed);
      },
      block);
  if (answer != SizedQuery::Filled) return false;
  return IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(block.get())->User.Sid, WinLocalSystemSid);
}

namespace {
// Whether the window station is visible; -1 when that cannot be asked.
int StationVisible() {
  HWINSTA station = GetProcessWindowStation();
  if (!station) return -1;
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (!GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)) return -1;
  return (flags.dwFlags & WSF_VISIBLE) != 0 ? 1 : 0;
}
}  // namespace

bool WindowStationVisible() {
  return StationVisible() == 1;
}

bool WindowStationHidden() {
  return StationVisible() == 0;
}
