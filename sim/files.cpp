// kernel32: the file system. Paths resolve as Windows resolves them (either separator, "." and
// "..", relative to the program's directory); open handles and other processes' locks share a
// file by the Windows sharing rules; the spooler's loaded modules refuse deletion and writing.
#include <algorithm>
#include <cstring>

#include "sim/files_internal.h"

namespace sim {

namespace filesys {

namespace {

constexpr DWORD kErrorBadNetPath = 53;
constexpr DWORD kFileExecute = 0x20;

}  // namespace

DWORD UseOf(DWORD access) {
  DWORD use = 0;
  if (access & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA | kFileExecute)) {
    use |= kUseRead;
  }
  if (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) use |= kUseWrite;
  if (access & (DELETE | GENERIC_ALL)) use |= kUseDelete;
  return use;
}

// Two opens coexist when each allows what the other does. An open that neither reads, writes
// nor deletes (attributes only) takes no part.
bool Conflicts(DWORD useA, DWORD shareA, DWORD useB, DWORD shareB) {
  if (!useA || !useB) return false;
  return (useA & ~shareB & 7) || (useB & ~shareA & 7);
}

// Every file object the running program has open, on any machine.
std::vector<std::weak_ptr<FileObject>>& OpenFiles() {
  static std::vector<std::weak_ptr<FileObject>> open;
  return open;
}

template <class F>
void ForEachOpen(Machine& m, const U16& key, F&& f) {
  auto& all = OpenFiles();
  std::erase_if(all, [](const std::weak_ptr<FileObject>& w) {
    auto o = w.lock();
    return !o || !o->open;
  });
  for (auto& w : all) {
    auto o = w.lock();
    if (o && o->machine == &m && o->key == key) f(*o);
  }
}

bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

// Splits a path on either separator, drops "." and resolves "..", so every spelling of a
// path names the same entry. Keeps the original case.
U16 NormalizePath(std::u16string_view path) {
  // Views into the path, joined once: every file lookup passes through here.
  std::vector<std::u16string_view> parts;
  size_t length = 0;
  for (size_t i = 0; i <= path.size();) {
    size_t j = i;
    while (j < path.size() && !IsSeparator(path[j])) ++j;
    const std::u16string_view cur = path.substr(i, j - i);
    if (cur.empty() || cur == u".") {
    } else if (cur == u"..") {
      // Never climbs above the drive.
      if (parts.size() > 1) parts.pop_back();
    } else {
      parts.push_back(cur);
      length += cur.size() + 1;
    }
    i = j + 1;
  }
  U16 out;
  out.reserve(length);
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += u'\\';
    out += parts[i];
  }
  return out;
}

U16 ParentOf(std::u16string_view normalized) {
  size_t slash = normalized.rfind(u'\\');
  return slash == std::u16string_view::npos ? U16() : U16(normalized.substr(0, slash));
}

// The program's current directory: the directory it was started from.
U16 CurrentDirectory(Machine& m) {
  return ParentOf(NormalizePath(m.kernel.modulePath));
}

bool IsDriveSpec(std::u16string_view s) {
  return s.size() >= 2 && s[1] == u':' &&
         ((s[0] >= u'A' && s[0] <= u'Z') || (s[0] >= u'a' && s[0] <= u'z'));
}

void FollowMountPoints(Machine& m, Resolved& r, bool last) {
  // Bounded, as the system bounds chains of reparse points.
  for (int hops = 0; hops < 32 && !m.fs.mountPoints.empty(); ++hops) {
    bool followed = false;
    for (const auto& [key, target] : m.fs.mountPoints) {
      const bool beneath = r.key.size() > key.size() && r.key[key.size()] == u'\\';
      if ((beneath || (last && r.key.size() == key.size())) && r.key.starts_with(key)) {
        r.path = NormalizePath(target + r.path.substr(key.size()));
        r.key = Fold(r.path);
        followed = true;
        break;
      }
    }
    if (!followed) return;
  }
}

DWORD DirectoryAttributes(Machine& m, const U16& key) {
  return FILE_ATTRIBUTE_DIRECTORY |
         (m.fs.mountPoints.count(key) ? FILE_ATTRIBUTE_REPARSE_POINT : 0);
}

void CheckWholePath(Machine& m, const WCHAR* name) {
  std::u16string_view s(name ? name : u"");
  if (s.starts_with(u"\\\\?\\")) s.remove_prefix(4);
  if (s.empty() || (IsDriveSpec(s) && s.size() >= 3 && IsSeparator(s[2]))) return;
  RecordMisuse(
      m, "a file changed or opened by a path relative to the current directory: " + ToUtf8(s));
}

Resolved Resolve(Machine& m, const WCHAR* name) {
  Resolved r;
  if (!name || !*name) {
    r.error = ERROR_PATH_NOT_FOUND;
    return r;
  }
  std::u16string_view s(name);
  if (s.starts_with(u"\\\\?\\")) {
    s.remove_prefix(4);
  } else if (s.size() >= 2 && IsSeparator(s[0]) && IsSeparator(s[1])) {
    r.error = kErrorBadNetPath;  // no network on this machine
    return r;
  }
  if (s.empty()) {
    r.error = ERROR_PATH_NOT_FOUND;
    return r;
  }
  U16 cwd = CurrentDirectory(m);
  U16 full;
  if (IsDriveSpec(s)) {
    if (s.size() >= 3 && IsSeparator(s[2])) {
      full = U16(s);
    } else if (EqualFold(s.substr(0, 2), std::u16string_view(cwd).substr(0, 2))) {
      full = cwd + u"\\" + U16(s.substr(2));
    } else {
      full = U16(s.substr(0, 2)) + u"\\" + U16(s.substr(2));
    }
  } else if (IsSeparator(s[0])) {
    // Rooted: on the current drive. "\??\C:\x" lands here and fails on its '?' and ':'.
    full = cwd.substr(0, 2) + U16(s);
  } else {
    full = cwd + u"\\" + U16(s);
  }
  r.path = NormalizePath(full);
  if (!IsDriveSpec(r.path)) {
    r.error = ERROR_INVALID_NAME;
    return r;
  }
  for (size_t i = 2; i < r.path.size(); ++i) {
    char16_t c = r.path[i];
    if (c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' ||
        c == u'*') {
      r.error = ERROR_INVALID_NAME;
      return r;
    }
  }
  r.key = Fold(r.path);
  FollowMountPoints(m, r);
  if (!m.fs.dirs.count(r.key.substr(0, 2))) r.error = ERROR_PATH_NOT_FOUND;  // no such drive
  return r;
}

// The error for a path that names nothing: the file or, when its directory is missing too,
// the path.
DWORD MissingError(Machine& m, const Resolved& r) {
  return m.fs.dirs.count(Fold(ParentOf(r.path))) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

// A file another process or the spooler has loaded as a module: it is read, and the mapping
// lets readers and deleters share but not writers.
bool LoadedAsModule(Machine& m, const U16& key, const U16& path) {
  for (const auto& lock : m.fs.locks) {
    if (lock.module && FoldPath(lock.path) == key) return true;
  }
  return HeldBySpooler(m, path);
}

// Whether an open with this access and sharing can coexist with the program's own open
// handles and with the other processes' locks on the file.
DWORD ShareError(Machine& m, const Resolved& r, DWORD access, DWORD share) {
  DWORD use = UseOf(access);
  if (!use) return 0;
  bool conflict = false;
  ForEachOpen(m, r.key, [&](const FileObject& o) {
    if (Conflicts(use, share, o.use, o.share)) conflict = true;
  });
  for (const auto& lock : m.fs.locks) {
    if (lock.module || FoldPath(lock.path) != r.key) continue;
    if (Conflicts(use, share, UseOf(lock.access), lock.share)) conflict = true;
  }
  if (LoadedAsModule(m, r.key, r.path) &&
      Conflicts(use, share, kUseRead, FILE_SHARE_READ | FILE_SHARE_DELETE)) {
    conflict = true;
  }
  return conflict ? ERROR_SHARING_VIOLATION : 0;
}

// Whether anything at all has the file open (a rename cannot replace such a file).
bool InUse(Machine& m, const Resolved& r) {
  bool used = false;
  ForEachOpen(m, r.key, [&](const FileObject&) { used = true; });
  for (const auto& lock : m.fs.locks) {
    if (FoldPath(lock.path) == r.key) used = true;
  }
  return used || HeldBySpooler(m, r.path);
}

IoFault* FindIoFault(Machine& m, const U16& key, const char* op) {
  for (auto& f : m.fs.ioFaults) {
    if (f.op == op && f.remaining != 0 && FoldPath(f.path) == key) return &f;
  }
  return nullptr;
}

void ConsumeIoFault(Machine& m, IoFault* fault) {
  if (fault->remaining > 0 && --fault->remaining == 0) {
    m.fs.ioFaults.erase(m.fs.ioFaults.begin() + (fault - m.fs.ioFaults.data()));
  }
}

void RefreshVersion(SimFile& f) {
  f.version = ReadVersionResource(f.data);
}

void FileObject::OnClose() {
  open = false;
  if (!written || !machine) return;
  written = false;
  auto it = machine->fs.files.find(key);
  if (it != machine->fs.files.end()) RefreshVersion(it->second);
}

// Opens or creates a file as CreateFileW does; the object is not yet in any handle table.
// The object of a new handle on the file or directory, counted among the open ones.
std::shared_ptr<FileObject> NewFileObject(Machine& m, const Resolved& r, DWORD access, DWORD share,
                                          bool directory) {
  auto o = std::make_shared<FileObject>();
  o->machine = &m;
  o->key = r.key;
  o->access = access;
  o->use = UseOf(access);
  o->share = share;
  o->directory = directory;
  OpenFiles().push_back(o);
  return o;
}

std::shared_ptr<FileObject> OpenFile(Machine& m, const Resolved& r, DWORD access, DWORD share,
                                     DWORD disposition, DWORD flags, DWORD* error, bool* existed) {
  *existed = false;
  if (r.error) {
    *error = r.error;
    return nullptr;
  }
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  if (disposition == TRUNCATE_EXISTING && !(UseOf(access) & kUseWrite)) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  if (m.fs.dirs.count(r.key)) {
    // A directory opens only with backup semantics, and only as it is.
    const bool opens = disposition == OPEN_EXISTING || disposition == OPEN_ALWAYS;
    if (!(flags & FILE_FLAG_BACKUP_SEMANTICS) || !opens) {
      *error = disposition == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED;
      return nullptr;
    }
    if (DWORD e = ShareError(m, r, access, share)) {
      *error = e;
      return nullptr;
    }
    *existed = true;
    return NewFileObject(m, r, access, share, true);
  }
  DWORD newAttributes = (flags & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE)) |
                        FILE_ATTRIBUTE_ARCHIVE;
  auto it = m.fs.files.find(r.key);
  if (it == m.fs.files.end()) {
    if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
      *error = MissingError(m, r);
      return nullptr;
    }
    if (!m.fs.dirs.count(Fold(ParentOf(r.path)))) {
      *error = ERROR_PATH_NOT_FOUND;
      return nullptr;
    }
    SimFile& f = m.fs.files[r.key];
    f.path = r.path;
    f.attributes = newAttributes;
  } else {
    *existed = true;
    SimFile& f = it->second;
    if (disposition == CREATE_NEW) {
      *error = ERROR_FILE_EXISTS;
      return nullptr;
    }
    bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    if ((f.attributes & FILE_ATTRIBUTE_READONLY) && ((UseOf(access) & kUseWrite) || truncates)) {
      *error = ERROR_ACCESS_DENIED;
      return nullptr;
    }
    // Replacing a hidden or system file asks for the same attributes.
    DWORD keep = f.attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if (disposition == CREATE_ALWAYS && (flags & keep) != keep) {
      *error = ERROR_ACCESS_DENIED;
      return nullptr;
    }
    if (DWORD e = ShareError(m, r, access, share)) {
      *error = e;
      return nullptr;
    }
    if (truncates) {
      f.data.clear();
      f.version.reset();
      if (disposition == CREATE_ALWAYS) f.attributes = newAttributes;
    }
  }
  return NewFileObject(m, r, access, share, false);
}

// Whether the handle may read (or write) the file it is open on, which is still there: a
// directory has no data, and a file may go away under its handle.
bool OpenFor(Machine& m, FileObject& o, DWORD use, std::map<U16, SimFile>::iterator* file,
             DWORD* error) {
  if (o.directory) {
    *error = ERROR_INVALID_FUNCTION;
    return false;
  }
  if (!(o.use & use)) {
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  *file = m.fs.files.find(o.key);
  if (*file == m.fs.files.end()) {
    *error = ERROR_INVALID_HANDLE;
    return false;
  }
  return true;
}

bool ReadFrom(Machine& m, FileObject& o, void* buffer, DWORD toRead, DWORD* read, DWORD* error) {
  *read = 0;
  auto it = m.fs.files.end();
  if (!OpenFor(m, o, kUseRead, &it, error)) return false;
  const auto& data = it->second.data;
  uint64_t avail = o.position < data.size() ? data.size() - o.position : 0;
  uint64_t count = std::min<uint64_t>(toRead, avail);
  if (IoFault* f = FindIoFault(m, o.key, "read")) {
    if (f->mode == "fail" && o.position + std::max<uint64_t>(count, 1) > f->afterBytes) {
      *error = f->error ? f->error : ERROR_INVALID_FUNCTION;
      ConsumeIoFault(m, f);
      return false;
    }
    if (f->mode == "short" && o.position + count > f->afterBytes) {
      count = f->afterBytes > o.position ? f->afterBytes - o.position : 0;
      DWORD e = f->error;
      ConsumeIoFault(m, f);
      if (count) std::memcpy(buffer, data.data() + o.position, count);
      o.position += count;
      *read = DWORD(count);
      if (e) {
        *error = e;
        return false;
      }
      return true;
    }
  }
  if (count) std::memcpy(buffer, data.data() + o.position, count);
  o.position += count;
  *read = DWORD(count);
  return true;
}

bool WriteTo(Machine& m, FileObject& o, const void* buffer, DWORD toWrite, DWORD* written,
             DWORD* error) {
  *written = 0;
  auto it = m.fs.files.end();
  if (!OpenFor(m, o, kUseWrite, &it, error)) return false;
  SimFile& f = it->second;
  // A handle that may only append writes at the end, wherever it stands.
  if (!(o.access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA))) o.position = f.data.size();
  uint64_t count = toWrite;
  DWORD failWith = 0;
  if (IoFault* fault = FindIoFault(m, o.key, "write")) {
    if (fault->mode == "fail" && o.position + std::max<uint64_t>(count, 1) > fault->afterBytes) {
      *error = fault->error ? fault->error : ERROR_INVALID_FUNCTION;
      ConsumeIoFault(m, fault);
      return false;
    }
    if (fault->mode == "short" && o.position + count > fault->afterBytes) {
      count = fault->afterBytes > o.position ? fault->afterBytes - o.position : 0;
      failWith = fault->error;
      ConsumeIoFault(m, fault);
    }
  }
  if (count) {
    if (f.data.size() < o.position + count) f.data.resize(o.position + count, 0);
    std::memcpy(f.data.data() + o.position, buffer, count);
    o.position += count;
    // Read again when the handle closes: once per file, not once per write.
    o.written = true;
  }
  *written = DWORD(count);
  if (failWith) {
    *error = failWith;
    return false;
  }
  return true;
}

// Moves every open handle and lock of one file to its new name.
void FollowRename(Machine& m, const U16& from, const U16& to, const U16& toPath) {
  ForEachOpen(m, from, [&](FileObject& o) { o.key = to; });
  for (auto& lock : m.fs.locks) {
    if (FoldPath(lock.path) == from) lock.path = toPath;
  }
}

}  // namespace filesys

using namespace filesys;

U16 FoldPath(std::u16string_view path) {
  return Fold(NormalizePath(path));
}

SimFile* FindFile(Machine& m, std::u16string_view path) {
  auto it = m.fs.files.find(FoldPath(path));
  return it == m.fs.files.end() ? nullptr : &it->second;
}

bool DirectoryExists(Machine& m, std::u16string_view path) {
  return m.fs.dirs.count(FoldPath(path)) != 0;
}

void MakeDirectories(Machine& m, std::u16string_view path) {
  U16 norm = NormalizePath(path);
  while (!norm.empty()) {
    U16 key = Fold(norm);
    if (m.fs.dirs.count(key)) break;
    m.fs.dirs[key] = norm;
    norm = ParentOf(norm);
  }
}

SimFile& PutFile(Machine& m, std::u16string_view path, std::vector<uint8_t> data,
                 std::optional<VersionInfo> version) {
  U16 norm = NormalizePath(path);
  MakeDirectories(m, ParentOf(norm));
  SimFile& f = m.fs.files[Fold(norm)];
  f = SimFile{};
  f.path = norm;
  f.data = std::move(data);
  if (version) WriteVersionResource(f.data, *version);
  RefreshVersion(f);
  return f;
}

bool HoldsMark(const std::vector<uint8_t>& data, std::string_view mark) {
  return std::search(data.begin(), data.end(), mark.begin(), mark.end()) != data.end();
}

bool RemoveFile(Machine& m, std::u16string_view path) {
  return m.fs.files.erase(FoldPath(path)) != 0;
}

SimFile* LookupFile(Machine& m, const char16_t* name, DWORD* error) {
  Resolved r = Resolve(m, name);
  *error = r.error;
  if (r.error) return nullptr;
  if (m.fs.dirs.count(r.key)) {
    *error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  auto it = m.fs.files.find(r.key);
  if (it == m.fs.files.end()) {
    *error = MissingError(m, r);
    return nullptr;
  }
  return &it->second;
}

}  // namespace sim

namespace sim {

namespace {

// `mark` (an entry point's name, an image header) lies in the contents past the "MZ".
void AddDefaultFile(Machine& m, std::u16string_view path, size_t size,
                    std::optional<VersionInfo> version = std::nullopt, std::string_view mark = {}) {
  // Contents that look like a module, different for every file, so copies can be compared.
  std::vector<uint8_t> data(size);
  uint32_t seed = 2166136261u;
  for (char16_t c : path) seed = (seed ^ c) * 16777619u;
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1664525u + 1013904223u;
    data[i] = uint8_t(seed >> 24);
  }
  if (size >= 2) {
    data[0] = 'M';
    data[1] = 'Z';
  }
  if (size >= 64 + mark.size()) std::copy(mark.begin(), mark.end(), data.begin() + 64);
  PutFile(m, path, std::move(data), version);
}

}  // namespace

void InitFiles(Machine& m) {
  m.fs = FileSystemModel{};
  const U16 windows = u"C:\\Windows";
  const U16 system = m.kernel.systemDir.empty() ? windows + u"\\system32" : m.kernel.systemDir;
  MakeDirectories(m, windows + u"\\Temp");
  MakeDirectories(m, system + u"\\spool\\drivers\\x64\\3");
  MakeDirectories(m, system + u"\\spool\\drivers\\W32X86\\3");
  MakeDirectories(m, system + u"\\spool\\PRINTERS");
  MakeDirectories(m, system + u"\\spool\\prtprocs\\x64");
  MakeDirectories(m, u"C:\\Users\\Public");

  const VersionInfo windowsVersion{{10, 0, 19041, 1}, {10, 0, 19041, 1}};
  for (const char16_t* name : {u"kernel32.dll", u"advapi32.dll", u"user32.dll", u"shell32.dll",
                               u"version.dll", u"winspool.drv", u"spoolsv.exe"}) {
    AddDefaultFile(m, system + u"\\" + name, 4096, windowsVersion);
  }
  // The Local Port monitor's module.
  AddDefaultFile(m, system + u"\\localspl.dll", 4096, windowsVersion, kMonitorEntryPoint);

  // The setup's files: the installer with the package beside it, the tray program above.
  const U16 product = u"C:\\Program Files\\Orvalstone";
  const U16 setup = product + u"\\Setup";
  const VersionInfo package{{1, 0, 0, 2300}, {1, 0, 0, 2300}};
  AddDefaultFile(m, m.kernel.modulePath.empty() ? setup + u"\\orvinst.exe" : m.kernel.modulePath,
                 24576, package);
  AddDefaultFile(m, setup + u"\\kvxmon64.dll", 20480, package, kMonitorEntryPoint);
  AddDefaultFile(m, setup + u"\\kvxdrv64.dll", 40960, package);
  AddDefaultFile(m, setup + u"\\kvxui64.dll", 30720, package);
  AddDefaultFile(m, setup + u"\\kvxhelp.chm", 12288);
  AddDefaultFile(m, product + u"\\orvtray.exe", 16384, package);
}

}  // namespace sim
