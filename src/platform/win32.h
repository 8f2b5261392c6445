// The one seam between the product and the platform: the real Windows headers on Windows,
// the simulated machine's declarations of the same subset elsewhere.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winspool.h>
#include <shellapi.h>
#include <winver.h>
#define W(s) L##s
// The installer's own operations carry these names; the product calls the W forms by name.
#undef CopyFile
#undef AddMonitor
#undef DeleteMonitor
#undef AddPrinter
#undef AddPrinterDriver
#undef DeletePrinterDriver
#else
#include "sim/win32_api.h"
#define W(s) u##s
#endif

static_assert(sizeof(WCHAR) == 2, "text is UTF-16 on every platform");
static_assert(sizeof(DWORD) == 4, "DWORD is 32 bits on every platform");
