// How the window, keyboard and dialog calls answer.
#include "contract.h"

namespace {

TEST_F(Contract, MissingWindowsAreNotFound) {
  EXPECT_EQ(FindWindowW(W("HH Parent"), W("No Such Help Viewer Title")), nullptr);
  EXPECT_FALSE(IsWindow(nullptr));
  EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(static_cast<LONG_PTR>(0x1A2B))));
  EXPECT_FAILS(PostMessageW(reinterpret_cast<HWND>(static_cast<LONG_PTR>(0x1A2B)), WM_NULL, 0, 0),
               ERROR_INVALID_WINDOW_HANDLE);
}

#ifndef _WIN32
HWND OpenHelpViewer(sim::Machine& m, const char* behavior) {
  sim::SimWindow w;
  w.handle = m.user.nextWindow++;
  w.className = u"HH Parent";
  w.title = u"Orvalstone Help";
  w.behavior = behavior;
  m.user.windows.push_back(w);
  return reinterpret_cast<HWND>(w.handle);
}

TEST_F(Contract, SimHelpViewerClosesOnRequestOrIgnoresIt) {
  HWND obeys = OpenHelpViewer(machine_, "closes");
  HWND stubborn = OpenHelpViewer(machine_, "ignores");
  // The newest window is found first, and class and title match ignoring case.
  EXPECT_EQ(FindWindowW(W("hh parent"), W("ORVALSTONE HELP")), stubborn);
  EXPECT_TRUE(PostMessageW(obeys, WM_SYSCOMMAND, SC_CLOSE, 0));
  EXPECT_TRUE(PostMessageW(stubborn, WM_SYSCOMMAND, SC_CLOSE, 0));
  EXPECT_TRUE(IsWindow(obeys));  // the viewer handles the message a moment later
  Sleep(50);
  EXPECT_FALSE(IsWindow(obeys));
  EXPECT_TRUE(IsWindow(stubborn));
}

TEST_F(Contract, SimShiftStateIsReadFromTheKeyboard) {
  EXPECT_EQ(GetAsyncKeyState(VK_SHIFT), 0);
  machine_.user.shiftDown = true;
  EXPECT_LT(GetAsyncKeyState(VK_SHIFT), 0);
}

INT_PTR CALLBACK RecordingProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetDlgItemTextW(dialog, 1001, reinterpret_cast<LPCWSTR>(lParam));
    SetWindowTextW(dialog, W("Title"));
  } else if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
    EndDialog(dialog, 0);
  } else if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
    EndDialog(dialog, 1);
  }
  return 0;
}

TEST_F(Contract, SimDialogRunsTheProcedureAndRecordsWhatItShows) {
  const WCHAR* text = W("line 1\r\nline 2\r\n");
  EXPECT_EQ(DialogBoxParamW(nullptr, MAKEINTRESOURCEW(101), nullptr, RecordingProc,
                            reinterpret_cast<LPARAM>(text)),
            1);
  machine_.user.dialogAnswer = IDCANCEL;
  EXPECT_EQ(DialogBoxParamW(nullptr, MAKEINTRESOURCEW(101), nullptr, RecordingProc,
                            reinterpret_cast<LPARAM>(text)),
            0);
  ASSERT_EQ(machine_.user.dialogs.size(), 2u);
  EXPECT_EQ(machine_.user.dialogs[0].title, u"Title");
  EXPECT_EQ(machine_.user.dialogs[0].text, text);
  // Only template 101 exists in the program's module.
  EXPECT_EQ(DialogBoxParamW(nullptr, MAKEINTRESOURCEW(102), nullptr, RecordingProc, 0), -1);
}
#endif

// A window station tells whether anyone sees its windows: the interactive one does, one the
// program makes itself does not. The flags need a whole USEROBJECTFLAGS.
TEST_F(Contract, WindowStationsTellWhetherTheyAreSeen) {
  struct Station {
    HWINSTA handle;
    const WCHAR* name;
    DWORD flags;
  };
  HWINSTA made = CreateWindowStationW(W("OrvContractStation"), 0, WINSTA_ALL_ACCESS, nullptr);
  ASSERT_NE(made, nullptr);
  // The tests run on the user's interactive station.
  const Station stations[] = {{GetProcessWindowStation(), W("WinSta0"), WSF_VISIBLE},
                              {made, W("OrvContractStation"), 0}};
  for (const Station& s : stations) {
    ASSERT_NE(s.handle, nullptr);
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(GetUserObjectInformationW(s.handle, UOI_FLAGS, &flags, sizeof flags, &needed));
    EXPECT_EQ(needed, sizeof flags);
    EXPECT_EQ(flags.dwFlags & WSF_VISIBLE, s.flags);
    WCHAR name[64] = {};
    ASSERT_TRUE(GetUserObjectInformationW(s.handle, UOI_NAME, name, sizeof name, &needed));
    EXPECT_EQ(std::basic_string<WCHAR>(name), s.name);
    EXPECT_EQ(needed, (lstrlenW(s.name) + 1) * sizeof(WCHAR));
    // Too small: nothing written, the size told. Wine 8.0 answers ERROR_BUFFER_OVERFLOW (111)
    // where Windows answers ERROR_INSUFFICIENT_BUFFER.
    needed = 0;
    EXPECT_FAILS(GetUserObjectInformationW(s.handle, UOI_FLAGS, &flags, sizeof flags - 1, &needed),
                 OnWine() ? 111 : ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(needed, sizeof flags);
  }
  EXPECT_TRUE(CloseWindowStation(made));
}

#ifndef _WIN32
TEST_F(Contract, SimHiddenStationIsTheSystemAccountsAndUnseen) {
  machine_.user.windowStationVisible = false;
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  ASSERT_TRUE(GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags,
                                        &needed));
  EXPECT_EQ(flags.dwFlags, 0u);
  WCHAR name[64] = {};
  ASSERT_TRUE(
      GetUserObjectInformationW(GetProcessWindowStation(), UOI_NAME, name, sizeof name, &needed));
  EXPECT_EQ(std::u16string(name), u"Service-0x0-3e7$");
}
#endif

}  // namespace
