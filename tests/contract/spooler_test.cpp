// How the spooler answers: its sized queries, printers and their data, the default printer,
// printer drivers and port monitors.
#include <cstring>

#include "contract.h"

namespace {

const WCHAR* const kPrinter = W("Contract Printer");
const WCHAR* const kOther = W("Contract Printer Two");
const WCHAR* const kDriver = W("Contract Test Driver");
const WCHAR* const kMonitor = W("Contract Monitor:");

template <class T>
T& At(const std::vector<BYTE>& buffer, DWORD i = 0) {
  return const_cast<T*>(reinterpret_cast<const T*>(buffer.data()))[i];
}
bool Inside(const void* p, const std::vector<BYTE>& buffer) {
  auto* b = static_cast<const BYTE*>(p);
  return b >= buffer.data() && b < buffer.data() + buffer.size();
}

// The driver every test printer uses: one the machine has or else, in a fresh Wine prefix, one
// for the run (the prefix goes with it) from the package's driver and UI modules in the folder
// ORVINST_CONTRACT_PACKAGE names (the spooler loads the UI module whenever a queue is made on
// it), staged in the printer-driver directory first, the way every spooler takes them.
WString InstalledDriver() {
  DWORD needed = 0, count = 0;
  EnumPrinterDriversW(nullptr, nullptr, 1, nullptr, 0, &needed, &count);
#ifdef _WIN32
  WCHAR from[MAX_PATH] = {}, dir[MAX_PATH] = {}, name[] = L"Contract Base Driver";
  if (!needed && GetEnvironmentVariableW(L"ORVINST_CONTRACT_PACKAGE", from, MAX_PATH) &&
      GetPrinterDriverDirectoryW(nullptr, nullptr, 1, (BYTE*)dir, sizeof dir, &needed)) {
    for (const WCHAR* file : {L"\\kvxdrv64.dll", L"\\kvxui64.dll"}) {
      CopyFileW((from + WString(file)).c_str(), (dir + WString(file)).c_str(), FALSE);
    }
    WString module = dir + WString(L"\\kvxdrv64.dll"), ui = dir + WString(L"\\kvxui64.dll");
    DRIVER_INFO_6W info = {3, name, nullptr, module.data(), module.data(), ui.data()};
    EXPECT_TRUE(AddPrinterDriverExW(nullptr, 6, (BYTE*)&info, APD_COPY_ALL_FILES));
    EnumPrinterDriversW(nullptr, nullptr, 1, nullptr, 0, &needed, &count);
  }
#endif
  std::vector<BYTE> buffer(needed + 2);
  EnumPrinterDriversW(nullptr, nullptr, 1, buffer.data(), needed, &needed, &count);
  EXPECT_GT(count, 0u) << "the machine needs one printer driver for the native environment";
  return count ? At<DRIVER_INFO_1W>(buffer).pName : W("");
}

// A printer from the fields the installer fills (a null one stays unset): its handle or null.
HANDLE AddPrinterWith(const WCHAR* name, const WCHAR* port, const WCHAR* driver,
                      const WCHAR* processor = W("winprint"), const WCHAR* datatype = W("RAW")) {
  PRINTER_INFO_2W info = {nullptr, Mut(name), nullptr, Mut(port),      Mut(driver),  Mut(W("")),
                          nullptr, nullptr,   nullptr, Mut(processor), Mut(datatype)};
  return AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
}
HANDLE AddTestPrinter(const WCHAR* name, const WCHAR* port = W("FILE:")) {
  return AddPrinterWith(name, port, InstalledDriver().c_str());
}

// Whether a call gave a printer handle, closed again with the last error kept. Dropped: the
// printer is deleted through it too.
BOOL GavePrinter(HANDLE h, bool drop = false) {
  const DWORD error = GetLastError();
  if (h && drop) DeletePrinter(h);
  if (h) ClosePrinter(h);
  SetLastError(error);
  return h != nullptr;
}

std::vector<BYTE> PrinterInfo2(HANDLE h) {
  DWORD needed = 0;
  GetPrinterW(h, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  if (!needed || !GetPrinterW(h, 2, buffer.data(), needed, &needed))
    buffer.assign(sizeof(PRINTER_INFO_2W), 0);
  return buffer;
}

// Whether the system is to delete the file at its next start.
bool PendingDeletion(const WString& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("SYSTEM\\CurrentControlSet\\Control\\Session Manager"), 0,
                    KEY_QUERY_VALUE, &key)) {
    return false;
  }
  std::vector<WCHAR> list(32768, 0);
  DWORD size = DWORD(list.size() - 2) * sizeof(WCHAR);
  const bool read = !RegQueryValueExW(key, W("PendingFileRenameOperations"), nullptr, nullptr,
                                      reinterpret_cast<BYTE*>(list.data()), &size);
  RegCloseKey(key);
  const std::string entry = Lower("\\??\\" + Narrow(path.c_str()));
  // Pairs of a path and its new name, an empty one for a deletion.
  for (const WCHAR* p = list.data(); read && *p;) {
    const WCHAR* target = p + Narrow(p).size() + 1;
    if (Lower(Narrow(p)) == entry && !*target) return true;
    p = target + Narrow(target).size() + 1;
  }
  return false;
}

class Spooler : public Contract {
 protected:
  void TearDown() override {
    PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    for (const WCHAR* name : {kPrinter, kOther}) {
      HANDLE h = nullptr;
      if (OpenPrinterW(Mut(name), &h, &all)) GavePrinter(h, true);
    }
    DeletePrinterDriverExW(nullptr, nullptr, Mut(kDriver), 0, 0);
    DeleteMonitorW(nullptr, nullptr, Mut(kMonitor));
    Contract::TearDown();
  }
  // The test driver from files staged in a folder of the test's own (or `staged`), as the
  // installer adds it.
  BOOL AddTestDriver(const WCHAR* driverFile = W("ctdrv.dll"), const WCHAR* env = nullptr,
                     const WCHAR* staged = nullptr) {
    const WString dir = (staged ? WString(staged) : TestDir(W("orvcontract"))) + W("\\");
    for (const WCHAR* f : {W("ctdrv.dll"), W("ctui.dll"), W("cthelp.chm")}) PutFile(dir + f, "MZ");
    WString driver = dir + driverFile, config = dir + W("ctui.dll"), help = dir + W("cthelp.chm");
    DRIVER_INFO_6W info = {
        3, Mut(kDriver), Mut(env), driver.data(), driver.data(), config.data(), help.data()};
    info.pszMfgName = info.pszProvider = Mut(W("Contract Maker"));
    return AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES);
  }
};

// Every sized query the installer makes: the size asked with no buffer, again one byte short,
// then the buffer filled; each answer says how each call went and what the records read, every
// string of them inside the buffer.
TEST_F(Spooler, SizedQueriesAnswerInTwoCalls) {
#ifndef _WIN32
  machine_.spooler.printers.clear();  // none, as in a fresh Wine prefix
  machine_.spooler.defaultPrinter.clear();
#endif
  // With nothing to list the first call already succeeds: no size, no records.
  DWORD none = 1;
  SetLastError(kAnyError);
  const BOOL empty = EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &none, &none);
  Answer("EnumPrintersW, no printers", empty && !none ? "ok, nothing" : Result(FALSE));
  HANDLE h = AddTestPrinter(kPrinter);
  const std::string driver = Lower(Narrow(InstalledDriver().c_str()));
  WCHAR dir[MAX_PATH];
  GetSystemDirectoryW(dir, MAX_PATH);
  const std::string system = Lower(Narrow(dir));
  std::vector<BYTE> b;
  // A string of a record, the machine's own names for its driver and folder replaced.
  const auto text = [&](const WCHAR* s) {
    std::string t = Inside(s, b) ? Lower(Narrow(s)) : "<outside the buffer>";
    if (t.starts_with(system)) t.replace(0, system.size(), "<system>");
    return t == driver ? "<driver>" : t;
  };
  using Query = std::function<BOOL(BYTE*, DWORD, DWORD*, DWORD*)>;
  const auto sized = [&](const char* what, std::function<std::string(DWORD)> record, Query query) {
    DWORD needed = 0, again = 0, count = kAnyError;
    std::string answer = Result(query(nullptr, 0, &needed, &count));
    answer += count == kAnyError ? "" : ", " + std::to_string(count) + " records";
    b.assign(needed, 0);
    answer += "; " + Result(query(b.data(), needed - 1, &again, &count));
    answer += again == needed ? ", the same size; " : ", another size; ";
    answer += query(b.data(), needed, &again, &count) && again == needed ? "filled" : "not filled";
    for (DWORD i = 0; i < (count == kAnyError ? 1 : count); ++i) answer += "; " + record(i);
    Answer(what, answer);
  };
  // Records shown by one string each.
  const auto field = [&]<class T>(LPWSTR T::*f) {
    return [&, f](DWORD i) { return text(At<T>(b, i).*f); };
  };
  sized("EnumPrintersW level 2", field(&PRINTER_INFO_2W::pPrinterName),
        [](BYTE* b, DWORD size, DWORD* needed, DWORD* count) {
          return EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, b, size,
                               needed, count);
        });
  sized(
      "EnumMonitorsW level 2",
      [&](DWORD i) { return text(At<MONITOR_INFO_2W>(b, i).pEnvironment); },
      [](BYTE* b, DWORD size, DWORD* needed, DWORD* count) {
        return EnumMonitorsW(nullptr, 2, b, size, needed, count);
      });
  sized("EnumPrinterDriversW level 6", field(&DRIVER_INFO_6W::pName),
        [](BYTE* b, DWORD size, DWORD* needed, DWORD*) {
          DWORD count = 0;  // the count left with too small a buffer differs: not stated
          return EnumPrinterDriversW(nullptr, nullptr, 6, b, size, needed, &count);
        });
  sized("GetPrinterW level 2", field(&PRINTER_INFO_2W::pPortName),
        [&](BYTE* b, DWORD size, DWORD* needed, DWORD*) {
          return GetPrinterW(h, 2, b, size, needed);
        });
  // The product sizes with "Windows x64" and fills with none, the spooler's own.
  sized("GetPrinterDriverW level 2", field(&DRIVER_INFO_2W::pName),
        [&](BYTE* b, DWORD size, DWORD* needed, DWORD*) {
          return GetPrinterDriverW(h, Mut(b ? nullptr : W("Windows x64")), 2, b, size, needed);
        });
  sized(
      "GetPrinterDriverDirectoryW level 1",
      [&](DWORD) { return text(&At<WCHAR>(b)) + ", " + std::to_string(b.size()) + " bytes"; },
      [](BYTE* b, DWORD size, DWORD* needed, DWORD*) {
        return GetPrinterDriverDirectoryW(nullptr, Mut(W("Windows x64")), 1, b, size, needed);
      });
  ClosePrinter(h);
}

TEST_F(Spooler, PrintersAreAddedOpenedPurgedAndDeleted) {
  const WString driver = InstalledDriver();
  const WCHAR* drv = driver.c_str();
  HANDLE h = nullptr;
  PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  const auto open = [&](const WCHAR* name) { return OpenPrinterW(Mut(name), &h, &all); };
  const auto add = [&](const WCHAR* name, const WCHAR* type = W("RAW")) {
    h = AddPrinterWith(name, W("FILE:"), drv, W("WinPrint"), type);
    return h && Narrow(At<PRINTER_INFO_2W>(PrinterInfo2(h)).pDatatype) == "RAW" && GavePrinter(h);
  };
  Answer("add", Result(add(kPrinter)));
  Answer("add, unknown port", Result(GavePrinter(AddPrinterWith(kOther, W("NO77:"), drv), true)));
  Answer("add, a comma", Result(GavePrinter(AddPrinterWith(W("A,B"), W("FILE:"), drv), true)));
  Answer("open", Result(open(kPrinter) && GavePrinter(h)));
  Answer("open, empty name", Result(open(W(""))));
  Answer("purge", Result(open(kPrinter) && SetPrinterW(h, 0, nullptr, PRINTER_CONTROL_PURGE)));
  Answer("delete", Result(DeletePrinter(h) && ClosePrinter(h)));
  Answer("open, deleted", Result(open(kPrinter)));
  // As the installer fills it: no datatype, which takes the default.
  Answer("add, no datatype", Result(add(kPrinter, nullptr)));
  Answer("add, twice", Result(add(kOther) && add(kOther)));
  // The default printer, into buffers of each size.
  const DWORD exact = DWORD(Narrow(kOther).size() + 1);
  WCHAR name[100] = {};
  const auto get = [&](DWORD size, WCHAR* buffer) {
    const BOOL ok = GetDefaultPrinterW(buffer, &size) && Narrow(name) == Narrow(kOther);
    return Result(ok) + ", " + std::to_string(int(size - exact)) + " from the size";
  };
  Answer("set the default", Result(SetDefaultPrinterW(kOther)));
  Answer("get the default, one short", get(exact - 1, name));
  Answer("get the default, no buffer", get(100, nullptr));
  Answer("get the default", get(exact, name));
  Answer("set the default, missing", Result(SetDefaultPrinterW(W("No Such 42"))));
}

TEST_F(Spooler, SetPrinterLevel2AndTheRightsOfAHandle) {
  HANDLE a = AddTestPrinter(kPrinter, W("LPT1:")), b = AddTestPrinter(kOther), user = nullptr;
  ASSERT_TRUE(OpenPrinterW(Mut(kOther), &user, nullptr));  // PRINTER_ACCESS_USE only
  const auto set = [](HANDLE h, const WCHAR* name, const WCHAR* port) {
    std::vector<BYTE> info = PrinterInfo2(h);
    if (name) At<PRINTER_INFO_2W>(info).pPrinterName = Mut(name);
    if (port) At<PRINTER_INFO_2W>(info).pPortName = Mut(port);
    const std::string answer = Result(SetPrinterW(h, 2, info.data(), 0));
    // Port names compare ignoring case; the spooler may report the port's own spelling.
    return answer + ": " + Lower(Narrow(At<PRINTER_INFO_2W>(PrinterInfo2(h)).pPortName));
  };
  // The product parks queues on "file:", keeping any further ports of a pooled queue.
  Answer("port to file:", set(a, nullptr, W("file:")));
  Answer("pooled ports", set(a, nullptr, W("file:,LPT2:")));
  Answer("port back", set(a, nullptr, W("LPT1:")));
  Answer("rename onto a taken name", set(b, kPrinter, nullptr));
  Answer("use-only: SetPrinterDataA",
         Error(SetPrinterDataA(user, (LPSTR) "SubKey", REG_SZ, (BYTE*)"x", 2)));
  Answer("use-only: pause", Result(SetPrinterW(user, 0, nullptr, PRINTER_CONTROL_PAUSE)));
  Answer("use-only: DeletePrinter", Result(DeletePrinter(user)));
  for (HANDLE h : {a, b, user}) ClosePrinter(h);
}

// What a repair saves of a queue and gives back: sharing and the rules of share names,
// printing defaults (levels 2 and 8), permissions (levels 2 and 3, with the right to read
// them), printer data under a key of keys through the wide calls.
TEST_F(Spooler, AWholeQueueIsReadAndGivenBack) {
  const WString driver = InstalledDriver();
  const auto add = [&](const WCHAR* name, const WCHAR* share) {
    PRINTER_INFO_2W info = {.pPrinterName = Mut(name),
                            .pShareName = Mut(share),
                            .pPortName = Mut(W("FILE:")),
                            .pDriverName = Mut(driver.c_str()),
                            .pComment = Mut(W("")),
                            .pSepFile = Mut(W("C:\\Windows\\System32\\sysprint.sep")),
                            .pPrintProcessor = Mut(W("winprint")),
                            .pDatatype = Mut(W("RAW")),
                            .Attributes = PRINTER_ATTRIBUTE_SHARED,
                            .Priority = 7,
                            .StartTime = 480,
                            .UntilTime = 1080};
    return AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  };
  HANDLE h = add(kPrinter, W("Front"));
  std::vector<BYTE> info = PrinterInfo2(h);
  const auto& i2 = At<PRINTER_INFO_2W>(info);
  Answer("add, shared", h ? "ok: " + Narrow(i2.pShareName ? i2.pShareName : W("-")) + ", " +
                                std::to_string(i2.Attributes & PRINTER_ATTRIBUTE_SHARED) + ", " +
                                std::to_string(i2.Priority) + ", " + std::to_string(i2.StartTime) +
                                "-" + std::to_string(i2.UntilTime)
                          : Result(FALSE));
  Answer("add, a share name taken", Result(GavePrinter(add(kOther, W("front")), true)));
  Answer("add, a share name with a slash", Result(GavePrinter(add(kOther, W("a/b")), true)));
  // The printing defaults, given back with the orientation changed.
  const DEVMODEW* dm = i2.pDevMode;
  Answer("level 2 printing defaults",
         dm && Inside(dm, info) ? "a DEVMODE of " + std::to_string(dm->dmSize) + " bytes" : "none");
  std::vector<BYTE> defaults(dm ? dm->dmSize + dm->dmDriverExtra : 0);
  if (dm) std::memcpy(defaults.data(), dm, defaults.size());
  if (dm) At<DEVMODEW>(defaults).dmOrientation = 2;
  PRINTER_INFO_8W eight = {dm ? &At<DEVMODEW>(defaults) : nullptr};
  const std::string set8 = Result(SetPrinterW(h, 8, reinterpret_cast<LPBYTE>(&eight), 0));
  const std::vector<BYTE> after = PrinterInfo2(h);
  const DEVMODEW* back = At<PRINTER_INFO_2W>(after).pDevMode;
  Answer("level 8 set, read back",
         set8 + ", orientation " + std::to_string(back ? back->dmOrientation : 0));
  // The permissions: with the right to read them, and without.
  const auto level3 = [](HANDLE printer) {
    DWORD needed = 0;
    GetPrinterW(printer, 3, nullptr, 0, &needed);
    std::vector<BYTE> b(needed + 8);
    if (!GetPrinterW(printer, 3, b.data(), DWORD(b.size()), &needed)) return Result(FALSE);
    const PSECURITY_DESCRIPTOR sd = At<PRINTER_INFO_3>(b).pSecurityDescriptor;
    return std::string(sd && IsValidSecurityDescriptor(sd) && GetSecurityDescriptorLength(sd) > 20
                           ? "a self-relative descriptor"
                           : "none");
  };
  Answer("level 3, all access", level3(h));
  HANDLE user = nullptr;
  OpenPrinterW(Mut(kPrinter), &user, nullptr);
  Answer("level 3, use only", level3(user));
  ClosePrinter(user);
  // Printer data under "Prefs" and "Prefs\\Paper", listed back key by key.
  DWORD tray = 2;
  BYTE mark[] = {1, 0xFF};
  Answer("SetPrinterDataExW",
         Error(SetPrinterDataExW(h, W("Prefs\\Paper"), W("Tray"), REG_DWORD, (BYTE*)&tray, 4)) +
             ", " + Error(SetPrinterDataExW(h, W("Prefs"), W("Watermark"), REG_BINARY, mark, 2)));
  const auto keys = [&](const WCHAR* key) {
    DWORD needed = 0;
    EnumPrinterKeyW(h, key, nullptr, 0, &needed);
    std::vector<WCHAR> b(needed / sizeof(WCHAR) + 2);
    const DWORD e = EnumPrinterKeyW(h, key, b.data(), DWORD(b.size() * sizeof(WCHAR)), &needed);
    std::string list;
    for (const WCHAR* k = b.data(); !e && *k; k += Narrow(k).size() + 1) {
      if (Narrow(k) == "Prefs" || Narrow(k) == "Paper") list += " " + Narrow(k);
    }
    return Error(e) + ":" + list;
  };
  Answer("EnumPrinterKeyW, the top", keys(W("")));
  Answer("EnumPrinterKeyW, Prefs", keys(W("Prefs")));
  DWORD needed = 0, count = 0;
  const DWORD sizing = EnumPrinterDataExW(h, W("Prefs"), nullptr, 0, &needed, &count);
  std::vector<BYTE> values(needed);
  const DWORD filled = EnumPrinterDataExW(h, W("Prefs"), values.data(), needed, &needed, &count);
  const auto& v = At<PRINTER_ENUM_VALUESW>(values);
  Answer("EnumPrinterDataExW, Prefs",
         Error(sizing) + "; " + Error(filled) + ", " + std::to_string(count) + ": " +
             (filled || !count ? "-"
                               : Narrow(v.pValueName) + " type " + std::to_string(v.dwType) + ", " +
                                     std::to_string(v.cbData) + " bytes"));
  Answer("EnumPrinterDataExW, no such key",
         Error(EnumPrinterDataExW(h, W("NoSuchKey"), nullptr, 0, &needed, &count)));
  ClosePrinter(h);
}

// The product keeps a queue's "SubKey" through a reinstall, read and written both ways; each
// answer shows what the buffer (80 '#' before the call) holds up to the first '#'.
TEST_F(Spooler, PrinterDataIsStoredAsWrittenAndGoesWithThePrinter) {
  HANDLE h = AddTestPrinter(kPrinter);
  char subKey[] = "SubKey";
  BYTE text[] = "Settings 7", unterminated[] = {'a', 'b', 'c'}, longText[72] = {};
  std::memset(longText, 'L', 70);
  const auto get = [&](const char* key, const char* value, DWORD size) {
    char buffer[80];
    std::memset(buffer, '#', sizeof(buffer));
    DWORD type = 0, needed = 0;
    const DWORD result =
        key ? GetPrinterDataExA(h, key, value, &type, (BYTE*)buffer, size, &needed)
            : GetPrinterDataA(h, const_cast<LPSTR>(value), &type, (BYTE*)buffer, size, &needed);
    std::string shown = std::string(buffer, std::find(buffer, buffer + 80, '#'));
    std::replace(shown.begin(), shown.end(), '\0', '|');
    Answer(std::string(key ? key : "plain") + " " + value + " into " + std::to_string(size),
           (result ? Error(result) : "ok, type " + std::to_string(type)) +
               (result == ERROR_FILE_NOT_FOUND ? "" : ", needs " + std::to_string(needed)) +
               (shown.empty() ? "" : ": " + shown));
  };
  Answer("SetPrinterDataA", Error(SetPrinterDataA(h, subKey, REG_SZ, text, sizeof(text))));
  Answer("SetPrinterDataExA",
         Error(SetPrinterDataExA(h, "DsUser", "SubKey", REG_SZ, unterminated, 3)));
  Answer("SetPrinterDataExA", Error(SetPrinterDataExA(h, "DsUser", "Long", REG_SZ, longText, 71)));
  get(nullptr, "SubKey", 64);
  get("PrinterDriverData", "subkey", 64);  // where the plain calls keep their values
  get("DsUser", "SubKey", 64);
  get("dsuser", "Long", 64);
  get("DsUser", "Long", 71);
  get(nullptr, "Missing", 64);
  get("NoSuchKey", "SubKey", 64);
  GavePrinter(h, true);
  h = AddTestPrinter(kPrinter);
  get(nullptr, "SubKey", 64);  // gone with the printer
  ClosePrinter(h);
}

TEST_F(Spooler, DriversAndMonitorsAreAddedOnceAndDeletedOnce) {
  std::vector<BYTE> dir(2 * MAX_PATH);
  DWORD needed = 0;
  GetPrinterDriverDirectoryW(nullptr, nullptr, 1, dir.data(), 2 * MAX_PATH, &needed);
  const std::string versionDir = Lower(Narrow(&At<WCHAR>(dir))) + "\\3\\";
  std::vector<WString> files;
  // A call's answer, then how the driver is listed: by whom, and how many of its files are in
  // the version folder and there.
  const auto listed = [&](BOOL ok) {
    std::string answer = Result(ok), by = "unlisted";
    DWORD count = 0, in3 = 0, there = 0;
    EnumPrinterDriversW(nullptr, nullptr, 6, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed);
    EnumPrinterDriversW(nullptr, nullptr, 6, buffer.data(), needed, &needed, &count);
    for (DWORD i = 0; i < count; ++i) {
      const auto& d = At<DRIVER_INFO_6W>(buffer, i);
      if (Narrow(d.pName) != Narrow(kDriver)) continue;
      by = "by " + Narrow(d.pszProvider);
      files.assign({d.pDriverPath, d.pConfigFile, d.pHelpFile});
    }
    for (const auto& path : files) {
      in3 += Lower(Narrow(path.c_str())).starts_with(versionDir);
      there += (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES);
    }
    return answer + "; " + by + ", " + std::to_string(in3) + " in 3, " + std::to_string(there);
  };
  const auto del = [](const WCHAR* env, DWORD flags) {
    return DeletePrinterDriverExW(nullptr, Mut(env), Mut(kDriver), flags, 0);
  };
  Answer("add, a missing file", Result(AddTestDriver(W("none.dll")) && del(nullptr, 0)));
  Answer("add, unknown environment", Result(AddTestDriver(W("a"), W("Windows 3.1"))));
  Answer("add", listed(AddTestDriver()));
  Answer("add again, an upgrade", listed(AddTestDriver()));
  Answer("delete, unknown environment", Result(del(W("Windows 3.1"), 0)));
  Answer("delete with its files", listed(del(W("Windows x64"), DPD_DELETE_ALL_FILES)));
  Answer("delete, flags 0", Result(del(nullptr, 0)));
  SetLastError(kAnyError);
  Answer("delete, deleted before", Result(del(nullptr, 0)));
  // Staged in the printer-driver directory, where every spooler takes the files from; then
  // removed while another process holds one of them open without delete sharing.
  Answer("add, staged in the driver directory",
         listed(AddTestDriver(W("ctdrv.dll"), nullptr, &At<WCHAR>(dir))));
  const WString heldPath = files.empty() ? WString() : files[0];
  HANDLE held = CreateFileW(heldPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  Answer("hold the driver module open", held != INVALID_HANDLE_VALUE ? "ok" : Result(FALSE));
  const std::string removal = listed(del(W("Windows x64"), DPD_DELETE_ALL_FILES));
  Answer("delete with its files, one held open",
         removal + (PendingDeletion(heldPath) ? "; the held one deleted at restart" : ""));
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  // A monitor; the built-in Local Port module, in every system directory, serves.
  const auto addMonitor = [](const WCHAR* name, const WCHAR* dll = W("localspl.dll")) {
    MONITOR_INFO_2W info = {Mut(name), Mut(W("Windows x64")), Mut(dll)};
    return Result(AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)));
  };
  Answer("add a monitor, no name", addMonitor(W("")));
  Answer("add a monitor, missing module", addMonitor(kMonitor, W("none_77.dll")));
  // Modules that are not a monitor: one without its entry point, and a 32-bit one copied in
  // (the build's own where ORVINST_CONTRACT_X86_MODULE names it, else a system module of the
  // 32-bit subsystem).
  Answer("add a monitor, not a monitor module", addMonitor(kMonitor, W("version.dll")));
  WCHAR system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  const WString module32 = WString(system) + W("\\orvct32.dll");
#ifdef _WIN32
  WCHAR from[MAX_PATH] = {};
  if (!GetEnvironmentVariableW(L"ORVINST_CONTRACT_X86_MODULE", from, MAX_PATH)) {
    lstrcpyW(from, (WString(system) + W("\\..\\SysWOW64\\version.dll")).c_str());
  }
  const bool copied = CopyFileW(from, module32.c_str(), FALSE);
#else
  sim::PutFile(machine_, module32, {'M', 'Z', 'P', 'E', 0, 0, 0x4c, 0x01});  // an x86 header
  const bool copied = true;
#endif
  Answer("add a monitor, a 32-bit module",
         copied ? addMonitor(kMonitor, W("orvct32.dll")) : "no 32-bit module to copy");
  DeleteFileW(module32.c_str());
  Answer("add a monitor", addMonitor(kMonitor));
  Answer("add a monitor again", addMonitor(kMonitor));
  Answer("delete the monitor",
         Result(DeleteMonitorW(nullptr, Mut(W("Windows x64")), Mut(kMonitor))));
  Answer("delete the monitor again", Result(DeleteMonitorW(nullptr, nullptr, Mut(kMonitor))));
}

}  // namespace
