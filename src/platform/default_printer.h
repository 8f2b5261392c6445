// The spooler's default-printer query and make-default call. The installer takes them from
// the spooler library by ordinal (203, 204), as it always has, rather than by name.
#pragma once
#include "platform/win32.h"

// As GetDefaultPrinterW: the name into buffer, size in characters in and out.
BOOL SpoolerGetDefaultPrinter(LPWSTR buffer, LPDWORD size);
// As SetDefaultPrinterW.
BOOL SpoolerSetDefaultPrinter(LPCWSTR name);
