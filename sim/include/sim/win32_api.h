// The simulated machine's declarations of the Win32 subset the product uses.
#pragma once
#include "sim/win32/base.h"
#include "sim/win32/kernel.h"
#include "sim/win32/user.h"
#include "sim/win32/service.h"
#include "sim/win32/registry.h"
#include "sim/win32/version.h"
#include "sim/win32/spooler.h"
