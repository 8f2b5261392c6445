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
  U16 image;                   // full path of the program file
  U16 commandLine;
  std::string program;         // "tray", "helpviewer", "other"
  std::string mode = "normal"; // tray: "normal", "ignore" (ignores its exit message),
                               // "exit-holding" (exits without releasing its mutex)
  uint32_t exitDelayMs = 0;    // tray: time from its exit message to its exit
  bool running = true;
  DWORD exitCode = 0;
};

struct SimMutex {
  std::string name;
  uint32_t ownerPid = 0;  // 0: not owned
  bool abandoned = false; // its owner ended without releasing it
};

struct ProcessModel {
  std::vector<SimProcess> processes;
  std::vector<SimMutex> mutexes;
  uint32_t nextPid = 5000;
};

}  // namespace sim
