#include "spooler/driver.h"

#include <cstring>

#include "context/install_context.h"
#include "context/paths.h"
#include "context/run_log.h"
#include "context/text_compare.h"
#include "files/copy_file.h"
#include "files/deferred_delete.h"
#include "platform/sized_query.h"
#include "spooler/service_control.h"

namespace {
constexpr DWORD kListLevel = 6;
// The driver's own directory under the driver directory, by its version (3).
constexpr WCHAR kVersionFolder[] = W("3");

template <class Record>
LPCWSTR NameAt(const DriverList& list, DWORD index) {
  return reinterpret_cast<const Record*>(list.Buffer.get())[index].pName;
}

// The name of a record as its level lays it out; null for a level without known records.
LPCWSTR DriverName(const DriverList& list, DWORD index) {
  switch (list.Level) {
    case 1:
      return NameAt<DRIVER_INFO_1W>(list, index);
    case 2:
      return NameAt<DRIVER_INFO_2W>(list, index);
    case 3:
      return NameAt<DRIVER_INFO_3W>(list, index);
    case 4:
      return NameAt<DRIVER_INFO_4W>(list, index);
    case 5:
      return NameAt<DRIVER_INFO_5W>(list, index);
    case 6:
      return NameAt<DRIVER_INFO_6W>(list, index);
    default:
      return nullptr;
  }
}

BOOL DeletePackageDriver(InstallContext& context) {
  return DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(context.Environment),
                                const_cast<LPWSTR>(kPackageDriverName), DPD_DELETE_ALL_FILES, 0);
}

// What an earlier run may have left of the driver's files after an uninstall: its staged
// copies, and (`unregistered`: the spooler no longer lists the driver) the files of its own
// version directory. Each by its own name in the known driver directory.
void DeleteDriverFilesLeft(InstallContext& context, bool unregistered) {
  if (Count(context.DriverDir) == 0) return;
  const WideText versionDir = JoinPath(Chars(context.DriverDir), kVersionFolder);
  for (LPCWSTR folder : {Chars(context.DriverDir), Chars(versionDir)}) {
    if (folder == Chars(versionDir) && !unregistered) continue;
    for (LPCWSTR name : {context.DriverFile, context.UiFile, context.HelpFile}) {
      DeleteIfThere(context, Chars(JoinPath(folder, name)));
    }
  }
}

// The files of the driver just registered, in its version directory, stay at the next start,
// whatever a removal handed over while another process held them.
void KeepDriverFiles(InstallContext& context) {
  const WideText versionDir = JoinPath(Chars(context.DriverDir), kVersionFolder);
  for (LPCWSTR name : {context.DriverFile, context.UiFile, context.HelpFile}) {
    WithdrawDeletion(context, Chars(JoinPath(Chars(versionDir), name)));
  }
}

// The spooler has copied what it needs; the staged copy goes now or later.
void DeleteStagedCopy(InstallContext& context, LPCWSTR path) {
  DeleteOrListFile(context, path);
}
}  // namespace

bool EnumerateDrivers(DriverList& list, LPCWSTR environment) {
  list = DriverList();
  list.Level = kListLevel;
  LPWSTR env = const_cast<LPWSTR>(environment);
  DWORD count = 0;
  unique_global<BYTE> block;
  const SizedQuery answer = QuerySized(
      [&](LPBYTE buffer, DWORD size, DWORD* needed) {
        return EnumPrinterDriversW(nullptr, env, kListLevel, buffer, size, needed, &count);
      },
      block);
  if (answer != SizedQuery::Filled) return answer == SizedQuery::Empty;
  // An empty list holds no block, however the spooler answered the first call.
  if (count != 0) {
    list.Buffer = std::move(block);
    list.Count = count;
  }
  return true;
}

int FindPackageDriver(const DriverList& list) {
  if (list.Count == 0 || !list.Buffer) return -1;
  for (DWORD i = 0; i < list.Count; ++i) {
    if (SameText(DriverName(list, i), kPackageDriverName)) return int(i);
  }
  return -1;
}

BOOL RegisterDriver(DRIVER_INFO_6W* info) {
  return AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(info), APD_COPY_ALL_FILES);
}

void AddPrinterDriver(InstallContext& context) {
  LogSection section(context, W(">Add Printer Driver"));
  WCHAR driverPath[kPathBufferUnits] = {};
  WCHAR uiPath[kPathBufferUnits] = {};
  WCHAR helpPath[kPathBufferUnits] = {};
  const LPCWSTR directory = Chars(context.DriverDir);
  // Without the driver module or its UI there is nothing to register, and nothing staged is
  // left behind.
  bool staged =
      CopyFile(context, directory, context.DriverFile, driverPath, kPathBufferUnits, true) == S_OK;
  if (staged) {
    staged = CopyFile(context, directory, context.UiFile, uiPath, kPathBufferUnits, true) == S_OK;
    if (!staged) DeleteStagedCopy(context, driverPath);
  }
  if (staged) {
    // The driver works without its help file.
    if (CopyFile(context, directory, context.HelpFile, helpPath, kPathBufferUnits, true) != S_OK) {
      helpPath[0] = 0;
    }
    DRIVER_INFO_6W info = {};
    info.cVersion = 3;
    info.pName = const_cast<LPWSTR>(kPackageDriverName);
    info.pEnvironment = const_cast<LPWSTR>(context.Environment);
    info.pDriverPath = driverPath;
    info.pDataFile = driverPath;  // the driver module is its own data file
    info.pConfigFile = uiPath;
    info.pHelpFile = helpPath;
    info.pszMfgName = const_cast<LPWSTR>(kDriverManufacturer);
    info.pszOEMUrl = const_cast<LPWSTR>(kDriverOemUrl);
    info.pszProvider = const_cast<LPWSTR>(kDriverManufacturer);
    if (RegisterDriver(&info)) {
      Log(context, W("OK :)"));
      KeepDriverFiles(context);
    } else {
      LogError(context, ErrAddDriver);
    }
    DeleteStagedCopy(context, driverPath);
    DeleteStagedCopy(context, uiPath);
    DeleteStagedCopy(context, helpPath);
  }
}

void DeletePrinterDriver(InstallContext& context, const DriverList& list) {
  LogSection section(context, W(">DeletePrinterDriver for %s"), context.Environment);
  if (list.Count == 0) {
    // The setup's log readers know this line as it is spelled.
    Log(context, W("BTW, there is no printer drivers on this system."));
  } else {
    Log(context, W("------------ %d existing drivers-----------"), list.Count);
    for (DWORD i = 0; i < list.Count; ++i) {
      const LPCWSTR name = list.Buffer ? DriverName(list, i) : nullptr;
      Log(context, W("%d. %s"), i + 1, name ? name : W("***EMPTY***"));
    }
    Log(context, W("-------------------------------------------"));
  }
  const int index = FindPackageDriver(list);
  if (index < 0) {
    Log(context, W("No Orvalstone driver was found"));
    // Only from a list that was taken does "not found" mean "not registered".
    if (!context.RestoreQueues) DeleteDriverFilesLeft(context, bool(list.Buffer));
    return;
  }
  Log(context, W("Driver is found. Index=%d"), index + 1);
  if (!DeletePackageDriver(context)) {
    // The spooler may hold the driver's files; a restart lets go of them.
    Log(context, W("Can't delete driver. Trying to restart spooler"));
    RestartSpooler(context);
    if (!DeletePackageDriver(context)) {
      LogError(context, ErrDeleteDriver);
      return;
    }
  }
  Log(context, W("OK :)"));
  // Unregistered now: the files of its version directory that its registration did not name
  // (a help file an install could not copy), and a file another process holds, which stays
  // where it is, marked by the spooler for the restart, are ours to hand over too.
  if (!context.RestoreQueues) DeleteDriverFilesLeft(context, true);
}
