// A simulated machine kept in a directory between runs, so that separate processes (the
// installer, the orvsim tool) act on one machine in turn.
//
// Layout of a machine directory:
//   machine.json     the whole state, readable and diffable; written aside and renamed, so
//                    its rename is the moment a save takes effect
//   files/           each simulated file's contents, under a name made from them (machine.json
//                    names it), written once and never changed; names no longer used go
//   lock             advisory lock that keeps two runs from interleaving
// The running program's handles, heap blocks, call record, posted messages and dialogs are
// not kept: they end with the process.
#pragma once
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "sim/machine.h"

namespace sim {

inline constexpr int kMachineFormatVersion = 2;
inline constexpr const char* kMachineFormatName = "orvsim machine";

// The machine's state as saved in machine.json, with each file's contents left out (files
// carry their size instead). `orvsim show --json` prints parts of it.
nlohmann::json MachineToJson(const Machine& m);
// A timed event as machine.json holds it: {"at", "kind", "args"}.
void to_json(nlohmann::json& j, const TimedEvent& e);

// Registry and printer-data values: a type and the bytes as written, shown readably where
// the bytes allow ("sz", "multiSz", "dword", "qword") and as "hex" otherwise, always so that
// reading gives back the same bytes. Printer data is written through the ANSI calls, so its
// strings are tried as Windows-1252 text ("ansi") first.
nlohmann::json TypedValueToJson(DWORD type, const std::vector<uint8_t>& bytes,
                                bool ansiStrings = false);
// `besides` names one more field the caller reads itself (a value's "name").
bool TypedValueFromJson(const nlohmann::json& j, DWORD* type, std::vector<uint8_t>* bytes,
                        std::string* error, std::string_view besides = {});
// "REG_SZ" for 1 and so on; the number for types without a name.
std::string RegTypeName(DWORD type);
// Accepts "REG_SZ", "sz", "1"; false for anything else.
bool ParseRegType(std::string_view text, DWORD* type);

// Save and load without locking (callers hold a MachineLock). Save writes the contents it
// lacks and the new state aside, and switches to it with one rename; a failed or killed save
// leaves the old state in place.
// Load refuses a damaged machine or one of another format version, with the reason in
// *error, and changes nothing on disk.
bool SaveMachine(const Machine& m, const std::filesystem::path& dir, std::string* error);
bool LoadMachine(const std::filesystem::path& dir, Machine& m, std::string* error);
// Whether the directory holds a saved machine (its machine.json exists).
bool MachineExists(const std::filesystem::path& dir);
// Whether a new machine may be made there: the directory is missing, or empty but for its lock.
bool MachineDirectoryFree(const std::filesystem::path& dir);

// The machine directory: ORVSIM_MACHINE when set, else .orvsim in the working directory.
std::filesystem::path DefaultMachineDir();

// An advisory lock on <dir>/lock for the length of a run. Exclusive for runs that change the
// machine, shared for those that only read it. Acquire waits up to waitMs, then refuses.
class MachineLock {
 public:
  MachineLock() = default;
  ~MachineLock();
  MachineLock(const MachineLock&) = delete;
  MachineLock& operator=(const MachineLock&) = delete;

  // createDir: make the directory when it is missing (else a missing one is refused).
  bool Acquire(const std::filesystem::path& dir, bool exclusive, int waitMs, std::string* error,
               bool createDir = true);
  void Release();
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// How long a run waits for another one on the same machine: ORVSIM_WAIT seconds when set,
// else 30 s.
int DefaultLockWaitMs();

// How a run uses a machine directory.
enum class MachineAccess {
  kRead,            // shared lock; the machine must exist
  kChange,          // exclusive lock; the machine must exist
  kChangeOrCreate,  // exclusive lock; a missing machine is made as the fresh default one
};

// A run's use of a machine directory: lock it, load the machine, save it at the end. The
// lock is held until the session ends, so two runs never interleave.
class MachineSession {
 public:
  // Loads into m. *created tells whether a fresh machine was made (and saved at once, so the
  // directory is a machine from then on). A fresh machine is made only in a missing or empty
  // directory, never over other contents.
  bool Open(const std::filesystem::path& dir, Machine& m, MachineAccess access, int waitMs,
            bool* created, std::string* error);
  bool Save(const Machine& m, std::string* error);
  const std::filesystem::path& Dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
  MachineLock lock_;
};

}  // namespace sim
