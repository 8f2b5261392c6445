// The dialog that shows the run log at the end of an install or uninstall.
#pragma once
#include "platform/win32.h"

// Initialisation parameter: the InstallContext whose log and error count are shown.
INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Whether the program's window station is one the user sees. Elsewhere (a service, a
// deployment agent running as the local system account) a modal dialog would wait for ever
// for someone who is not there. A station that cannot be asked counts as not seen.
bool WindowStationVisible();
