#include "context/run_log.h"

#include "context/install_context.h"
#include "platform/unique.h"

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

void LogErrorArgs(InstallContext& context, DWORD code, LPCWSTR format, const FormatArg* args,
                  size_t count) {
  WCHAR line[kLogLineUnits];
  size_t n = FormatText(line, kLogLineUnits, W("Error(%d): "), code);
  n += FormatTextArgs(line + n, kLogLineUnits - n, format, args, count);
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
