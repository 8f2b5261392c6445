// kernel32: the file calls. Deleting, copying and moving follow the sharing rules of the
// file system (files.cpp); a move until the next restart is only recorded, in the list the
// system carries out at its start.
#include <algorithm>
#include <map>

#include "sim/files_internal.h"

using namespace sim;
using namespace sim::filesys;

namespace sim::filesys {

constexpr DWORD kErrorInvalidData = 13;

// Appends one operation to the list the system carries out at its next start, in the form
// Windows writes: "\??\<path>" and then the new name ("\??\<new>", "!\??\<new>" when it may
// replace, or an empty string for a deletion), the whole a REG_MULTI_SZ ending in two NULs.
DWORD AddRebootOperation(Machine& m, const Resolved& from, const Resolved* to, DWORD flags) {
  static constexpr char16_t kKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  static constexpr char16_t kValue[] = u"PendingFileRenameOperations";
  RegKey* key = FindRegKey(m, HKEY_LOCAL_MACHINE, kKey, true);
  if (!key || key->accessDenied) return ERROR_ACCESS_DENIED;
  std::vector<uint8_t> data;
  if (const RegValue* v = FindRegValue(m, HKEY_LOCAL_MACHINE, kKey, kValue)) {
    if (v->type != REG_MULTI_SZ) return kErrorInvalidData;
    data = v->data;
    // Drop the list's closing NUL; it comes back after the new strings.
    if (data.size() >= 2 && data[data.size() - 1] == 0 && data[data.size() - 2] == 0) {
      data.resize(data.size() - 2);
    }
  }
  auto append = [&](std::u16string_view s) { AppendUtf16Terminated(&data, s); };
  append(u"\\??\\" + from.path);
  if (to) {
    append(((flags & MOVEFILE_REPLACE_EXISTING) ? u"!\\??\\" : u"\\??\\") + to->path);
  } else {
    append(u"");
  }
  data.push_back(0);
  data.push_back(0);
  SetRegValue(m, HKEY_LOCAL_MACHINE, kKey, kValue, REG_MULTI_SZ, std::move(data));
  return 0;
}

DWORD DeletePath(Machine& m, const Resolved& r) {
  if (r.error) return r.error;
  if (m.fs.dirs.count(r.key)) return ERROR_ACCESS_DENIED;
  auto it = m.fs.files.find(r.key);
  if (it == m.fs.files.end()) return MissingError(m, r);
  if (HeldBySpooler(m, r.path)) return ERROR_ACCESS_DENIED;
  if (DWORD e = ShareError(m, r, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    return e;
  }
  if (LoadedAsModule(m, r.key, r.path)) return ERROR_ACCESS_DENIED;
  if (it->second.attributes & FILE_ATTRIBUTE_READONLY) return ERROR_ACCESS_DENIED;
  m.fs.files.erase(it);
  return 0;
}

}  // namespace sim::filesys

namespace {

constexpr DWORD kErrorNotSameDevice = 17;
constexpr DWORD kAttributeMask = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                 FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                 0x100 /* TEMPORARY */ | 0x2000 /* NOT_CONTENT_INDEXED */;

DWORD MovePath(Machine& m, const Resolved& from, const Resolved& to, DWORD flags) {
  if (from.error) return from.error;
  if (to.error) return to.error;
  bool isDir = m.fs.dirs.count(from.key) != 0;
  auto src = m.fs.files.find(from.key);
  if (!isDir && src == m.fs.files.end()) return MissingError(m, from);
  if (!m.fs.dirs.count(Fold(ParentOf(to.path)))) return ERROR_PATH_NOT_FOUND;
  if (!EqualFold(from.path.substr(0, 2), to.path.substr(0, 2))) {
    // A move that copies across drives is nothing the installer asks for: not simulated.
    if (flags & MOVEFILE_COPY_ALLOWED) RecordMisuse(m, "MoveFileExW copying across drives");
    return kErrorNotSameDevice;
  }
  // The rename opens the source for deletion; a loaded module allows that, a handle that does
  // not share deletion (on a directory too) does not.
  if (DWORD e = ShareError(m, from, DELETE, 7)) return e;
  if (from.key == to.key) {
    // Only the letter case changes.
    if (isDir) {
      m.fs.dirs[from.key] = to.path;
    } else {
      src->second.path = to.path;
    }
    return 0;
  }
  if (m.fs.dirs.count(to.key)) {
    return (flags & MOVEFILE_REPLACE_EXISTING) ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS;
  }
  auto dst = m.fs.files.find(to.key);
  if (dst != m.fs.files.end()) {
    if (!(flags & MOVEFILE_REPLACE_EXISTING) || isDir) return ERROR_ALREADY_EXISTS;
    if ((dst->second.attributes & FILE_ATTRIBUTE_READONLY) || InUse(m, to)) {
      return ERROR_ACCESS_DENIED;
    }
    m.fs.files.erase(dst);
  }
  if (isDir) {
    if (to.key.starts_with(from.key + u"\\")) return ERROR_INVALID_PARAMETER;  // into itself
    auto moveUnder = [&](const U16& key) {
      return key == from.key || key.starts_with(from.key + u"\\");
    };
    std::map<U16, U16> dirs;
    for (auto it = m.fs.dirs.begin(); it != m.fs.dirs.end();) {
      if (moveUnder(it->first)) {
        dirs[to.key + it->first.substr(from.key.size())] =
            to.path + it->second.substr(from.path.size());
        it = m.fs.dirs.erase(it);
      } else {
        ++it;
      }
    }
    m.fs.dirs.merge(dirs);
    std::map<U16, SimFile> files;
    for (auto it = m.fs.files.begin(); it != m.fs.files.end();) {
      if (moveUnder(it->first)) {
        SimFile f = std::move(it->second);
        U16 key = to.key + it->first.substr(from.key.size());
        f.path = to.path + f.path.substr(from.path.size());
        FollowRename(m, it->first, key, f.path);
        files[key] = std::move(f);
        it = m.fs.files.erase(it);
      } else {
        ++it;
      }
    }
    m.fs.files.merge(files);
    return 0;
  }
  SimFile f = std::move(src->second);
  m.fs.files.erase(src);
  f.path = to.path;
  m.fs.files[to.key] = std::move(f);
  FollowRename(m, from.key, to.key, to.path);
  return 0;
}

}  // namespace

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
  (void)sa;
  (void)templateFile;
  if (DWORD e = Enter("CreateFileW", CallArg(name))) return Fail(e, INVALID_HANDLE_VALUE);
  CheckWholePath(M(), name);
  Machine& m = M();
  Resolved r = Resolve(m, name);
  // Opening a junction as a directory opens where it leads, unless the junction itself is
  // asked for.
  if (!r.error && (flags & FILE_FLAG_BACKUP_SEMANTICS) && !(flags & FILE_FLAG_OPEN_REPARSE_POINT)) {
    FollowMountPoints(m, r, true);
  }
  DWORD error = 0;
  bool existed = false;
  auto o = OpenFile(m, r, access, share, disposition, flags, &error, &existed);
  if (!o) return Fail(error, INVALID_HANDLE_VALUE);
  SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                   ? ERROR_ALREADY_EXISTS
                   : 0);
  return m.kernelHandles.Add(o);
}

// What ReadFile and WriteFile check before any I/O: an armed fault, the handle, the
// arguments (no overlapped I/O on this machine). Sets the last error when it answers null.
static std::shared_ptr<FileObject> FileForIo(Machine& m, const char* api, HANDLE file,
                                             LPCVOID buffer, DWORD count, LPOVERLAPPED ov) {
  if (DWORD e = Enter(api, std::to_string(count))) return Fail(e, nullptr);
  auto o = m.kernelHandles.GetAs<FileObject>(file);
  if (!o) return Fail(ERROR_INVALID_HANDLE, nullptr);
  if (ov || (!buffer && count)) return Fail(ERROR_INVALID_PARAMETER, nullptr);
  return o;
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED ov) {
  if (read) *read = 0;
  Machine& m = M();
  auto o = FileForIo(m, "ReadFile", file, buffer, toRead, ov);
  if (!o) return FALSE;
  DWORD got = 0, error = 0;
  bool ok = ReadFrom(m, *o, buffer, toRead, &got, &error);
  if (read) *read = got;
  if (!ok) SetLastError(error);
  return ok ? TRUE : FALSE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                      LPOVERLAPPED ov) {
  if (written) *written = 0;
  Machine& m = M();
  auto o = FileForIo(m, "WriteFile", file, buffer, toWrite, ov);
  if (!o) return FALSE;
  DWORD put = 0, error = 0;
  bool ok = WriteTo(m, *o, buffer, toWrite, &put, &error);
  if (written) *written = put;
  if (!ok) SetLastError(error);
  return ok ? TRUE : FALSE;
}

// Closes any kernel object of the running program: files, processes, threads, mutexes and
// registry keys alike, each releasing what it holds in its OnClose.
BOOL WINAPI CloseHandle(HANDLE handle) {
  if (DWORD e = Enter("CloseHandle")) return Fail(e);
  if (!M().kernelHandles.Close(handle)) {
    RecordMisuse(M(), "CloseHandle of a handle not open");
    return Fail(ERROR_INVALID_HANDLE);
  }
  return TRUE;
}

BOOL WINAPI DeleteFileW(LPCWSTR name) {
  if (DWORD e = Enter("DeleteFileW", CallArg(name))) return Fail(e);
  Machine& m = M();
  CheckWholePath(m, name);
  if (DWORD e = DeletePath(m, Resolve(m, name))) return Fail(e);
  return TRUE;
}

BOOL WINAPI MoveFileExW(LPCWSTR existing, LPCWSTR newName, DWORD flags) {
  if (DWORD e = Enter("MoveFileExW", CallArg(existing) + " -> " + CallArg(newName) + " " +
                                         std::to_string(flags))) {
    return Fail(e);
  }
  Machine& m = M();
  CheckWholePath(m, existing);
  if (newName) CheckWholePath(m, newName);
  Resolved from = Resolve(m, existing);
  DWORD error = 0;
  if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    // Only recorded now: the file need not exist yet, and nothing is checked but the names.
    if (flags & MOVEFILE_COPY_ALLOWED) {
      error = ERROR_INVALID_PARAMETER;
    } else if (from.error) {
      error = ERROR_PATH_NOT_FOUND;
    } else if (newName) {
      Resolved to = Resolve(m, newName);
      error = to.error ? ERROR_PATH_NOT_FOUND : AddRebootOperation(m, from, &to, flags);
    } else {
      error = AddRebootOperation(m, from, nullptr, flags);
    }
  } else if (!newName) {
    error = DeletePath(m, from);
  } else {
    error = MovePath(m, from, Resolve(m, newName), flags);
  }
  if (error) return Fail(error);
  return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR name) {
  if (DWORD e = Enter("GetFileAttributesW", CallArg(name))) return Fail(e, INVALID_FILE_ATTRIBUTES);
  Machine& m = M();
  Resolved r = Resolve(m, name);
  if (r.error) return Fail(r.error, INVALID_FILE_ATTRIBUTES);
  if (m.fs.dirs.count(r.key)) return DirectoryAttributes(m, r.key);
  auto it = m.fs.files.find(r.key);
  if (it == m.fs.files.end()) {
    SetLastError(MissingError(m, r));
    return INVALID_FILE_ATTRIBUTES;
  }
  return it->second.attributes ? it->second.attributes : FILE_ATTRIBUTE_NORMAL;
}

BOOL WINAPI SetFileAttributesW(LPCWSTR name, DWORD attributes) {
  if (DWORD e = Enter("SetFileAttributesW", CallArg(name) + " " + std::to_string(attributes))) {
    return Fail(e);
  }
  Machine& m = M();
  CheckWholePath(m, name);
  Resolved r = Resolve(m, name);
  if (r.error) return Fail(r.error);
  if (m.fs.dirs.count(r.key)) return TRUE;  // directories keep no attributes here
  auto it = m.fs.files.find(r.key);
  if (it == m.fs.files.end()) return Fail(MissingError(m, r));
  it->second.attributes = attributes & kAttributeMask;
  return TRUE;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES sa) {
  (void)sa;
  if (DWORD e = Enter("CreateDirectoryW", CallArg(path))) return Fail(e);
  Machine& m = M();
  CheckWholePath(m, path);
  Resolved r = Resolve(m, path);
  DWORD error = r.error;
  if (!error && (m.fs.dirs.count(r.key) || m.fs.files.count(r.key))) {
    error = ERROR_ALREADY_EXISTS;
  } else if (!error && !m.fs.dirs.count(Fold(ParentOf(r.path)))) {
    error = ERROR_PATH_NOT_FOUND;
  }
  if (error) return Fail(error);
  m.fs.dirs[r.key] = r.path;
  return TRUE;
}
