// Helpers shared by the spooler contract tests: writable wide text for the API's LPWSTR
// parameters, the two-call pattern, and printers made and removed through the API.
#pragma once
#include <string>
#include <vector>

#include "contract.h"

using WideString = std::basic_string<WCHAR>;

// Wide text the spooler's non-const parameters can take.
class Wide {
 public:
  Wide(const WCHAR* text) : text_(text ? text : W("")), null_(!text) {}  // NOLINT
  Wide(WideString text) : text_(std::move(text)) {}                      // NOLINT
  operator LPWSTR() { return null_ ? nullptr : text_.data(); }           // NOLINT

 private:
  WideString text_;
  bool null_ = false;
};

// ASCII view of wide text, for readable assertions.
inline std::string Narrow(const WCHAR* s) {
  std::string out;
  for (; s && *s; ++s) out += *s < 0x80 ? char(*s) : '?';
  return out;
}

inline std::string Lower(std::string s) {
  for (auto& c : s) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return s;
}

// Whether a string pointer lies inside the buffer the caller gave.
inline bool Inside(const void* p, const std::vector<BYTE>& buffer) {
  auto* b = static_cast<const BYTE*>(p);
  return b >= buffer.data() && b < buffer.data() + buffer.size();
}

constexpr DWORD kAnyError = 0xdeadbeef;

#ifdef _WIN32
// A machine without any printer driver (a fresh Wine prefix) gets one for the run, made from
// the package's driver and UI modules in the folder named by ORVINST_CONTRACT_PACKAGE (the
// spooler loads the UI module whenever a queue is created on it). The files are staged in the
// printer-driver directory first, the way every spooler takes them. What it adds it removes.
class ContractDriverEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    DWORD needed = 0, count = 0;
    EnumPrinterDriversW(nullptr, nullptr, 1, nullptr, 0, &needed, &count);
    if (needed > 0) return;  // the machine has drivers of its own
    WCHAR package[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableW(W("ORVINST_CONTRACT_PACKAGE"), package, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;  // InstalledDriver() reports the missing driver
    WideString from = package;
    for (auto& c : from) {
      if (c == W('/')) c = W('\\');
    }
    if (from.back() != W('\\')) from += W('\\');
    WCHAR dir[MAX_PATH] = {};
    ASSERT_TRUE(GetPrinterDriverDirectoryW(nullptr, env_.data(), 1, reinterpret_cast<LPBYTE>(dir),
                                           sizeof(dir), &needed));
    for (const WCHAR* file : {W("kvxdrv64.dll"), W("kvxui64.dll")}) {
      WideString staged = WideString(dir) + W("\\") + file;
      ASSERT_TRUE(CopyFileW((from + file).c_str(), staged.c_str(), FALSE))
          << Narrow((from + file).c_str()) << ": " << GetLastError();
      staged_.push_back(staged);
    }
    WideString name = kName;
    DRIVER_INFO_6W info = {};
    info.cVersion = 3;
    info.pName = name.data();
    info.pEnvironment = env_.data();
    info.pDriverPath = staged_[0].data();
    info.pDataFile = staged_[0].data();
    info.pConfigFile = staged_[1].data();
    ASSERT_TRUE(
        AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES))
        << GetLastError();
    added_ = true;
  }
  void TearDown() override {
    if (added_) {
      WideString name = kName;
      if (!DeletePrinterDriverExW(nullptr, env_.data(), name.data(), DPD_DELETE_ALL_FILES, 0)) {
        DeletePrinterDriverExW(nullptr, env_.data(), name.data(), 0, 0);  // Wine takes no flags
      }
    }
    for (const auto& file : staged_) DeleteFileW(file.c_str());
  }

 private:
  static constexpr const WCHAR* kName = W("Contract Base Driver");
  WideString env_ = W("Windows x64");
  std::vector<WideString> staged_;
  bool added_ = false;
};

inline ::testing::Environment* const kContractDriverEnvironment =
    ::testing::AddGlobalTestEnvironment(new ContractDriverEnvironment);
#endif

// The driver every test printer uses: one the machine already has.
inline WideString InstalledDriver() {
  DWORD needed = 0, count = 0;
  EnumPrinterDriversW(nullptr, nullptr, 1, nullptr, 0, &needed, &count);
  std::vector<BYTE> buffer(needed ? needed : 1);
  if (!EnumPrinterDriversW(nullptr, nullptr, 1, buffer.data(), needed, &needed, &count) ||
      count == 0) {
    ADD_FAILURE() << "the machine needs one printer driver for the native environment";
    return W("");
  }
  return reinterpret_cast<DRIVER_INFO_1W*>(buffer.data())->pName;
}

// A printer from the fields the installer fills (a null one stays unset); returns its open
// handle or null.
inline HANDLE AddPrinterWith(const WCHAR* name, const WCHAR* port, const WCHAR* driver,
                             const WCHAR* processor, const WCHAR* datatype, DWORD level = 2) {
  Wide printerName(name), portName(port), drv(driver), proc(processor), type(datatype),
      comment(W(""));
  PRINTER_INFO_2W info = {};
  info.pPrinterName = printerName;
  info.pPortName = portName;
  info.pDriverName = drv;
  info.pPrintProcessor = proc;
  info.pDatatype = type;
  info.pComment = comment;
  return AddPrinterW(nullptr, level, reinterpret_cast<LPBYTE>(&info));
}

// A printer on FILE: with the installed driver; returns its open handle or null.
inline HANDLE AddTestPrinter(const WCHAR* name, const WCHAR* port = W("FILE:")) {
  return AddPrinterWith(name, port, InstalledDriver().c_str(), W("winprint"), W("RAW"));
}

// Removes a printer by name if it is there, so tests on a real machine leave nothing behind.
inline void RemoveTestPrinter(const WCHAR* name) {
  PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE h = nullptr;
  if (OpenPrinterW(Wide(name), &h, &all)) {
    DeletePrinter(h);
    ClosePrinter(h);
  }
}

// PRINTER_INFO_2W of an open printer, in a buffer of exactly the size asked for.
inline std::vector<BYTE> PrinterInfo2(HANDLE h) {
  DWORD needed = 0;
  GetPrinterW(h, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed ? needed : 1);
  if (!GetPrinterW(h, 2, buffer.data(), needed, &needed)) buffer.clear();
  return buffer;
}

// A listing through the two-call pattern: the size asked with no buffer, refused one byte
// short with the same size, then filled exactly. `call(buffer, size, &needed, &count)`.
struct Listing {
  std::vector<BYTE> buffer;
  DWORD count = 0;
  DWORD countWhenTooSmall = kAnyError;  // what the sizing call reported
};

template <typename Call>
Listing ListTwoCall(Call call) {
  Listing out;
  DWORD needed = 0, again = 0;
  EXPECT_FAILS(call(nullptr, 0, &needed, &out.countWhenTooSmall), ERROR_INSUFFICIENT_BUFFER);
  if (needed == 0) return out;  // the sizing call has failed the test already
  out.buffer.resize(needed);
  EXPECT_FAILS(call(out.buffer.data(), needed - 1, &again, &out.count), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(again, needed);
  if (!call(out.buffer.data(), needed, &again, &out.count)) {
    ADD_FAILURE() << "the exact size was refused: " << GetLastError();
    out.count = 0;
  }
  EXPECT_EQ(again, needed);
  return out;
}
