// Saving and loading a whole machine: machine.json for the models, each file's contents under
// a name made from them, and one rename of machine.json to switch from one state to the next.
#include "sim/persist.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>
#include <thread>

#include "sim/persist_codec.h"

namespace sim {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr const char* kStateFile = "machine.json";
constexpr const char* kContentDir = "files";
constexpr const char* kLockFile = "lock";

// ---- Files on the host ----------------------------------------------------------------------

std::string Errno(const std::string& what, const fs::path& path) {
  return what + " " + path.string() + ": " + std::strerror(errno);
}

// Writes a file whole under its name: aside first, then renamed into place, so that the name
// never holds part of the contents, whenever the process is killed. Nothing is flushed to disk:
// the machine is a developer's tool, and a power cut may lose its last save.
void WriteHostFile(const fs::path& path, const std::string_view data) {
  fs::path aside = path;
  aside += ".new";
  const int fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error(Errno("cannot create", aside));
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string message = Errno("cannot write", aside);
      ::close(fd);
      throw std::runtime_error(message);
    }
    done += size_t(n);
  }
  ::close(fd);
  fs::rename(aside, path);
}

// Reads a regular file; a symbolic link or anything else is refused, so a machine directory
// cannot make the tool read host files outside it.
bool ReadHostFile(const fs::path& path, std::vector<uint8_t>* data, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    *error = errno == ELOOP ? path.string() + " is a link, not a regular file"
                            : Errno("cannot read", path);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    *error = path.string() + " is not a regular file";
    return false;
  }
  data->resize(size_t(st.st_size));
  size_t done = 0;
  while (done < data->size()) {
    const ssize_t n = ::read(fd, data->data() + done, data->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  ::close(fd);
  if (done != data->size()) {
    *error = path.string() + " changed while it was read";
    return false;
  }
  return true;
}

// The name a file's contents are kept under: made from the contents (64-bit FNV-1a), so that
// a name once written never changes its bytes and unchanged contents are not written again.
std::string ContentName(const std::vector<uint8_t>& data) {
  uint64_t hash = 14695981039346656037ULL;
  for (uint8_t b : data) hash = (hash ^ b) * 1099511628211ULL;
  char name[17];
  std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
  return name;
}

// Empty but for the lock this run just took. Contents or a state file written aside without
// machine.json is a machine that lost its state: refused, never replaced.
bool DirectoryIsEmpty(const fs::path& dir) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (entry.path().filename() != kLockFile) return false;
  }
  return !ec;
}

}  // namespace

// ---- The directory ----------------------------------------------------------------------------

bool MachineExists(const fs::path& dir) {
  std::error_code ec;
  return fs::exists(dir / kStateFile, ec);
}

bool MachineDirectoryFree(const fs::path& dir) {
  std::error_code ec;
  return !fs::exists(dir, ec) || DirectoryIsEmpty(dir);
}

bool SaveMachine(const Machine& m, const fs::path& dir, std::string* error) {
  const fs::path contents = dir / kContentDir;
  std::set<std::string> named;
  try {
    fs::create_directories(contents);
    for (const auto& [key, file] : m.fs.files) {
      const std::string name = ContentName(file.data);
      if (named.insert(name).second && !fs::exists(contents / name)) {
        WriteHostFile(
            contents / name,
            std::string_view(reinterpret_cast<const char*>(file.data.data()), file.data.size()));
      }
    }
    const json j = EncodeMachine(m, [](const SimFile& file) { return ContentName(file.data); });
    // The switch: until this rename the old machine.json, and every file it names, stands.
    std::string text = j.dump(2);
    text += '\n';
    WriteHostFile(dir / kStateFile, text);
  } catch (const std::exception& e) {
    *error = std::string("cannot save the machine in ") + dir.string() + ": " + e.what();
    return false;
  }
  // Contents the machine no longer names are garbage now, and so is what a save that was cut
  // short left.
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(contents, ec)) {
    if (!named.count(entry.path().filename().string())) {
      std::error_code ignored;
      fs::remove(entry.path(), ignored);
    }
  }
  return true;
}

bool LoadMachine(const fs::path& dir, Machine& m, std::string* error) {
  const std::string where = "the machine in " + dir.string();
  std::vector<uint8_t> bytes;
  if (!ReadHostFile(dir / kStateFile, &bytes, error)) {
    *error = where + " cannot be read: " + *error;
    return false;
  }
  json j;
  try {
    j = json::parse(bytes);
  } catch (const json::parse_error& e) {
    *error = where + " is damaged: " + kStateFile + " is not valid JSON (" + e.what() +
             "); it was left as it is";
    return false;
  }
  if (!j.is_object() || j.value("format", json()) != kMachineFormatName) {
    *error =
        where + " is damaged: " + kStateFile + " is not an orvsim machine; it was left as it is";
    return false;
  }
  const json version = j.value("version", json());
  if (version != kMachineFormatVersion) {
    *error = where + " has format version " + version.dump() + ", and this build reads version " +
             std::to_string(kMachineFormatVersion) + "; it was left as it is";
    return false;
  }
  Machine loaded;
  std::vector<std::pair<U16, std::string>> content;
  try {
    DecodeMachine(j, loaded, &content);
  } catch (const std::exception& e) {
    *error = where + " is damaged: " + e.what() + "; it was left as it is";
    return false;
  }
  for (const auto& [key, name] : content) {
    SimFile& file = loaded.fs.files.at(key);
    std::string readError;
    if (!ReadHostFile(dir / kContentDir / name, &file.data, &readError)) {
      *error = where + " is damaged: the contents of " + ToUtf8(file.path) + " are missing (" +
               readError + "); it was left as it is";
      return false;
    }
  }
  m = std::move(loaded);
  return true;
}

fs::path DefaultMachineDir() {
  const char* env = std::getenv("ORVSIM_MACHINE");
  if (env && *env) return fs::path(env);
  return fs::path(".orvsim");
}

int DefaultLockWaitMs() {
  const char* env = std::getenv("ORVSIM_WAIT");
  if (env && *env) {
    char* end = nullptr;
    const long seconds = std::strtol(env, &end, 10);
    if (end && *end == 0 && seconds >= 0 && seconds <= 3600) return int(seconds * 1000);
  }
  return 30000;
}

MachineLock::~MachineLock() {
  Release();
}

void MachineLock::Release() {
  if (fd_ >= 0) {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
  }
}

bool MachineLock::Acquire(const fs::path& dir, bool exclusive, int waitMs, std::string* error,
                          bool createDir) {
  Release();
  std::error_code ec;
  if (!createDir && !fs::is_directory(dir, ec)) {
    *error = "there is no machine in " + dir.string() + " (orvsim new makes one)";
    return false;
  }
  fs::create_directories(dir, ec);
  if (ec) {
    *error = "cannot create the machine directory " + dir.string() + ": " + ec.message();
    return false;
  }
  const fs::path path = dir / kLockFile;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    *error = Errno("cannot open the lock file", path);
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    if (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) break;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      *error = Errno("cannot lock", path);
      ::close(fd);
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      *error = "the machine in " + dir.string() + " is in use by another run (waited " +
               std::to_string(waitMs / 1000) + " s; ORVSIM_WAIT sets how long)";
      ::close(fd);
      return false;
    }
    // Another process holds it: a real wait between two real processes.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  fd_ = fd;
  return true;
}

bool MachineSession::Open(const fs::path& dir, Machine& m, MachineAccess access, int waitMs,
                          bool* created, std::string* error) {
  dir_ = dir;
  *created = false;
  const bool create = access == MachineAccess::kChangeOrCreate;
  if (!lock_.Acquire(dir, access != MachineAccess::kRead, waitMs, error, create)) return false;
  if (MachineExists(dir)) return LoadMachine(dir, m, error);
  if (access != MachineAccess::kChangeOrCreate) {
    *error = "there is no machine in " + dir.string() + " (orvsim new makes one)";
    return false;
  }
  if (!DirectoryIsEmpty(dir)) {
    *error = dir.string() +
             " holds no machine and is not empty; a new machine is made only in a missing or "
             "empty directory";
    return false;
  }
  Machine fresh;
  InitDefaultMachine(fresh);
  if (!SaveMachine(fresh, dir, error)) return false;
  m = std::move(fresh);
  *created = true;
  return true;
}

bool MachineSession::Save(const Machine& m, std::string* error) {
  if (!lock_.Held()) {
    *error = "the machine in " + dir_.string() + " is not locked";
    return false;
  }
  return SaveMachine(m, dir_, error);
}

}  // namespace sim
