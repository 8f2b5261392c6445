// The e2e dialog reader: finds the installer's log dialog by its title, reports what it shows
// and closes it the way a user would; or reads the resources back from the executable file.
// It imports no DLL that the planting case plants, so that its "load" sees a plain search.
//
//   orvdlg read TITLE MS ok|cancel   wait up to MS for a visible dialog titled TITLE, print its
//                                    title, owner, controls and the lines of control 1001, then
//                                    send IDOK or IDCANCEL and wait (up to 10 s) for it to go
//   orvdlg template EXE              dialog 101, the manifest and the product version (language
//                                    1033)
//   orvdlg load NAME                 LoadLibraryW(NAME) with the default search, prints the path
#include <windows.h>

#include <string>

#include "output.h"

namespace {

// Asked with WM_GETTEXT: GetWindowTextW does not ask a window of another process, it returns the
// caption the system keeps, which an edit control's text is not.
std::wstring WindowText(HWND window) {
  DWORD_PTR length = 0, copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) {
    return L"(no answer)";
  }
  std::wstring text(length + 1, L'\0');
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
  for (DWORD waited = 0; !IsWindowVisible(dialog = FindWindowW(L"#32770", title)); waited += 20) {
    if (waited >= timeoutMs) return 1;
    Sleep(20);
  }
  Print("title: " + Utf8(WindowText(dialog).c_str()));
  HWND owner = GetWindow(dialog, GW_OWNER);
  Print("owner: " + (owner ? HandleText(owner) : std::string("none")));
  EnumChildWindows(dialog, PrintChild, 0);
  HWND log = GetDlgItem(dialog, 1001);
  std::wstring text = log ? WindowText(log) : L"";
  for (size_t start = 0, end; start < text.size(); start = end + 2) {
    end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    Print("text: " + Utf8(text.substr(start, end - start).c_str()));
  }
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(ok ? IDOK : IDCANCEL, BN_CLICKED), 0);
  // Closing is bounded on its own: a short search time must not cut the close short.
  for (DWORD waited = 0; IsWindow(dialog) && waited < 10000; waited += 20) Sleep(20);
  Print(IsWindow(dialog) ? "closed: no" : "closed: yes");
  return 0;
}

int Template(const wchar_t* path) {
  HMODULE module =
      LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!module) {
    Print("template: cannot load, error " + std::to_string(GetLastError()));
    return 1;
  }
  auto resource = [&](LPCWSTR type, int id, std::string& out) {
    HRSRC found = FindResourceExW(module, type, MAKEINTRESOURCEW(id),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (found) {
      out.assign(static_cast<const char*>(LockResource(LoadResource(module, found))),
                 SizeofResource(module, found));
    }
    return found != nullptr;
  };
  std::string data;
  if (!resource(RT_DIALOG, 101, data)) {
    Print("dialog: missing");
  } else {
    // The template's words in hexadecimal, eight a line (expected/ names their fields).
    for (size_t at = 0; at < data.size(); at += 16) {
      std::string line = "dialog:";
      for (size_t i = at; i < at + 16 && i + 1 < data.size(); i += 2) {
        line += " " + Hex(BYTE(data[i]) | BYTE(data[i + 1]) << 8).substr(6);
      }
      Print(line);
    }
  }
  // The manifest as it is, after a line of its own.
  Print("manifest:");
  if (!resource(MAKEINTRESOURCEW(24), 1, data)) data = "missing";
  while (!data.empty() && (data.back() == '\n' || data.back() == '\r')) data.pop_back();
  Print(data);
  // VS_FIXEDFILEINFO begins with its signature, 0xFEEF04BD.
  size_t fixed = resource(RT_VERSION, 1, data) ? data.find("\xBD\x04\xEF\xFE") : std::string::npos;
  if (fixed == std::string::npos || fixed + sizeof(VS_FIXEDFILEINFO) > data.size()) {
    Print("version: none");
  } else {
    VS_FIXEDFILEINFO info;
    CopyMemory(&info, data.data() + fixed, sizeof(info));
    Print("version: " + std::to_string(HIWORD(info.dwProductVersionMS)) + "." +
          std::to_string(LOWORD(info.dwProductVersionMS)) + "." +
          std::to_string(HIWORD(info.dwProductVersionLS)) + "." +
          std::to_string(LOWORD(info.dwProductVersionLS)));
  }
  FreeLibrary(module);
  return 0;
}

}  // namespace

int wmain(int count, wchar_t** words) {
  if (count == 5 && !lstrcmpW(words[1], L"read")) {
    return Read(words[2], _wtoi(words[3]), lstrcmpW(words[4], L"cancel") != 0);
  }
  if (count == 3 && !lstrcmpW(words[1], L"template")) return Template(words[2]);
  if (count == 3 && !lstrcmpW(words[1], L"load")) {
    HMODULE module = LoadLibraryW(words[2]);
    wchar_t path[MAX_PATH] = {};
    if (module) GetModuleFileNameW(module, path, MAX_PATH);
    Print("loaded: " + (module ? Utf8(path) : "error " + std::to_string(GetLastError())));
    return 0;
  }
  Print("usage: orvdlg read TITLE MS ok|cancel | template EXE | load NAME");
  return 2;
}
