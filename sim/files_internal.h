// The file system's parts shared by the model (files.cpp) and the kernel32 file calls
// (file_calls.cpp): resolved paths, open file objects, sharing, reading and writing.
#pragma once
#include <memory>

#include "sim/machine.h"

namespace sim::filesys {

// What an open does to the file, in the terms sharing is decided by: the same bits as
// FILE_SHARE_READ, FILE_SHARE_WRITE and FILE_SHARE_DELETE.
inline constexpr DWORD kUseRead = FILE_SHARE_READ;
inline constexpr DWORD kUseWrite = FILE_SHARE_WRITE;
inline constexpr DWORD kUseDelete = FILE_SHARE_DELETE;

struct FileObject : KernelObject {
  Machine* machine = nullptr;
  U16 key;  // folded path of the file it is open on
  DWORD access = 0;
  DWORD use = 0;
  DWORD share = 0;
  uint64_t position = 0;
  bool open = true;
  bool directory = false;  // opened with backup semantics: no data to read or write
  bool written = false;    // its file's version resource is read again when it closes
  void OnClose() override;
};

// A path as the Win32 file calls take it, made full and normalized.
struct Resolved {
  U16 path;  // "C:\dir\file", original case
  U16 key;   // folded
  DWORD error = 0;
};

// Splits a path on either separator, drops "." and resolves "..", keeping the original case.
U16 NormalizePath(std::u16string_view path);
Resolved Resolve(Machine& m, const WCHAR* name);
// A file opened, changed or deleted through a path that depends on the current directory
// is whatever lies there: for a program that runs elevated, a fault wherever it happens.
void CheckWholePath(Machine& m, const WCHAR* name);
// A junction on the way to the last component leads to its target; the last component itself
// is the junction's own entry (calls that open a directory decide whether to follow it).
void FollowMountPoints(Machine& m, Resolved& r, bool last = false);
// The attributes of a directory: a junction is a reparse point too.
DWORD DirectoryAttributes(Machine& m, const U16& key);
U16 ParentOf(std::u16string_view normalized);
// The error for a path that names nothing: the file or, when its directory is missing too,
// the path.
DWORD MissingError(Machine& m, const Resolved& r);
// A file another process or the spooler has loaded as a module: it is read, and the mapping
// lets readers and deleters share but not writers.
bool LoadedAsModule(Machine& m, const U16& key, const U16& path);
// Whether an open with this access and sharing can coexist with the program's own open
// handles and with the other processes' locks on the file.
DWORD ShareError(Machine& m, const Resolved& r, DWORD access, DWORD share);
// Whether anything at all has the file open (a rename cannot replace such a file).
bool InUse(Machine& m, const Resolved& r);
// Opens or creates a file as CreateFileW does; the object is not yet in any handle table.
std::shared_ptr<FileObject> OpenFile(Machine& m, const Resolved& r, DWORD access, DWORD share,
                                     DWORD disposition, DWORD flags, DWORD* error, bool* existed);
bool ReadFrom(Machine& m, FileObject& o, void* buffer, DWORD toRead, DWORD* read, DWORD* error);
bool WriteTo(Machine& m, FileObject& o, const void* buffer, DWORD toWrite, DWORD* written,
             DWORD* error);
// Deletes a file as DeleteFileW does: 0 or the error.
DWORD DeletePath(Machine& m, const Resolved& r);
// Appends one operation (a deletion when `to` is null) to the list the system carries out at
// its next start: 0 or the error.
DWORD AddRebootOperation(Machine& m, const Resolved& from, const Resolved* to, DWORD flags);
// Moves every open handle and lock of one file to its new name.
void FollowRename(Machine& m, const U16& from, const U16& to, const U16& toPath);

}  // namespace sim::filesys
