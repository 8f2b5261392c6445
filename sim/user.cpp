// user32: other processes' top-level windows, the keyboard, and the program's modal dialog.
#include <cstdio>
#include <map>

#include "sim/machine.h"

using namespace sim;

namespace {
// Dialogs of the running program, by handle (in-process, never saved).
struct LiveDialog {
  size_t record = 0;
  bool ended = false;
  INT_PTR result = 0;
};
std::map<uint64_t, LiveDialog> liveDialogs;
uint64_t nextDialog = 0x20020;

SimWindow* FindWindowByHandle(Machine& m, HWND h) {
  for (auto& w : m.user.windows) {
    if (w.handle == reinterpret_cast<uint64_t>(h)) return &w;
  }
  return nullptr;
}

LiveDialog* FindDialog(HWND h) {
  auto it = liveDialogs.find(reinterpret_cast<uint64_t>(h));
  return it == liveDialogs.end() ? nullptr : &it->second;
}

void Echo(const DialogRecord& d) {
  std::string text = ToUtf8(d.text), shown;
  for (char c : text) {
    if (c != '\r') shown += c;
  }
  std::printf("=== %s ===\n%s", ToUtf8(d.title).c_str(), shown.c_str());
  if (!shown.empty() && shown.back() != '\n') std::printf("\n");
  std::printf("=== [%s] ===\n", d.result == IDOK ? "Close" : "Cancel");
  std::fflush(stdout);
}
}  // namespace

SHORT WINAPI GetAsyncKeyState(int key) {
  Enter("GetAsyncKeyState", std::to_string(key));
  if (key == VK_SHIFT && M().user.shiftDown) return SHORT(0x8000);
  return 0;
}

BOOL WINAPI IsWindow(HWND window) {
  Enter("IsWindow");
  return (FindWindowByHandle(M(), window) || FindDialog(window)) ? TRUE : FALSE;
}

HWND WINAPI FindWindowW(LPCWSTR className, LPCWSTR windowName) {
  Enter("FindWindowW", ToUtf8(FromW(className)) + "," + ToUtf8(FromW(windowName)));
  Machine& m = M();
  // The most recently created window is on top of the Z order.
  for (auto it = m.user.windows.rbegin(); it != m.user.windows.rend(); ++it) {
    if (className && !EqualFold(it->className, className)) continue;
    if (windowName && !EqualFold(it->title, windowName)) continue;
    return reinterpret_cast<HWND>(it->handle);
  }
  SetLastError(0);
  return nullptr;
}

BOOL WINAPI PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (DWORD e = Enter("PostMessageW", std::to_string(message))) return Fail(e);
  Machine& m = M();
  SimWindow* w = FindWindowByHandle(m, window);
  if (!w) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  m.user.posted.push_back({m.now, w->handle, message, wParam, lParam});
  const bool closeRequest =
      message == WM_CLOSE || (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE);
  if (w->behavior == "closes" && closeRequest) {
    // The other process handles the message a moment later.
    Schedule(m, 5, WindowClose{w->handle});
  } else if (w->behavior == "tray") {
    OnProcessWindowMessage(m, *w, message, wParam, lParam);
  }
  return TRUE;
}

INT_PTR WINAPI DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC proc,
                               LPARAM initParam) {
  (void)instance;
  if (DWORD e = Enter("DialogBoxParamW")) return Fail(e, -1);
  Machine& m = M();
  // The program's module holds one dialog template, 101.
  if (!IS_INTRESOURCE(templateName) || LOWORD(templateName) != 101) {
    return Fail(1814, -1);  // ERROR_RESOURCE_NAME_NOT_FOUND
  }
  if (owner && !IsWindow(owner)) return Fail(ERROR_INVALID_WINDOW_HANDLE, -1);
  DialogRecord record;
  record.templateId = 101;
  record.owner = reinterpret_cast<uint64_t>(owner);
  m.user.dialogs.push_back(record);
  const uint64_t handle = nextDialog++;
  liveDialogs[handle] = {m.user.dialogs.size() - 1, false, 0};
  HWND h = reinterpret_cast<HWND>(handle);

  proc(h, WM_INITDIALOG, 0, initParam);
  // The simulated user reads the log and presses the chosen button; a procedure that does
  // not end the dialog on it would leave a real user stuck, so the sim ends it (result 0).
  if (!liveDialogs[handle].ended) proc(h, WM_COMMAND, WPARAM(m.user.dialogAnswer), 0);
  LiveDialog live = liveDialogs[handle];
  liveDialogs.erase(handle);
  DialogRecord& done = m.user.dialogs[live.record];
  done.result = live.ended ? live.result : 0;
  if (m.user.echoDialogs) Echo(done);
  return done.result;
}

BOOL WINAPI EndDialog(HWND dialog, INT_PTR result) {
  LiveDialog* d = FindDialog(dialog);
  if (!d) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  d->ended = true;
  d->result = result;
  return TRUE;
}

BOOL WINAPI SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) {
  LiveDialog* d = FindDialog(dialog);
  if (!d) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  if (id == 1001) {
    M().user.dialogs[d->record].text = FromW(text);
    return TRUE;
  }
  if (id == IDOK) return TRUE;  // the button's caption
  return Fail(1421);            // ERROR_CONTROL_ID_NOT_FOUND
}

BOOL WINAPI SetWindowTextW(HWND window, LPCWSTR text) {
  Machine& m = M();
  if (LiveDialog* d = FindDialog(window)) {
    m.user.dialogs[d->record].title = FromW(text);
    return TRUE;
  }
  return Fail(ERROR_ACCESS_DENIED);  // another process's window
}

namespace sim {
void InitUser(Machine& m) {
  m.user = UserModel{};
}

void OnEvent(Machine& m, const WindowClose& e) {
  std::erase_if(m.user.windows, [&](const SimWindow& w) { return w.handle == e.handle; });
}
}  // namespace sim
