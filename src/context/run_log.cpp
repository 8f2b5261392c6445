#include "context/run_log.h"

#include <iterator>

#include "context/install_context.h"
#include "platform/unique.h"

namespace {
// The text of each error line, by its number. The setup program and the logs it keeps have
// always seen these spellings ("Can`t", "Cant't"): do not correct them.
constexpr LPCWSTR kErrorTexts[] = {
    W(""),
    W("Can't open service manager."),
    W("Can't open the spooler"),
    W("Can't stop the spooler"),
    W("Can't start the spooler"),
    W("ControlService failed with code %d (0x%x)"),
    W("Can`t retrieve printer driver directory."),
    W("Can`t retrieve system directory."),
    W("CopyFile(..,%s)"),
    W("Cant't open destination file: %s"),
    W("Cant't open source file: %s"),
    W("Can`t install a local port monitor'Orvalstone:'"),
    W("Can`t remove the port monitor 'Orvalstone:'"),
    W("Can`t install a printer driver 'Orvalstone printer'"),
    W("Can`t remove the printer-driver 'Orvalstone printer'"),
    W("Can`t add printer '%s'"),
    W("Can`t open printer '%s'"),
    W("Can`t delete printer '%s'"),
    W("Can`t save the settings of printer '%s'"),
    W("Can`t restore the settings of printer '%s'"),
    W("Can`t update the record of saved printers"),
    W("Can`t move printer '%s' back to its port"),
    W("Can`t list the printers"),
    W("Can`t list the port monitors"),
    W("Can`t list the printer drivers"),
    W("Can`t register the tray program"),
    W("Can`t remove the tray program"),
    W("Can`t retrieve the installer's directory."),
    W("Can`t delete %s"),
    W("Can`t withdraw the pending deletion of %s"),
    W("Can`t move printer '%s' to the port file:"),
    W("Can`t read the package file %s"),
    W("Can`t read the record %s, kept aside as %s"),
    W("Can`t install on a machine of type %s: the package is for x64"),
    W("Can`t install while Windows protected print mode is on: it refuses the package's driver "
      "and port monitor"),
    W("Can`t start the tray program"),
};
static_assert(std::size(kErrorTexts) == ErrStartTray + 1, "one text for every error number");

LPCWSTR ErrorText(LogErrorCode code) {
  return code < std::size(kErrorTexts) ? kErrorTexts[code] : W("");
}
}  // namespace

void LogSection::Deepen(InstallContext& context, LONG levels) {
  context.Indent += levels;
}

void AppendLogLine(InstallContext& context, LPCWSTR text) {
  if (context.Indent != 0) {
    WCHAR indent[2 * kMaxIndentLevels + 1] = {};
    const LONG levels = context.Indent < kMaxIndentLevels ? context.Indent : kMaxIndentLevels;
    for (LONG i = 0; i < 2 * levels; ++i) indent[i] = W(' ');
    if (indent[0]) Append(context.LogText, indent);
  }
  if (text && *text) Append(context.LogText, text);
  const ULONGLONG n = Count(context.LogText);
  if (Resize(context.LogText, n + 2)) {
    Data(context.LogText)[n] = W('\r');
    Data(context.LogText)[n + 1] = W('\n');
  }
}

void LogArgs(InstallContext& context, LPCWSTR format, const FormatArg* args, size_t count) {
  WCHAR line[kLogLineUnits];
  FormatTextArgs(line, kLogLineUnits, format, args, count);
  AppendLogLine(context, line);
}

void LogErrorArgs(InstallContext& context, LogErrorCode code, const FormatArg* args, size_t count) {
  WCHAR line[kLogLineUnits];
  size_t n = FormatText(line, kLogLineUnits, W("Error(%d): "), DWORD(code));
  n += FormatTextArgs(line + n, kLogLineUnits - n, ErrorText(code), args, count);
  // Read only now: the failing call of the caller left it, and formatting calls nothing.
  const DWORD lastError = GetLastError();
  const unique_hlocal systemText(SystemErrorText(lastError));
  if (lastError != 0) {
    if (systemText) {
      FormatText(line + n, kLogLineUnits - n, W(" - (%s)"), static_cast<LPCWSTR>(systemText.get()));
    } else {
      FormatText(line + n, kLogLineUnits - n, W(" - ( No Description )"));
    }
  }
  AppendLogLine(context, line);
  ++context.ErrorCount;
  // The caller may still want the code for its own decisions.
  SetLastError(lastError);
}

namespace {
// The message exactly as the system gives it, line break included, or null.
LPWSTR UntrimmedSystemText(DWORD code) {
  LPWSTR text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<LPWSTR>(&text),
      0, nullptr);
  if (length == 0 || !text) return nullptr;
  return text;
}
}  // namespace

LPWSTR SystemErrorText(DWORD code) {
  LPWSTR text = UntrimmedSystemText(code);
  if (!text) return nullptr;
  for (int i = lstrlenW(text); i-- > 0 && (text[i] == W('\r') || text[i] == W('\n'));) {
    text[i] = 0;
  }
  return text;
}
