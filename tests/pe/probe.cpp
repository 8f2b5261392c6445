// A program built in the wrong ways on purpose, so that the executable check is seen to refuse
// each of them. It uses the C++ runtime so that a build without the static runtime needs its DLLs.
#include <windows.h>
#include <winspool.h>

#include <string>

int Run() {
  std::wstring text = GetCommandLineW();
  try {
    if (text.size() > 100000) throw text.size();
  } catch (size_t) {
    return 1;
  }
#ifdef PROBE_WINSPOOL
  if (text.empty()) ClosePrinter(nullptr);
#endif
  return static_cast<int>(text.size() % 7);
}

#ifdef PROBE_CONSOLE
int main() {
  return Run();
}
#else
int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  return Run();
}
#endif
