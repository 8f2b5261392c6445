// The dialog that shows the run log at the end of an install or uninstall.
#pragma once
#include "platform/win32.h"

// Initialisation parameter: the InstallContext whose log and error count are shown.
INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
