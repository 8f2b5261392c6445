#include "app/entry.h"

#include "app/log_dialog.h"
#include "app/log_file.h"
#include "app/resource.h"
#include "context/install_context.h"
#include "context/names.h"
#include "context/run_log.h"
#include "context/text_compare.h"
#include "platform/dll_search.h"
#include "platform/identity.h"
#include "platform/unique.h"
#include "procedures/procedures.h"
#include "spooler/probes.h"

namespace {
// A help viewer that ignores the close request must not hold the run for ever: after 100
// waits of 50 ms (5 s) the run goes on with the window still open.
constexpr int kHelpCloseWaits = 100;
constexpr DWORD kHelpCloseWaitMs = 50;

enum class Action { CheckDriver, Init, Uninstall, RemoveTray, Install, SetDefault };
enum class Compare { IgnoreCase, Exact };

struct CommandWord {
  LPCWSTR Word;
  Compare How;
  Action Do;
};

// Searched in this order; the first match wins.
constexpr CommandWord kCommands[] = {
    {W("onChkDrv"), Compare::IgnoreCase, Action::CheckDriver},
    {W("onInit"), Compare::IgnoreCase, Action::Init},
    {W("un"), Compare::IgnoreCase, Action::Uninstall},
    {W("uninstall"), Compare::IgnoreCase, Action::Uninstall},
    {W("removetray"), Compare::IgnoreCase, Action::RemoveTray},
    {W("in"), Compare::IgnoreCase, Action::Install},
    {W("install"), Compare::IgnoreCase, Action::Install},
    {W("serverinstall"), Compare::IgnoreCase, Action::Install},
    {W("def.set"), Compare::Exact, Action::SetDefault},
};

// The runtime's case-insensitive comparison in its default locale folds only A-Z.
bool SameWord(LPCWSTR word, LPCWSTR command, Compare how) {
  return how == Compare::IgnoreCase ? SameTextIgnoringCase(word, command) : SameText(word, command);
}

bool IsSpace(WCHAR c) {
  return c == W(' ') || (c >= W('\t') && c <= W('\r'));
}

HWND OwnerWindow(LPCWSTR word) {
  // Sign-extended from 32 bits, as handles are passed between processes.
  HWND window = reinterpret_cast<HWND>(static_cast<INT_PTR>(DecimalToLong(word)));
  return IsWindow(window) ? window : nullptr;
}

int LongRunExit(bool errors, DWORD rebootDeleteCount, int success) {
  if (errors) return ExitErrorsLogged;
  return rebootDeleteCount > 0 ? ExitRebootDeletes : success;
}

bool RunProcedure(Action action, HWND owner, const RunStart& start, DWORD& rebootDeleteCount) {
  InstallContext context;
  const bool install = action == Action::Install;
  // Nothing is removed on a machine that cannot take what would be installed again.
  const bool machineFits = !install || MachineTakesPackage(context);
  rebootDeleteCount = 0;
  if (machineFits) {
    CloseHelpWindows();
    BuildInstallContext(context);
    if (start.TookOver) {
      Log(context, W("An earlier run ended before it finished: this run takes its place"));
    }
    if (install) {
      rebootDeleteCount = InstallCommand(context);
    } else {
      // The package stops counting as installed before any of it goes.
      MarkInstalled(context, false);
      rebootDeleteCount = UninstallCommand(context);
    }
  }
  const int exitCode = LongRunExit(context.ErrorCount != 0, rebootDeleteCount,
                                   install ? ExitInstalled : ExitUninstalled);
  // The very last step of an install: only a whole one says the package is there.
  if (install && machineFits) MarkInstalled(context, exitCode != ExitErrorsLogged);
  // Written before the dialog, which then also shows a failure to write it; the outcome is
  // final here and the dialog cannot change it.
  WriteLogFile(context, start, exitCode);
  // No one can close a dialog on a station no one sees: the run ends at once there.
  if ((context.ErrorCount != 0 || GetAsyncKeyState(VK_SHIFT) < 0) && WindowStationVisible()) {
    // Closing the dialog in any way changes nothing of the outcome.
    DialogBoxParamW(ProcessInstance, MAKEINTRESOURCEW(IDD_LOG), owner, LogDialogProc,
                    reinterpret_cast<LPARAM>(&context));
  }
  const bool errors = context.ErrorCount != 0;
  TearDownInstallContext(context);
  return errors;
}

// A run that found the machine held by another: its log says so, and nothing else happens.
void LogBusyRun(const RunStart& start, DWORD error) {
  InstallContext context;
  Log(context, W("Orvalstone %d"), kBuildNumber);
  ObtainModuleDirectory(context);
  if (error == WAIT_TIMEOUT) {
    Log(context,
        W("Another run of the installer is still at work after %d minutes: nothing was changed"),
        static_cast<int>(kRunLockWaitMs / 60000));
  } else {
    const unique_hlocal text(SystemErrorText(error));
    Log(context, W("The installer's run lock cannot be had: nothing was changed - (%s)"),
        text ? static_cast<LPCWSTR>(text.get()) : W(""));
  }
  WriteLogFile(context, start, ExitAlreadyRunning);
}

RunStart StartOf(LPCWSTR word, LPCWSTR job) {
  RunStart start;
  start.Word = word;
  start.Job = job;
  GetSystemTime(&start.Time);
  return start;
}

int LongRun(Action action, HWND owner, LPCWSTR word, RunLockState lock, DWORD error) {
  const bool install = action == Action::Install;
  RunStart start = StartOf(word, install ? W("install") : W("uninstall"));
  if (lock == RunLockState::Busy) {
    LogBusyRun(start, error);
    return ExitAlreadyRunning;
  }
  start.TookOver = lock == RunLockState::TakenOver;
  DWORD rebootDeleteCount = 0;
  const bool errors = install ? RunInstall(owner, start, rebootDeleteCount)
                              : RunUninstall(owner, start, rebootDeleteCount);
  return LongRunExit(errors, rebootDeleteCount, install ? ExitInstalled : ExitUninstalled);
}

int Perform(Action action, HWND owner, LPCWSTR word) {
  switch (action) {
    // The probes only read: they never wait for another run.
    case Action::CheckDriver:
      return CheckDriverVersion() ? ExitDriverCurrent : ExitChecksFalse;
    case Action::Init:
      if (CheckPendingModules()) return ExitPendingModules;
      return CheckDefaultPrinter() ? ExitDefaultPrinterOk : ExitChecksFalse;
    default:
      break;
  }
  // Everything else changes the machine: one run at a time, the others wait their turn.
  RunLock lock;
  const RunLockState state = lock.Take();
  switch (action) {
    case Action::Install:
    case Action::Uninstall:
      return LongRun(action, owner, word, state, lock.Error());
    case Action::RemoveTray:
      if (state == RunLockState::Busy) return ExitAlreadyRunning;
      RemoveTrayCommand();
      return ExitNoCommand;
    case Action::SetDefault:
      if (state == RunLockState::Busy) return ExitAlreadyRunning;
      SetPackageDefault();
      return ExitDefaultSet;
    default:
      return ExitNoCommand;
  }
}
}  // namespace

LONG DecimalToLong(LPCWSTR s) {
  constexpr LONGLONG kMax = 2147483647LL;
  constexpr LONGLONG kMinMagnitude = 2147483648LL;
  if (!s) return 0;
  while (IsSpace(*s)) ++s;
  bool negative = false;
  if (*s == W('+') || *s == W('-')) negative = *s++ == W('-');
  LONGLONG magnitude = 0;
  for (; *s >= W('0') && *s <= W('9'); ++s) {
    magnitude = magnitude * 10 + (*s - W('0'));
    if (magnitude > kMinMagnitude) magnitude = kMinMagnitude;  // clamped below
  }
  if (negative) return LONG(-magnitude);
  return LONG(magnitude > kMax ? kMax : magnitude);
}

void CloseHelpWindows() {
  for (int wait = 0; wait < kHelpCloseWaits; ++wait) {
    HWND viewer = FindWindowW(kHelpViewerClass, kHelpViewerTitle);
    if (!viewer) return;
    PostMessageW(viewer, WM_SYSCOMMAND, SC_CLOSE, 0);
    Sleep(kHelpCloseWaitMs);
  }
}

bool RunInstall(HWND owner, const RunStart& start, DWORD& rebootDeleteCount) {
  return RunProcedure(Action::Install, owner, start, rebootDeleteCount);
}

bool RunUninstall(HWND owner, const RunStart& start, DWORD& rebootDeleteCount) {
  return RunProcedure(Action::Uninstall, owner, start, rebootDeleteCount);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  // Before any library is loaded: nothing planted beside the executable may be picked up.
  RestrictDllSearch();
  ProcessInstance = instance;
  int count = 0;
  LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
  const unique_hlocal split(words);
  // A command line the system cannot split counts as one without a command word.
  if (!words || count < 2) return ExitNoCommand;
  // Only the three-word form names an owner; further words are ignored.
  HWND owner = count == 3 ? OwnerWindow(words[2]) : nullptr;
  int exitCode = ExitNoCommand;
  for (const CommandWord& command : kCommands) {
    if (SameWord(words[1], command.Word, command.How)) {
      exitCode = Perform(command.Do, owner, words[1]);
      break;
    }
  }
  return exitCode;
}
