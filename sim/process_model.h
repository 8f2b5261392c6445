// Other processes of the machine (the tray program, a help viewer, lock holders), named
// mutexes and what a restart starts.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sim/text.h"

namespace sim {

struct SimProcess {
  uint32_t pid = 0;
  uint32_t tid = 0;  // its main thread
  U16 image;         // full path of the program file
  U16 commandLine;
  std::string program;          // "tray", "helpviewer", "other"
  std::string mode = "normal";  // tray: "normal", "ignore" (ignores its exit message),
                                // "exit-holding" (exits without releasing its mutex)
  uint32_t exitDelayMs = 0;     // tray: time from its exit message to its exit
  DWORD creationFlags = 0;      // as its starter passed them
  WORD showWindow = 10;         // SW_SHOWDEFAULT unless the starter chose one
  uint64_t startedAt = 0;       // virtual time
  uint64_t endedAt = 0;
  bool running = true;
  DWORD exitCode = 0;
};

struct SimMutex {
  uint32_t id = 0;
  std::string name;              // UTF-8; "" for an unnamed mutex
  uint32_t ownerPid = 0;         // 0: not owned
  uint32_t recursion = 0;        // how many times the owner has acquired it
  bool abandoned = false;        // its owner ended without releasing it
  std::vector<uint32_t> openBy;  // one pid per open handle; the mutex goes with the last
};

struct ProcessModel {
  std::vector<SimProcess> processes;
  std::vector<SimMutex> mutexes;
  uint32_t nextPid = 5000;
  uint32_t nextMutex = 1;
  // How a tray program started by CreateProcessW or at logon behaves.
  std::string trayMode = "normal";
  uint32_t trayExitDelayMs = 0;
};

}  // namespace sim
