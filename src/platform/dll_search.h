// Where the program may load DLLs from. The entry calls RestrictDllSearch before anything
// else: the installer runs elevated from a folder the user may write to, so a DLL planted
// beside it (or in the current directory) must never be loaded.
#pragma once
#include "platform/win32.h"

// Limits the DLL search of this process to the system directory. Returns false when the
// system offers no way to do so (the search then at least leaves out the current directory).
bool RestrictDllSearch();

#ifdef _WIN32
// Loads a system DLL from the system directory only: through the system-directory search
// where Windows has it, else by its full path there (Windows 7 without the update refuses
// the flag). Null when neither works.
HMODULE LoadSystemLibrary(LPCWSTR name);
#endif
