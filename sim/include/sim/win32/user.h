// user32: the windows, keyboard and dialog calls the product uses.
#pragma once
#include "sim/win32/base.h"

typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);
#define MAKEINTRESOURCEW(i) ((LPWSTR)((ULONG_PTR)((WORD)(i))))
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)

#define WM_NULL 0x0000
#define WM_CLOSE 0x0010
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_SYSCOMMAND 0x0112
#define WM_USER 0x0400
#define SC_CLOSE 0xF060
#define IDOK 1
#define IDCANCEL 2
#define VK_SHIFT 0x10

SHORT WINAPI GetAsyncKeyState(int key);
BOOL WINAPI IsWindow(HWND window);
HWND WINAPI FindWindowW(LPCWSTR className, LPCWSTR windowName);
BOOL WINAPI PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR WINAPI DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC proc,
                               LPARAM initParam);
BOOL WINAPI EndDialog(HWND dialog, INT_PTR result);
BOOL WINAPI SetDlgItemTextW(HWND dialog, int id, LPCWSTR text);
BOOL WINAPI SetWindowTextW(HWND window, LPCWSTR text);

// Window stations: whether anyone can see the program's windows.
DECLARE_HANDLE(HWINSTA);
typedef struct tagUSEROBJECTFLAGS {
  BOOL fInherit;
  BOOL fReserved;
  DWORD dwFlags;
} USEROBJECTFLAGS, *PUSEROBJECTFLAGS;
#define UOI_FLAGS 1
#define UOI_NAME 2
#define WSF_VISIBLE 0x0001
#define WINSTA_ALL_ACCESS 0x0000037F
HWINSTA WINAPI GetProcessWindowStation();
BOOL WINAPI GetUserObjectInformationW(HANDLE object, int index, PVOID info, DWORD length,
                                      LPDWORD needed);
HWINSTA WINAPI CreateWindowStationW(LPCWSTR name, DWORD flags, ACCESS_MASK access,
                                    LPSECURITY_ATTRIBUTES sa);
BOOL WINAPI CloseWindowStation(HWINSTA station);
