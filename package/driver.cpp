// Stand-in printer driver module. The spooler registers it as driver path and data file and
// the installer reads its version; nothing loads its code in the tests.
#include <windows.h>

extern "C" __declspec(dllexport) BOOL WINAPI
    DrvQueryDriverInfo(DWORD, PVOID, DWORD, PDWORD needed) {
  if (needed) *needed = 0;
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
