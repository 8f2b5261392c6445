// How the spooler answers for printer drivers: enumeration, the driver of a printer, adding
// one from staged files and removing it with its files.
#include "spooler_contract.h"

namespace {

const WCHAR* const kDriver = W("Contract Test Driver");
const WCHAR* const kPrinter = W("Contract Driver Printer");

WideString StagingDir() {
#ifdef _WIN32
  WCHAR temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  WideString dir = temp;
#else
  WideString dir = W("C:\\Temp\\");
  CreateDirectoryW(W("C:\\Temp"), nullptr);
#endif
  dir += W("orvcontract");
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir + W("\\");
}

bool WriteTestFile(const WideString& path, const std::string& content) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(f, content.data(), DWORD(content.size()), &written, nullptr);
  CloseHandle(f);
  return ok && written == content.size();
}

bool Exists(const WCHAR* path) {
  return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

class DriverContract : public Contract {
 protected:
  void SetUp() override {
    Contract::SetUp();
    staging_ = StagingDir();
    for (const WCHAR* f : {W("ctdrv.dll"), W("ctui.dll"), W("cthelp.chm")}) {
      ASSERT_TRUE(WriteTestFile(staging_ + f, "MZ contract file"));
    }
    DeletePrinterDriverExW(nullptr, nullptr, Wide(kDriver), 0, 0);
  }
  void TearDown() override {
    RemoveTestPrinter(kPrinter);
    DeletePrinterDriverExW(nullptr, nullptr, Wide(kDriver), 0, 0);
    for (const WCHAR* f : {W("ctdrv.dll"), W("ctui.dll"), W("cthelp.chm")}) {
      DeleteFileW((staging_ + f).c_str());
    }
    Contract::TearDown();
  }

  // Registers the test driver from the staged files, as the installer does.
  BOOL AddTestDriver(const WCHAR* driverFile = W("ctdrv.dll")) {
    Wide name(kDriver), env(W("Windows x64")), driver(staging_ + driverFile),
        data(staging_ + driverFile), config(staging_ + W("ctui.dll")),
        help(staging_ + W("cthelp.chm")), maker(W("Contract Maker"));
    DRIVER_INFO_6W info = {};
    info.cVersion = 3;
    info.pName = name;
    info.pEnvironment = env;
    info.pDriverPath = driver;
    info.pDataFile = data;
    info.pConfigFile = config;
    info.pHelpFile = help;
    info.pszMfgName = maker;
    info.pszProvider = maker;
    return AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES);
  }

  WideString staging_;
};

TEST_F(DriverContract, AddCopiesIntoTheVersionFolderAndDeleteRemovesTheFiles) {
  SetLastError(kAnyError);
  ASSERT_TRUE(AddTestDriver());
  EXPECT_TRUE(AddTestDriver());  // again: an upgrade in place

  DWORD needed = 0;
  GetPrinterDriverDirectoryW(nullptr, nullptr, 1, nullptr, 0, &needed);
  std::vector<BYTE> dirBuffer(needed);
  ASSERT_TRUE(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, dirBuffer.data(), needed, &needed));
  const std::string versionDir =
      Lower(Narrow(reinterpret_cast<WCHAR*>(dirBuffer.data()))) + "\\3\\";

  DWORD count = 0;
  EnumPrinterDriversW(nullptr, nullptr, 6, nullptr, 0, &needed, &count);
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(EnumPrinterDriversW(nullptr, nullptr, 6, buffer.data(), needed, &needed, &count));
  const DRIVER_INFO_6W* ours = nullptr;
  for (DWORD i = 0; i < count; ++i) {
    auto* d = reinterpret_cast<DRIVER_INFO_6W*>(buffer.data()) + i;
    if (Narrow(d->pName) == Narrow(kDriver)) {
      EXPECT_EQ(ours, nullptr) << "listed once";
      ours = d;
    }
  }
  ASSERT_NE(ours, nullptr);
  EXPECT_EQ(ours->cVersion, 3u);
  auto text = [](const WCHAR* s) { return WideString(s ? s : W("")); };
  WideString installed[] = {text(ours->pDriverPath), text(ours->pConfigFile),
                            text(ours->pHelpFile)};
  for (const auto& path : installed) {
    EXPECT_EQ(Lower(Narrow(path.c_str())).rfind(versionDir, 0), 0u) << Narrow(path.c_str());
    if (OnWine()) {
      // Wine 8.0 deviation: each file is taken by its name from the printer-driver directory,
      // whatever folder the path names, and one missing there is silently not copied. Windows
      // copies the files from the paths given.
      EXPECT_FALSE(Exists(path.c_str())) << Narrow(path.c_str());
    } else {
      EXPECT_TRUE(Exists(path.c_str())) << Narrow(path.c_str());
    }
  }
  if (OnWine()) {
    // Wine 8.0 deviation: manufacturer and provider are not stored.
  } else {
    EXPECT_EQ(Narrow(ours->pszProvider), "Contract Maker");
  }

  SetLastError(kAnyError);
  BOOL deleted = DeletePrinterDriverExW(nullptr, Wide(W("Windows x64")), Wide(kDriver),
                                        DPD_DELETE_ALL_FILES, 0);
  if (OnWine()) {
    // Wine 8.0 deviation: any non-zero flag is refused; flags 0 removes the entry and keeps
    // the files. Windows deletes the files with DPD_DELETE_ALL_FILES.
    EXPECT_FALSE(deleted);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(DeletePrinterDriverExW(nullptr, Wide(W("Windows x64")), Wide(kDriver), 0, 0));
  } else {
    EXPECT_TRUE(deleted);
    for (const auto& path : installed) EXPECT_FALSE(Exists(path.c_str())) << Narrow(path.c_str());
  }
  SetLastError(kAnyError);
  EXPECT_FALSE(DeletePrinterDriverExW(nullptr, Wide(W("Windows x64")), Wide(kDriver), 0, 0));
  // Wine 8.0 deviation: a failed removal leaves the last error as it was.
  EXPECT_EQ(GetLastError(), OnWine() ? kAnyError : DWORD(ERROR_UNKNOWN_PRINTER_DRIVER));
}

TEST_F(DriverContract, AddPrinterDriverExRefusals) {
  SetLastError(kAnyError);
  BOOL added = AddTestDriver(W("no-such-file.dll"));
  if (OnWine()) {
    // Wine 8.0 deviation: a missing driver file is not noticed and the driver is added;
    // Windows refuses with ERROR_FILE_NOT_FOUND.
    EXPECT_TRUE(added);
    EXPECT_TRUE(DeletePrinterDriverExW(nullptr, nullptr, Wide(kDriver), 0, 0));
  } else {
    EXPECT_FALSE(added);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  }

  Wide name(kDriver), badEnv(W("Windows 3.1 Turbo")), file(staging_ + W("ctdrv.dll"));
  DRIVER_INFO_6W info = {};
  info.cVersion = 3;
  info.pName = name;
  info.pEnvironment = badEnv;
  info.pDriverPath = file;
  info.pDataFile = file;
  info.pConfigFile = file;
  SetLastError(kAnyError);
  EXPECT_FALSE(
      AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_ENVIRONMENT));
  info.pEnvironment = nullptr;
  EXPECT_FAILS(AddPrinterDriverExW(nullptr, 7, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES),
               ERROR_INVALID_LEVEL);
  EXPECT_FAILS(DeletePrinterDriverExW(nullptr, Wide(W("Windows 3.1 Turbo")), Wide(kDriver), 0, 0),
               ERROR_INVALID_ENVIRONMENT);
}

TEST_F(DriverContract, EnumPrinterDriversEveryLevelTwoCall) {
  for (DWORD level = 1; level <= 6; ++level) {
    SCOPED_TRACE(level);
    Listing list = ListTwoCall([&](BYTE* buffer, DWORD size, DWORD* needed, DWORD* count) {
      return EnumPrinterDriversW(nullptr, nullptr, level, buffer, size, needed, count);
    });
    ASSERT_GE(list.count, 1u);
    const auto& buffer = list.buffer;
    // pName follows cVersion from level 2 on; every string lies inside the buffer.
    LPWSTR name = level == 1 ? reinterpret_cast<const DRIVER_INFO_1W*>(buffer.data())->pName
                             : reinterpret_cast<const DRIVER_INFO_2W*>(buffer.data())->pName;
    EXPECT_TRUE(Inside(name, buffer));
    if (level > 1) {
      auto* d = reinterpret_cast<const DRIVER_INFO_2W*>(buffer.data());
      EXPECT_TRUE(Inside(d->pDriverPath, buffer));
      EXPECT_NE(Narrow(d->pDriverPath).find('\\'), std::string::npos) << "a full path";
    }
  }
  DWORD needed = 0, count = 0;
  EXPECT_FAILS(
      EnumPrinterDriversW(nullptr, Wide(W("Windows 3.1 Turbo")), 1, nullptr, 0, &needed, &count),
      ERROR_INVALID_ENVIRONMENT);
}

TEST_F(DriverContract, GetPrinterDriverEveryLevelTwoCall) {
  HANDLE h = AddTestPrinter(kPrinter);
  ASSERT_NE(h, nullptr);
  for (DWORD level = 0; level <= 7; ++level) {
    SCOPED_TRACE(level);
    DWORD needed = 0;
    SetLastError(kAnyError);
    EXPECT_FALSE(GetPrinterDriverW(h, nullptr, level, nullptr, 0, &needed));
    if (level == 0 || level == 7) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_LEVEL));
      continue;
    }
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    // No environment means the spooler's own: the same answer as "Windows x64".
    DWORD named = 0;
    EXPECT_FALSE(GetPrinterDriverW(h, Wide(W("Windows x64")), level, nullptr, 0, &named));
    EXPECT_EQ(named, needed);
    std::vector<BYTE> buffer(needed);
    DWORD again = 0;
    ASSERT_TRUE(GetPrinterDriverW(h, nullptr, level, buffer.data(), needed, &again));
    EXPECT_EQ(again, needed);
    LPWSTR name = level == 1 ? reinterpret_cast<const DRIVER_INFO_1W*>(buffer.data())->pName
                             : reinterpret_cast<const DRIVER_INFO_2W*>(buffer.data())->pName;
    EXPECT_TRUE(Inside(name, buffer));
    EXPECT_EQ(Narrow(name), Narrow(InstalledDriver().c_str()));
  }
  DWORD needed = 0;
  EXPECT_FAILS(GetPrinterDriverW(h, Wide(W("Windows 3.1 Turbo")), 2, nullptr, 0, &needed),
               ERROR_INVALID_ENVIRONMENT);
  ClosePrinter(h);
}

#ifndef _WIN32
// A printer on a freshly added driver needs a driver UI module a real spooler can load, so
// the in-use cases run on the sim only.
TEST_F(DriverContract, SimADriverInUseIsRefusedAndItsModulesAreHeld) {
  ASSERT_TRUE(AddTestDriver());
  sim::SimDriver* d = sim::FindDriver(machine_, kDriver);
  ASSERT_NE(d, nullptr);
  const WideString module = d->driverPath, data = d->dataFile, help = d->helpFile;
  HANDLE h = nullptr;
  {
    Wide name(kPrinter), port(W("FILE:")), drv(kDriver), processor(W("WinPrint"));
    PRINTER_INFO_2W info = {};
    info.pPrinterName = name;
    info.pPortName = port;
    info.pDriverName = drv;
    info.pPrintProcessor = processor;
    h = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  }
  ASSERT_NE(h, nullptr);

  EXPECT_FAILS(DeletePrinterDriverExW(nullptr, nullptr, Wide(kDriver), DPD_DELETE_ALL_FILES, 0),
               ERROR_PRINTER_DRIVER_IN_USE);
  // While a printer uses it, the running spooler keeps its modules loaded.
  EXPECT_TRUE(sim::HeldBySpooler(machine_, module));
  EXPECT_FALSE(sim::HeldBySpooler(machine_, help));
  EXPECT_FAILS(DeleteFileW(module.c_str()), ERROR_ACCESS_DENIED);
  machine_.services.services[0].state = SERVICE_STOPPED;
  EXPECT_FALSE(sim::HeldBySpooler(machine_, module));
  machine_.services.services[0].state = SERVICE_RUNNING;

  EXPECT_TRUE(DeletePrinter(h));
  ClosePrinter(h);
  EXPECT_FALSE(sim::HeldBySpooler(machine_, module));
  EXPECT_TRUE(DeletePrinterDriverExW(nullptr, nullptr, Wide(kDriver), DPD_DELETE_ALL_FILES, 0));
  EXPECT_FALSE(Exists(module.c_str()));
  EXPECT_FALSE(Exists(data.c_str()));
}

TEST_F(DriverContract, SimDeleteAllFilesRefusesFilesAnotherDriverUses) {
  ASSERT_TRUE(AddTestDriver());
  sim::SimDriver other = *sim::FindDriver(machine_, kDriver);
  other.name = u"Contract Sharing Driver";
  machine_.spooler.drivers.push_back(other);
  EXPECT_FAILS(DeletePrinterDriverExW(nullptr, nullptr, Wide(kDriver), DPD_DELETE_ALL_FILES, 0),
               ERROR_PRINTER_DRIVER_IN_USE);
  // Unused files only: the driver goes, the shared files stay.
  EXPECT_TRUE(DeletePrinterDriverExW(nullptr, nullptr, Wide(kDriver), DPD_DELETE_UNUSED_FILES, 0));
  EXPECT_TRUE(Exists(other.driverPath.c_str()));
  EXPECT_EQ(sim::FindDriver(machine_, kDriver), nullptr);
}
#endif

}  // namespace
