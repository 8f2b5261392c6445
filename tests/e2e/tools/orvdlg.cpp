// The e2e dialog reader: finds the installer's log dialog by its title, reports what it shows
// and closes it the way a user would; or reads the dialog template and the manifest back from
// the executable file.
//
//   orvdlg read TITLE MS ok|cancel   wait up to MS for a visible dialog titled TITLE, print its
//                                    title, owner, control ids and the text of control 1001,
//                                    then send IDOK or IDCANCEL and wait (up to 10 s) for it to go
//   orvdlg template EXE              print dialog 101 (language 1033) field by field and the
//                                    manifest (RT_MANIFEST 1, language 1033)
//   orvdlg load NAME                 LoadLibraryW(NAME) with the default search, print the path
//                                    of the module loaded (this program imports no DLL that a
//                                    planting case plants)
#include <windows.h>

#include <string>
#include <vector>

#include "output.h"

namespace {

constexpr int kLogControl = 1001;
constexpr DWORD kPollMs = 20;
constexpr DWORD kCloseMs = 10000;

std::string Hex(DWORD value) {
  char buffer[16];
  wsprintfA(buffer, "0x%08X", value);
  return buffer;
}

// Asked with WM_GETTEXT: GetWindowTextW does not ask a window of another process, it returns the
// caption the system keeps, which an edit control's text is not.
std::wstring WindowText(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) {
    return L"(no answer)";
  }
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()),
                      SMTO_ABORTIFHUNG, 5000, &copied);
  text.resize(copied);
  return text;
}

BOOL CALLBACK PrintChild(HWND child, LPARAM) {
  wchar_t className[64] = {};
  GetClassNameW(child, className, ARRAYSIZE(className));
  Print("control: " + std::to_string(GetDlgCtrlID(child)) + " class=" + Utf8(className) +
        " style=" + Hex(DWORD(GetWindowLongPtrW(child, GWL_STYLE))) +
        " exstyle=" + Hex(DWORD(GetWindowLongPtrW(child, GWL_EXSTYLE))));
  return TRUE;
}

int Read(const wchar_t* title, DWORD timeoutMs, bool ok) {
  HWND dialog = nullptr;
  for (DWORD waited = 0;; waited += kPollMs) {
    dialog = FindWindowW(L"#32770", title);
    if (dialog && IsWindowVisible(dialog)) break;
    if (waited >= timeoutMs) {
      Print("dialog: not found");
      return 1;
    }
    Sleep(kPollMs);
  }
  Print("dialog: " + HandleText(dialog));
  Print("title: " + Utf8(WindowText(dialog).c_str()));
  HWND owner = GetWindow(dialog, GW_OWNER);
  Print("owner: " + (owner ? HandleText(owner) : std::string("none")));
  EnumChildWindows(dialog, PrintChild, 0);
  HWND log = GetDlgItem(dialog, kLogControl);
  std::wstring text = log ? WindowText(log) : L"";
  // One "text:" line per log line, so the harness can compare them.
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    Print("text: " + Utf8(text.substr(start, end - start).c_str()));
    start = end + 2;
  }
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(ok ? IDOK : IDCANCEL, BN_CLICKED), 0);
  // Closing is bounded on its own: a short search time must not cut the close short.
  for (DWORD waited = 0; IsWindow(dialog); waited += kPollMs) {
    if (waited >= kCloseMs) {
      Print("closed: no");
      return 1;
    }
    Sleep(kPollMs);
  }
  Print("closed: yes");
  return 0;
}

// Reads the fields of an extended dialog template in order.
struct Reader {
  const BYTE* at;
  const BYTE* end;
  bool failed = false;

  template <typename T>
  T Take() {
    T value{};
    if (at + sizeof(T) > end) {
      failed = true;
      return value;
    }
    CopyMemory(&value, at, sizeof(T));
    at += sizeof(T);
    return value;
  }
  void Align(size_t to, const BYTE* base) {
    while ((at - base) % to) ++at;
  }
  // A name-or-ordinal field: 0 (none), 0xFFFF and an ordinal, or a zero-terminated string.
  std::string NameOrOrdinal() {
    WORD first = Take<WORD>();
    if (first == 0) return "none";
    if (first == 0xFFFF) return "#" + std::to_string(Take<WORD>());
    std::wstring text(1, wchar_t(first));
    for (WORD c = Take<WORD>(); c && !failed; c = Take<WORD>()) text += wchar_t(c);
    return "\"" + Utf8(text.c_str()) + "\"";
  }
};

int Template(const wchar_t* path) {
  HMODULE module =
      LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!module) {
    Print("template: cannot load, error " + std::to_string(GetLastError()));
    return 1;
  }
  const WORD english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
  HRSRC found = FindResourceExW(module, RT_DIALOG, MAKEINTRESOURCEW(101), english);
  if (!found) {
    Print("dialog: missing");
  } else {
    auto* base = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    Reader r{base, base + SizeofResource(module, found)};
    Print("dialog.version: " + std::to_string(r.Take<WORD>()));
    Print("dialog.signature: " + Hex(r.Take<WORD>()));
    Print("dialog.help: " + std::to_string(r.Take<DWORD>()));
    Print("dialog.exstyle: " + Hex(r.Take<DWORD>()));
    Print("dialog.style: " + Hex(r.Take<DWORD>()));
    WORD items = r.Take<WORD>();
    Print("dialog.items: " + std::to_string(items));
    short x = r.Take<short>(), y = r.Take<short>(), cx = r.Take<short>(), cy = r.Take<short>();
    Print("dialog.rect: " + std::to_string(x) + "," + std::to_string(y) + " " + std::to_string(cx) +
          "x" + std::to_string(cy));
    Print("dialog.menu: " + r.NameOrOrdinal());
    Print("dialog.class: " + r.NameOrOrdinal());
    Print("dialog.title: " + r.NameOrOrdinal());
    WORD points = r.Take<WORD>();
    WORD weight = r.Take<WORD>();
    BYTE italic = r.Take<BYTE>();
    BYTE charset = r.Take<BYTE>();
    Print("dialog.font: " + r.NameOrOrdinal() + " " + std::to_string(points) + " " +
          std::to_string(weight) + " " + std::to_string(italic) + " " + std::to_string(charset));
    for (WORD i = 0; i < items && !r.failed; ++i) {
      r.Align(4, base);
      const std::string item = "item" + std::to_string(i) + ".";
      Print(item + "help: " + std::to_string(r.Take<DWORD>()));
      Print(item + "exstyle: " + Hex(r.Take<DWORD>()));
      Print(item + "style: " + Hex(r.Take<DWORD>()));
      short ix = r.Take<short>(), iy = r.Take<short>(), icx = r.Take<short>(),
            icy = r.Take<short>();
      Print(item + "rect: " + std::to_string(ix) + "," + std::to_string(iy) + " " +
            std::to_string(icx) + "x" + std::to_string(icy));
      Print(item + "id: " + std::to_string(r.Take<DWORD>()));
      Print(item + "class: " + r.NameOrOrdinal());
      Print(item + "text: " + r.NameOrOrdinal());
      Print(item + "extra: " + std::to_string(r.Take<WORD>()));
    }
    Print(std::string("dialog.complete: ") + (r.failed ? "no" : "yes"));
  }
  found = FindResourceExW(module, MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1), english);
  if (!found) {
    Print("manifest: missing");
  } else {
    auto* text = static_cast<const char*>(LockResource(LoadResource(module, found)));
    std::string manifest(text, SizeofResource(module, found));
    size_t start = 0;
    while (start < manifest.size()) {
      size_t end = manifest.find('\n', start);
      if (end == std::string::npos) end = manifest.size();
      std::string line = manifest.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      Print("manifest: " + line);
      start = end + 1;
    }
  }
  FreeLibrary(module);
  return 0;
}

int Load(const wchar_t* name) {
  HMODULE module = LoadLibraryW(name);
  wchar_t path[MAX_PATH] = {};
  if (module) GetModuleFileNameW(module, path, MAX_PATH);
  Print("loaded: " + (module ? Utf8(path) : "error " + std::to_string(GetLastError())));
  return 0;
}

}  // namespace

int wmain(int count, wchar_t** words) {
  if (count == 5 && !lstrcmpW(words[1], L"read")) {
    return Read(words[2], _wtoi(words[3]), lstrcmpW(words[4], L"cancel") != 0);
  }
  if (count == 3 && !lstrcmpW(words[1], L"template")) return Template(words[2]);
  if (count == 3 && !lstrcmpW(words[1], L"load")) return Load(words[2]);
  Print("usage: orvdlg read TITLE MS ok|cancel | template EXE | load NAME");
  return 2;
}
