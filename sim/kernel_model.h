// Process-wide kernel state: the running program's identity, Windows version, heaps.
#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "sim/handles.h"
#include "sim/text.h"

namespace sim {

// The bytes that follow every heap block; a block whose guard changed was written past its end.
constexpr unsigned char kHeapGuard = 0xFD;
constexpr size_t kHeapGuardBytes = 16;
inline bool HeapGuardIntact(const void* block, size_t bytes) {
  const auto* guard = static_cast<const unsigned char*>(block) + (bytes ? bytes : 1);
  for (size_t i = 0; i < kHeapGuardBytes; ++i) {
    if (guard[i] != kHeapGuard) return false;
  }
  return true;
}

struct KernelModel {
  // The running program. The command line is set by whoever starts it (the platform main,
  // a test); the module path is where the installer lies on the machine.
  U16 commandLine;
  U16 modulePath = u"C:\\Program Files\\Orvalstone\\Setup\\orvinst.exe";
  U16 systemDir = u"C:\\Windows\\system32";
  uint32_t pid = 4200;  // process id of the running program

  // What GetVersionExA reports.
  DWORD osMajor = 10;
  DWORD osMinor = 0;
  DWORD osBuild = 19045;
  DWORD osPlatform = 2;  // VER_PLATFORM_WIN32_NT
  // The machine's own architecture (IMAGE_FILE_MACHINE_*), and whether the program runs as
  // the local system account (S-1-5-18), as a deployment agent starts it, or as a user.
  USHORT nativeMachine = 0x8664;
  bool localSystem = false;

  // Live global and local heap blocks of the running program (never saved).
  struct Block {
    size_t size = 0;
    Origin origin;
  };
  std::map<const void*, Block> globalBlocks;
  std::map<const void*, Block> localBlocks;
};

}  // namespace sim
