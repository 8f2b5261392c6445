// Top-level windows of other processes, the keyboard and the dialogs the program showed.
#pragma once
#include <cstdint>
#include <vector>

#include "sim/text.h"

namespace sim {

struct SimWindow {
  uint64_t handle = 0;
  U16 className;
  U16 title;
  uint32_t ownerPid = 0;
  // What the window does with WM_SYSCOMMAND/SC_CLOSE and other messages:
  // "closes" (a help viewer that obeys), "ignores" (one that does not), "tray" (the tray
  // program's window: messages are handed to its process).
  std::string behavior = "closes";
};

struct PostedMessage {
  uint64_t at = 0;
  uint64_t window = 0;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

struct DialogRecord {
  int templateId = 0;
  uint64_t owner = 0;
  U16 title;
  U16 text;  // control 1001
  INT_PTR result = -1;
};

struct UserModel {
  bool shiftDown = false;
  std::vector<SimWindow> windows;
  uint64_t nextWindow = 0x10010;
  // The button the simulated user presses in a dialog: IDOK or IDCANCEL.
  int dialogAnswer = 1;
  // Command-line build: print each dialog's title and text on the terminal.
  bool echoDialogs = false;
  // In-process record of this run (never saved).
  std::vector<PostedMessage> posted;
  std::vector<DialogRecord> dialogs;
  // The window station the program starts on: the interactive "WinSta0", whose windows the
  // user sees, or (false) the hidden station of a service or a deployment agent run as the
  // local system account, where a dialog waits for ever.
  bool windowStationVisible = true;
};

}  // namespace sim
