#include "app/log_file.h"

#include <initializer_list>
#include <iterator>

#include "context/install_context.h"
#include "context/paths.h"
#include "context/run_log.h"
#include "context/text_compare.h"
#include "platform/unique.h"

namespace {
constexpr LPCWSTR kFolderName = W("Logs");
// "YYYY-MM-DD_HH-MM-SS-mmm": fixed width, so names sort as their times do.
constexpr size_t kStampUnits = 23;
// Another run's file of the same millisecond gets "-2", "-3"... up to this.
constexpr int kMaxSequence = 9;
// UTF-16 units converted at a time; each becomes at most 3 bytes of UTF-8.
constexpr size_t kChunkUnits = 1024;
constexpr BYTE kUtf8Mark[] = {0xEF, 0xBB, 0xBF};

bool IsDigit(WCHAR c) {
  return c >= W('0') && c <= W('9');
}

// Appends `value` in decimal, zero-padded to `width` digits.
void AppendNumber(WideText& text, unsigned value, int width) {
  WCHAR digits[12] = {};
  int n = 0;
  do {
    digits[n++] = WCHAR(W('0') + value % 10);
    value /= 10;
  } while (value != 0 && n < 10);
  while (n < width && n < 10) digits[n++] = W('0');
  WCHAR out[12] = {};
  for (int i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
  Append(text, out);
}

// The time's fields from the year on, each with its fixed width and followed by its
// separator; the fields after the last separator given are left out.
void AppendTimeFields(WideText& text, const SYSTEMTIME& t, std::initializer_list<LPCWSTR> after) {
  const struct {
    unsigned value;
    int width;
  } fields[] = {{t.wYear, 4},   {t.wMonth, 2},  {t.wDay, 2},         {t.wHour, 2},
                {t.wMinute, 2}, {t.wSecond, 2}, {t.wMilliseconds, 3}};
  size_t i = 0;
  for (LPCWSTR separator : after) {
    AppendNumber(text, fields[i].value, fields[i].width);
    Append(text, separator);
    if (++i == std::size(fields)) break;
  }
}

// "2024-05-06 07:30:00 UTC"
void AppendTime(WideText& text, const SYSTEMTIME& t) {
  AppendTimeFields(text, t, {W("-"), W("-"), W(" "), W(":"), W(":"), W(" UTC")});
}

// "2024-05-06_07-30-00-000_install.log", or with "-N" after the job for a later one of the
// same millisecond.
WideText FileName(const RunStart& start, int sequence) {
  WideText name;
  AppendTimeFields(name, start.Time, {W("-"), W("-"), W("_"), W("-"), W("-"), W("-"), W("_")});
  Append(name, start.Job);
  if (sequence > 1) {
    Append(name, W("-"));
    AppendNumber(name, unsigned(sequence), 1);
  }
  Append(name, W(".log"));
  return name;
}

// Unit by unit, as file names are told apart (the system's string comparison follows the
// user's locale).
int CompareUnits(LPCWSTR a, LPCWSTR b) {
  for (; *a == *b; ++a, ++b) {
    if (*a == 0) return 0;
  }
  return *a < *b ? -1 : 1;
}

// Whether a name is one this program gives its log files; its sequence number (1 without
// one) goes to *sequence. Nothing else in the folder is ever removed.
bool IsLogFileName(LPCWSTR name, int* sequence) {
  const size_t n = size_t(lstrlenW(name));
  if (n < kStampUnits + 1) return false;
  for (size_t i = 0; i < kStampUnits; ++i) {
    const bool separator = i == 4 || i == 7 || i == 10 || i == 13 || i == 16 || i == 19;
    if (separator ? (name[i] != (i == 10 ? W('_') : W('-'))) : !IsDigit(name[i])) return false;
  }
  LPCWSTR rest = name + kStampUnits;
  if (*rest++ != W('_')) return false;
  size_t job = 0;
  if (StartsWith(rest, W("install"))) {
    job = 7;
  } else if (StartsWith(rest, W("uninstall"))) {
    job = 9;
  } else {
    return false;
  }
  rest += job;
  *sequence = 1;
  if (rest[0] == W('-') && rest[1] >= W('2') && rest[1] <= W('9')) {
    *sequence = rest[1] - W('0');
    rest += 2;
  }
  return CompareUnits(rest, W(".log")) == 0;
}

// Older first: by the time in the name, then by sequence, then by the whole name.
bool IsOlder(LPCWSTR a, int sequenceA, LPCWSTR b, int sequenceB) {
  for (size_t i = 0; i < kStampUnits; ++i) {
    if (a[i] != b[i]) return a[i] < b[i];
  }
  if (sequenceA != sequenceB) return sequenceA < sequenceB;
  return CompareUnits(a, b) < 0;
}

// A plain line, so that the run's outcome and its numbered errors stay as they were.
void NoteFailure(InstallContext& context, LPCWSTR what, const WideText& path, DWORD error) {
  if (error == 0) {
    Log(context, W("%s: %s"), what, Chars(path));
    return;
  }
  const unique_hlocal text(SystemErrorText(error));
  const LPCWSTR shown = text ? static_cast<LPCWSTR>(text.get()) : W(" No Description ");
  Log(context, W("%s: %s - (%s)"), what, Chars(path), shown);
}

bool WriteAll(HANDLE file, const void* data, DWORD bytes) {
  DWORD written = 0;
  return WriteFile(file, data, bytes, &written, nullptr) && written == bytes;
}

// Converts and writes UTF-16 text as UTF-8, a chunk at a time; a surrogate pair is never cut.
bool WriteUtf8(HANDLE file, LPCWSTR text, ULONGLONG count) {
  char buffer[3 * kChunkUnits];
  while (count != 0) {
    size_t n = count < kChunkUnits ? size_t(count) : kChunkUnits;
    if (n < count && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, text, int(n), buffer, int(sizeof buffer), nullptr, nullptr);
    if (bytes <= 0 || !WriteAll(file, buffer, DWORD(bytes))) return false;
    text += n;
    count -= n;
  }
  return true;
}

bool WriteLine(HANDLE file, const WideText& line) {
  return WriteUtf8(file, Chars(line), Count(line)) && WriteAll(file, "\r\n", 2);
}

bool WriteContents(HANDLE file, InstallContext& context, const RunStart& start, int exitCode) {
  WideText header;
  Assign(header, W("Orvalstone build "));
  AppendNumber(header, kBuildNumber, 1);
  Append(header, W(", orvinst "));
  Append(header, start.Word);
  Append(header, W(", started "));
  AppendTime(header, start.Time);

  SYSTEMTIME now = {};
  GetSystemTime(&now);
  WideText closing;
  Assign(closing, W("Exit code "));
  AppendNumber(closing, unsigned(exitCode), 1);
  Append(closing, W(", ended "));
  AppendTime(closing, now);

  return WriteAll(file, kUtf8Mark, sizeof kUtf8Mark) && WriteLine(file, header) &&
         WriteUtf8(file, Chars(context.LogText), Count(context.LogText)) &&
         WriteLine(file, closing);
}

// A new file under a name of this run; never an existing one, nor anything a name already
// there leads to.
unique_hfile CreateLogFile(const WideText& folder, const RunStart& start, WideText& path) {
  for (int sequence = 1;; ++sequence) {
    path = JoinPath(Chars(folder), Chars(FileName(start, sequence)));
    unique_hfile file(CreateFileW(Chars(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file || GetLastError() != ERROR_FILE_EXISTS || sequence == kMaxSequence) {
      return file;
    }
  }
}

// Removes the oldest log files of earlier runs until kKeptLogFiles - 1 are left beside the
// new one. Only regular files with the names this program gives are counted or removed.
void RemoveOldLogFiles(InstallContext& context, const WideText& folder, LPCWSTR newName) {
  const WideText pattern = JoinPath(Chars(folder), W("*.log"));
  int limit = -1;  // set by the first pass: each later one removes one file
  for (int removed = 0;; ++removed) {
    WIN32_FIND_DATAW found;
    unique_hfind find(FindFirstFileW(Chars(pattern), &found));
    if (!find) return;
    int count = 0;
    int oldestSequence = 0;
    WCHAR oldest[MAX_PATH] = {};
    do {
      int sequence = 0;
      if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
              0 ||
          !IsLogFileName(found.cFileName, &sequence) ||
          CompareUnits(found.cFileName, newName) == 0) {
        continue;
      }
      ++count;
      if (!oldest[0] || IsOlder(found.cFileName, sequence, oldest, oldestSequence)) {
        lstrcpyW(oldest, found.cFileName);
        oldestSequence = sequence;
      }
    } while (FindNextFileW(find.get(), &found));
    find.reset();
    if (limit < 0) limit = count - (kKeptLogFiles - 1);
    if (count < kKeptLogFiles || removed >= limit) return;
    const WideText path = JoinPath(Chars(folder), oldest);
    if (!DeleteFileW(Chars(path))) {
      NoteFailure(context, W("Old log file not deleted"), path, GetLastError());
      return;
    }
  }
}
}  // namespace

void WriteLogFile(InstallContext& context, const RunStart& start, int exitCode) {
  // No path is built from an unknown directory.
  if (Count(context.ModuleDir) == 0) {
    Log(context, W("Log file not written: the program's folder is not known"));
    return;
  }
  const WideText folder = JoinPath(Chars(context.ModuleDir), kFolderName);
  CreateDirectoryW(Chars(folder), nullptr);
  // The folder is held while the run works in it: without delete sharing it cannot be renamed
  // or replaced meanwhile, and it is checked as held, the folder itself, never where a
  // reparse point would lead.
  const unique_hfile held(CreateFileW(
      Chars(folder), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!held) {
    NoteFailure(context, W("Log file not written"), folder, GetLastError());
    return;
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(held.get(), &info)) {
    NoteFailure(context, W("Log file not written"), folder, GetLastError());
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
             (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    Log(context, W("Log file not written: %s is not a folder of its own"), Chars(folder));
  } else {
    WideText path;
    unique_hfile file = CreateLogFile(folder, start, path);
    if (!file) {
      NoteFailure(context, W("Log file not written"), path, GetLastError());
    } else {
      const bool written = WriteContents(file.get(), context, start, exitCode);
      const DWORD error = GetLastError();
      file.reset();
      if (!written) {
        // A cut-short file would pass for a whole log: it goes.
        DeleteFileW(Chars(path));
        NoteFailure(context, W("Log file not written"), path, error);
      } else {
        LPCWSTR name = Chars(path) + Count(folder) + 1;
        RemoveOldLogFiles(context, folder, name);
      }
    }
  }
}
