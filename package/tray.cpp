// Stand-in tray program. It keeps the installer's protocol: while it runs it owns the named
// mutex and a top-level window of the agreed class; message 1026 asks it to release the mutex
// and exit. For the installer's failure paths it has other modes:
//   --ignore-exit    the message is ignored; the program runs until it is ended from outside
//   --ignore-exit=N  the first N messages are ignored, the next one is obeyed; the exit code is
//                    the number of messages received, so a test sees how often it was asked
//   --exit-holding   on the message the program exits without releasing the mutex (abandoned)
#include <windows.h>

namespace {

constexpr char kMutexName[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
constexpr WCHAR kWindowClass[] = L"ovs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
constexpr UINT kExitMessage = WM_USER + 2;

enum class Mode { Normal, IgnoreExit, ExitHolding };

Mode TrayMode = Mode::Normal;
HANDLE TrayMutex = nullptr;
// Messages still to ignore in the counted mode, and messages received so far.
int IgnoreLeft = 0;
int Received = 0;

Mode ModeFromCommandLine() {
  int count = 0;
  LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
  Mode mode = Mode::Normal;
  for (int i = 1; words && i < count; ++i) {
    if (lstrcmpW(words[i], L"--ignore-exit") == 0) mode = Mode::IgnoreExit;
    if (lstrcmpW(words[i], L"--exit-holding") == 0) mode = Mode::ExitHolding;
    if (wcsncmp(words[i], L"--ignore-exit=", 14) == 0) IgnoreLeft = _wtoi(words[i] + 14);
  }
  LocalFree(words);
  return mode;
}

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kExitMessage) {
    ++Received;
    if (IgnoreLeft > 0) {
      --IgnoreLeft;
      return 0;
    }
    switch (TrayMode) {
      case Mode::IgnoreExit:
        return 0;
      case Mode::ExitHolding:
        ExitProcess(3);
      case Mode::Normal:
        ReleaseMutex(TrayMutex);
        DestroyWindow(window);
        return 0;
    }
  }
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  TrayMode = ModeFromCommandLine();
  TrayMutex = CreateMutexA(nullptr, TRUE, kMutexName);
  // One tray program per session: a second copy leaves at once.
  if (!TrayMutex || GetLastError() == ERROR_ALREADY_EXISTS) return 1;

  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = TrayWindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kWindowClass;
  if (!RegisterClassW(&windowClass)) return 2;
  HWND window = CreateWindowExW(0, kWindowClass, L"Orvalstone tray", WS_OVERLAPPED, 0, 0, 0, 0,
                                nullptr, nullptr, instance, nullptr);
  if (!window) return 2;

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  CloseHandle(TrayMutex);
  return Received;
}
