// Stand-in driver configuration module: the document-properties entry the spooler calls while
// a queue is created. It describes a plain A4 portrait page.
#include <windows.h>
#include <winspool.h>
#include <winddiui.h>

namespace {
// The driver kit's layout of the header passed to DrvDocumentPropertySheets without a
// property-sheet session (mingw's headers lack it).
struct DocumentPropertyHeader {
  WORD cbSize;
  WORD Reserved;
  HANDLE hPrinter;
  LPWSTR pszPrinterName;
  PDEVMODEW pdmIn;
  PDEVMODEW pdmOut;
  DWORD cbOut;
  DWORD fMode;
};

void FillDevMode(DEVMODEW& mode, LPCWSTR printerName) {
  ZeroMemory(&mode, sizeof(mode));
  if (printerName) lstrcpynW(mode.dmDeviceName, printerName, CCHDEVICENAME);
  mode.dmSpecVersion = DM_SPECVERSION;
  mode.dmSize = sizeof(mode);
  mode.dmFields = DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES;
  mode.dmOrientation = DMORIENT_PORTRAIT;
  mode.dmPaperSize = DMPAPER_A4;
  mode.dmCopies = 1;
}
}  // namespace

extern "C" __declspec(dllexport) LONG WINAPI
    DrvDocumentPropertySheets(PPROPSHEETUI_INFO info, LPARAM param) {
  // Only the call without a property-sheet session is served: it asks for the size or fills
  // the caller's DEVMODEW.
  if (info) return -1;
  auto* header = reinterpret_cast<DocumentPropertyHeader*>(param);
  if (!header) return -1;
  if (header->fMode == 0 || !header->pdmOut) return sizeof(DEVMODEW);
  if ((header->fMode & DM_OUT_BUFFER) && header->cbOut >= sizeof(DEVMODEW)) {
    FillDevMode(*header->pdmOut, header->pszPrinterName);
    return 1;
  }
  return -1;
}

extern "C" __declspec(dllexport) BOOL WINAPI
    DrvDeviceCapabilities(HANDLE, PWSTR, WORD, PVOID, PDEVMODEW) {
  return FALSE;
}
