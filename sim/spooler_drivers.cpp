// winspool: printer drivers, their files and directories.
#include <algorithm>
#include <cstring>
#include <set>

#include "sim/files_internal.h"
#include "sim/spooler_internal.h"

using namespace sim;
using namespace sim::winspool;

namespace {

template <class Rec>
void FillDriverBase(const SimDriver& d, Rec& r, Strings& s) {
  r.cVersion = d.version;
  r.pName = s.Put(d.name);
  r.pEnvironment = s.Put(d.environment);
  r.pDriverPath = s.Put(d.driverPath);
  r.pDataFile = s.Put(d.dataFile);
  r.pConfigFile = s.Put(d.configFile);
}

template <class Rec>
void FillDriver3(const SimDriver& d, Rec& r, Strings& s) {
  FillDriverBase(d, r, s);
  r.pHelpFile = s.PutOptional(d.helpFile);
  r.pDependentFiles = s.PutMulti(d.dependentFiles);
  r.pMonitorName = s.PutOptional(d.monitorName);
  r.pDefaultDataType = s.PutOptional(d.defaultDataType);
}

}  // namespace

namespace sim::winspool {

void Fill(const SimDriver& d, DRIVER_INFO_1W& r, Strings& s) {
  r.pName = s.Put(d.name);
}

void Fill(const SimDriver& d, DRIVER_INFO_2W& r, Strings& s) {
  FillDriverBase(d, r, s);
}
void Fill(const SimDriver& d, DRIVER_INFO_3W& r, Strings& s) {
  FillDriver3(d, r, s);
}
void Fill(const SimDriver& d, DRIVER_INFO_4W& r, Strings& s) {
  FillDriver3(d, r, s);
  r.pszzPreviousNames = s.PutMulti(d.previousNames);
}
void Fill(const SimDriver& d, DRIVER_INFO_5W& r, Strings& s) {
  FillDriverBase(d, r, s);
  r.dwDriverAttributes = 0;
  r.dwConfigVersion = 0;
  r.dwDriverVersion = DWORD(d.driverVersion);
}
void Fill(const SimDriver& d, DRIVER_INFO_6W& r, Strings& s) {
  FillDriver3(d, r, s);
  r.pszzPreviousNames = s.PutMulti(d.previousNames);
  r.ftDriverDate.dwLowDateTime = DWORD(d.driverDate);
  r.ftDriverDate.dwHighDateTime = DWORD(d.driverDate >> 32);
  r.dwlDriverVersion = d.driverVersion;
  r.pszMfgName = s.PutOptional(d.mfgName);
  r.pszOEMUrl = s.PutOptional(d.oemUrl);
  r.pszHardwareID = s.PutOptional(d.hardwareId);
  r.pszProvider = s.PutOptional(d.provider);
}

std::vector<U16> DriverFiles(const SimDriver& d) {
  std::vector<U16> files = {d.driverPath, d.dataFile, d.configFile, d.helpFile};
  files.insert(files.end(), d.dependentFiles.begin(), d.dependentFiles.end());
  std::erase_if(files, [](const U16& f) { return f.empty(); });
  return files;
}

}  // namespace sim::winspool

namespace {

template <class Item>
BOOL EmitDriver(DWORD level, const std::vector<const Item*>& items, LPBYTE buffer, DWORD size,
                LPDWORD needed, LPDWORD returned) {
  return EmitLevel<DRIVER_INFO_1W, DRIVER_INFO_2W, DRIVER_INFO_3W, DRIVER_INFO_4W, DRIVER_INFO_5W,
                   DRIVER_INFO_6W>(level, items, buffer, size, needed, returned);
}

U16 SourcePath(const Machine& m, const Environment& env, std::u16string_view file) {
  if (file.find_first_of(u"\\/") != std::u16string_view::npos) return U16(file);
  return DriverDirectory(m, env) + u"\\" + U16(file);
}

std::vector<U16> SplitMulti(LPCWSTR multi) {
  std::vector<U16> out;
  if (!multi) return out;
  for (const WCHAR* p = multi; *p; p += std::char_traits<char16_t>::length(p) + 1) {
    out.emplace_back(p);
  }
  return out;
}

bool DriverInUse(Machine& m, std::u16string_view name, std::u16string_view env) {
  return EqualFold(env, kNativeEnvironment) && Printers(m).DriverUsers(name) > 0;
}

uint64_t VersionOf(const SimFile* f) {
  if (!f || !f->version) return 0;
  const auto& v = f->version->file;
  return (uint64_t(v[0]) << 48) | (uint64_t(v[1]) << 32) | (uint64_t(v[2]) << 16) | v[3];
}

// A driver file that another process holds (open, or loaded) cannot go now: it is marked
// for deletion at the next restart and the removal goes on, as the spooler does with files in
// use. Windows first moves such a file to a temporary folder when it can be renamed (a loaded
// module); one held open without delete sharing cannot be, and stays where it is, as every
// such file does here.
void DeleteDriverFile(Machine& m, const U16& path) {
  const filesys::Resolved r = filesys::Resolve(m, path.c_str());
  if (filesys::DeletePath(m, r) == 0 || !FindFile(m, path)) return;
  filesys::AddRebootOperation(m, r, nullptr, 0);
}

}  // namespace

// =======================================================================================
// Drivers.

BOOL WINAPI GetPrinterDriverDirectoryW(LPWSTR server, LPWSTR environment, DWORD level,
                                       LPBYTE buffer, DWORD size, LPDWORD needed) {
  if (DWORD e = Begin("GetPrinterDriverDirectoryW", CallArg(environment))) return Fail(e);
  if (!LocalServer(server)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (level != 1) return Fail(ERROR_INVALID_LEVEL);
  const Environment* env = ResolveEnvironment(environment);
  if (!env) return Fail(ERROR_INVALID_ENVIRONMENT);
  if (DWORD e = CheckOutput(buffer, size, needed)) return Fail(e);
  // No trailing backslash, as Windows answers.
  const U16 dir = DriverDirectory(M(), *env);
  const DWORD bytes = DWORD((dir.size() + 1) * sizeof(WCHAR));
  *needed = bytes;
  if (!buffer || size < bytes) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, dir.c_str(), bytes);
  return TRUE;
}

BOOL WINAPI GetPrinterDriverW(HANDLE printer, LPWSTR environment, DWORD level, LPBYTE buffer,
                              DWORD size, LPDWORD needed) {
  if (DWORD e = Begin("GetPrinterDriverW", CallArg(environment) + "," + std::to_string(level))) {
    return Fail(e);
  }
  Machine& m = M();
  DWORD error = 0;
  SimPrinter* p = HandlePrinter(printer, kReadRights, &error);
  if (!p) return Fail(error);
  const Environment* env = ResolveEnvironment(environment);
  if (!env) return Fail(ERROR_INVALID_ENVIRONMENT);
  if (level < 1 || level > 6) return Fail(ERROR_INVALID_LEVEL);
  if (DWORD e = CheckOutput(buffer, size, needed)) return Fail(e);
  const SimDriver* d = NewestDriver(m, p->driverName, env->name);
  if (!d) return Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
  return EmitDriver<SimDriver>(level, {d}, buffer, size, needed, nullptr);
}

BOOL WINAPI EnumPrinterDriversW(LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer,
                                DWORD size, LPDWORD needed, LPDWORD returned) {
  if (DWORD e = Begin("EnumPrinterDriversW", CallArg(environment) + "," + std::to_string(level))) {
    return Fail(e);
  }
  if (!LocalServer(server)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  const bool all = environment && EqualFold(environment, u"all");
  const Environment* env = all ? nullptr : ResolveEnvironment(environment);
  if (!all && !env) return Fail(ERROR_INVALID_ENVIRONMENT);
  if (level < 1 || level > 6) return Fail(ERROR_INVALID_LEVEL);
  if (DWORD e = CheckOutput(buffer, size, needed)) return Fail(e);
  if (!returned) return Fail(RPC_X_NULL_REF_POINTER);
  std::vector<const SimDriver*> list;
  for (const auto& d : M().spooler.drivers) {
    if (all || EqualFold(d.environment, env->name)) list.push_back(&d);
  }
  return EmitDriver<SimDriver>(level, list, buffer, size, needed, returned);
}

BOOL WINAPI AddPrinterDriverExW(LPWSTR server, DWORD level, LPBYTE info, DWORD flags) {
  if (DWORD e = Begin("AddPrinterDriverExW", std::to_string(level) + "," + std::to_string(flags))) {
    return Fail(e);
  }
  Machine& m = M();
  if (!LocalServer(server)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (level != 2 && level != 3 && level != 4 && level != 6) return Fail(ERROR_INVALID_LEVEL);
  if (!info) return Fail(ERROR_INVALID_PARAMETER);
  // Levels 2 to 6 share their leading members; the rest is read by level.
  const auto* base = reinterpret_cast<const DRIVER_INFO_2W*>(info);
  if (!base->pName || !*base->pName || !base->pDriverPath || !*base->pDriverPath ||
      !base->pDataFile || !*base->pDataFile || !base->pConfigFile || !*base->pConfigFile) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const Environment* env = ResolveEnvironment(base->pEnvironment);
  if (!env) return Fail(ERROR_INVALID_ENVIRONMENT);
  if (base->cVersion != 3 && base->cVersion != 4) return Fail(ERROR_INVALID_PARAMETER);

  SimDriver d;
  d.name = base->pName;
  d.environment = U16(env->name);
  d.version = base->cVersion;
  U16 help;
  std::vector<U16> dependents;
  if (level >= 3) {
    const auto* i3 = reinterpret_cast<const DRIVER_INFO_3W*>(info);
    help = FromW(i3->pHelpFile);
    dependents = SplitMulti(i3->pDependentFiles);
    d.monitorName = FromW(i3->pMonitorName);
    d.defaultDataType = FromW(i3->pDefaultDataType);
  }
  if (level >= 4) {
    d.previousNames = SplitMulti(reinterpret_cast<const DRIVER_INFO_4W*>(info)->pszzPreviousNames);
  }
  if (level == 6) {
    const auto* i6 = reinterpret_cast<const DRIVER_INFO_6W*>(info);
    d.driverDate =
        (uint64_t(i6->ftDriverDate.dwHighDateTime) << 32) | i6->ftDriverDate.dwLowDateTime;
    d.driverVersion = i6->dwlDriverVersion;
    d.mfgName = FromW(i6->pszMfgName);
    d.oemUrl = FromW(i6->pszOEMUrl);
    d.hardwareId = FromW(i6->pszHardwareID);
    d.provider = FromW(i6->pszProvider);
  }

  // Every named file must be there before anything is copied.
  struct Copy {
    U16 source;
    U16 target;
  };
  std::vector<Copy> copies;
  const U16 versionDir = DriverDirectory(m, *env) + u"\\" + U16(1, char16_t(u'0' + d.version));
  auto plan = [&](std::u16string_view file, U16* installed) -> bool {
    if (file.empty()) return true;
    U16 source = SourcePath(m, *env, file);
    if (!FindFile(m, source)) return false;
    *installed = versionDir + u"\\" + U16(FileNamePart(source));
    copies.push_back({source, *installed});
    return true;
  };
  bool found = plan(FromW(base->pDriverPath), &d.driverPath) &&
               plan(FromW(base->pDataFile), &d.dataFile) &&
               plan(FromW(base->pConfigFile), &d.configFile) && plan(help, &d.helpFile);
  for (const auto& dep : dependents) {
    U16 installed;
    found = found && plan(dep, &installed);
    d.dependentFiles.push_back(installed);
  }
  if (!found) return Fail(ERROR_FILE_NOT_FOUND);

  MakeDirectories(m, versionDir);
  for (const auto& c : copies) {
    if (FoldPath(c.source) == FoldPath(c.target)) continue;
    const SimFile* source = FindFile(m, c.source);
    const SimFile* target = FindFile(m, c.target);
    const bool copy =
        (flags & APD_COPY_ALL_FILES) || !target || VersionOf(source) > VersionOf(target);
    // The version resource travels inside the bytes.
    if (copy) PutFile(m, c.target, source->data);
  }
  // The same name, environment and version is an upgrade in place.
  auto& drivers = m.spooler.drivers;
  auto same = std::find_if(drivers.begin(), drivers.end(), [&](const SimDriver& x) {
    return EqualFold(x.name, d.name) && EqualFold(x.environment, d.environment) &&
           x.version == d.version;
  });
  if (same != drivers.end()) {
    *same = std::move(d);
  } else {
    drivers.push_back(std::move(d));
  }
  return TRUE;
}

BOOL WINAPI DeletePrinterDriverExW(LPWSTR server, LPWSTR environment, LPWSTR driverName,
                                   DWORD deleteFlag, DWORD versionFlag) {
  if (DWORD e = Begin("DeletePrinterDriverExW", CallArg(environment) + "," + CallArg(driverName) +
                                                    "," + std::to_string(deleteFlag))) {
    return Fail(e);
  }
  Machine& m = M();
  if (!LocalServer(server)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (!driverName || !*driverName) return Fail(ERROR_INVALID_PARAMETER);
  const Environment* env = ResolveEnvironment(environment);
  if (!env) return Fail(ERROR_INVALID_ENVIRONMENT);
  auto& drivers = m.spooler.drivers;
  auto chosen = [&](const SimDriver& d) {
    return EqualFold(d.name, driverName) && EqualFold(d.environment, env->name) &&
           (!(deleteFlag & DPD_DELETE_SPECIFIC_VERSION) || d.version == versionFlag);
  };
  std::vector<SimDriver> removed;
  for (const auto& d : drivers) {
    if (chosen(d)) removed.push_back(d);
  }
  if (removed.empty()) return Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
  if (DriverInUse(m, driverName, env->name)) return Fail(ERROR_PRINTER_DRIVER_IN_USE);

  // Files another remaining driver still names are not this driver's to delete.
  auto sharedWithOthers = [&](const U16& file) {
    for (const auto& other : drivers) {
      if (chosen(other)) continue;
      for (const auto& f : DriverFiles(other)) {
        if (FoldPath(f) == FoldPath(file)) return true;
      }
    }
    return false;
  };
  if (deleteFlag & DPD_DELETE_ALL_FILES) {
    for (const auto& d : removed) {
      for (const auto& f : DriverFiles(d)) {
        if (sharedWithOthers(f)) return Fail(ERROR_PRINTER_DRIVER_IN_USE);
      }
    }
  }
  std::erase_if(drivers, chosen);
  if (deleteFlag & (DPD_DELETE_ALL_FILES | DPD_DELETE_UNUSED_FILES)) {
    std::set<U16> done;  // a driver module is often its own data file
    for (const auto& d : removed) {
      for (const auto& f : DriverFiles(d)) {
        if (!sharedWithOthers(f) && done.insert(FoldPath(f)).second) DeleteDriverFile(m, f);
      }
    }
  }
  return TRUE;
}
