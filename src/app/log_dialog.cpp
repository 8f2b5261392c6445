#include "app/log_dialog.h"

#include "app/resource.h"
#include "context/format.h"
#include "context/install_context.h"

namespace {
constexpr size_t kTitleUnits = 264;

void ShowLog(HWND dialog, const InstallContext* context) {
  SetDlgItemTextW(dialog, IDC_LOG_TEXT, context ? Chars(context->LogText) : W(""));
  WCHAR title[kTitleUnits];
  size_t n = FormatText(title, kTitleUnits, W("Orvalstone build %d- Install"), kBuildNumber);
  const bool errors = context && context->ErrorCount != 0;
  FormatText(title + n, kTitleUnits - n, errors ? W(" error log!") : W(" log."));
  SetWindowTextW(dialog, title);
}
}  // namespace

INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      ShowLog(dialog, reinterpret_cast<const InstallContext*>(lParam));
      // No initial focus is asked for.
      return FALSE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        EndDialog(dialog, 1);
      } else if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, 0);
      }
      return FALSE;
    default:
      return FALSE;
  }
}
