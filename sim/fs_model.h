// The file system: drives, directories, files with contents and version resources, files
// held open by other processes, and I/O faults.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/text.h"

namespace sim {

// A module's version resource, as VS_FIXEDFILEINFO reports it: a.b.c.d.
struct VersionInfo {
  uint16_t file[4] = {0, 0, 0, 0};
  uint16_t product[4] = {0, 0, 0, 0};
};

// What the simulated files hold is not a real image. Two marks in a module's bytes stand for
// what a loader reads from one: the name of the monitor's entry point, which a real module
// carries in its export table, and the PE header of an x86 image (machine 0x014c), which a
// 64-bit process cannot load.
inline constexpr std::string_view kMonitorEntryPoint = "InitializePrintMonitor2";
inline constexpr std::string_view kX86ImageHeader{"PE\0\0\x4c\x01", 6};
bool HoldsMark(const std::vector<uint8_t>& data, std::string_view mark);

struct SimFile {
  U16 path;  // full path in its original case
  // The contents. A module's version resource lies inside them as a VS_VERSIONINFO block, as
  // in a real module, so a copy made by reading and writing carries the version along.
  std::vector<uint8_t> data;
  DWORD attributes = 0x20;  // FILE_ATTRIBUTE_ARCHIVE
  // The version that block holds; kept in step with `data` by every write (informative: the
  // version calls read `data`).
  std::optional<VersionInfo> version;
};

// A file held open by another simulated process, with the access it has and the sharing
// it allows.
struct FileLock {
  U16 path;
  uint32_t pid = 0;
  DWORD access = 0;
  DWORD share = 0;
  bool module = false;  // loaded as a module: deletion is refused with 5, renames work
};

// An I/O fault on one file: reads or writes fail with an error, or come up short after
// `afterBytes` bytes.
struct IoFault {
  U16 path;
  std::string op;    // "read" or "write"
  std::string mode;  // "fail" or "short"
  DWORD error = 0;
  uint64_t afterBytes = 0;
  int remaining = -1;  // < 0: always
};

struct FileSystemModel {
  std::map<U16, SimFile> files;  // key: folded full path
  std::map<U16, U16> dirs;       // folded path -> path in its original case (drives too)
  std::vector<FileLock> locks;
  std::vector<IoFault> ioFaults;
  // Directory junctions (mount points): folded path of the junction -> the directory it leads
  // to. The junction is a directory entry of its own; a path that goes on beneath it reaches
  // the target's entries instead.
  std::map<U16, U16> mountPoints;
};

struct Machine;
// Direct access for the machine's own models, tests and orvsim. Paths are full Windows
// paths ("C:\dir\file"); lookups ignore case.
U16 FoldPath(std::u16string_view path);
SimFile* FindFile(Machine& m, std::u16string_view path);
bool DirectoryExists(Machine& m, std::u16string_view path);
void MakeDirectories(Machine& m, std::u16string_view path);
// Creates or replaces a file, making its directories. With a version, the contents get a
// version resource holding it (the block already in `data` is updated in place).
SimFile& PutFile(Machine& m, std::u16string_view path, std::vector<uint8_t> data,
                 std::optional<VersionInfo> version = std::nullopt);
bool RemoveFile(Machine& m, std::u16string_view path);
// A path as the Win32 file calls take it (relative to the program's directory, either
// separator): the file it names, or null with the error those calls give (2, 3, 123; 5 for a
// directory).
SimFile* LookupFile(Machine& m, const char16_t* name, DWORD* error);
// Makes the directory `path` a junction to `target` (an empty directory in its place first).
void MakeMountPoint(Machine& m, std::u16string_view path, std::u16string_view target);
// Whether the running spooler holds this file loaded (a registered monitor's module or an
// in-use driver's file); such a file refuses deletion and writing while the spooler runs.
bool HeldBySpooler(Machine& m, std::u16string_view path);

// The version resource inside a file's contents: where its block starts and how many bytes
// it has, the version it holds, and setting it (in place, or appended when there is none).
std::optional<std::pair<size_t, size_t>> FindVersionResource(const std::vector<uint8_t>& data);
std::optional<VersionInfo> ReadVersionResource(const std::vector<uint8_t>& data);
void WriteVersionResource(std::vector<uint8_t>& data, const VersionInfo& version);

}  // namespace sim
