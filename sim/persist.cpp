// Saving and loading a whole machine: machine.json for the models, one host file per
// simulated file, a generation directory per save and one rename to switch between them.
#include "sim/persist.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

#include "sim/persist_codec.h"

namespace sim {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr const char* kStateFile = "machine.json";
constexpr const char* kStateTemp = "machine.json.new";
constexpr const char* kLockFile = "lock";
constexpr const char* kFilesPrefix = "files-";

// ---- Files on the host ----------------------------------------------------------------------

std::string Errno(const std::string& what, const fs::path& path) {
  return what + " " + path.string() + ": " + std::strerror(errno);
}

void WriteHostFile(const fs::path& path, const std::string_view data, bool exclusive) {
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC), 0644);
  if (fd < 0) throw std::runtime_error(Errno("cannot create", path));
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string message = Errno("cannot write", path);
      ::close(fd);
      throw std::runtime_error(message);
    }
    done += size_t(n);
  }
  // The rename that follows must never make visible a file whose contents are not on disk.
  if (::fsync(fd) != 0) {
    const std::string message = Errno("cannot flush", path);
    ::close(fd);
    throw std::runtime_error(message);
  }
  ::close(fd);
}

void SyncDirectory(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
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

bool ReadTextFile(const fs::path& path, std::string* text, std::string* error) {
  std::vector<uint8_t> data;
  if (!ReadHostFile(path, &data, error)) return false;
  text->assign(data.begin(), data.end());
  return true;
}

// A host name for one path component, or "" when the component cannot be one.
std::string HostComponent(std::u16string_view part) {
  if (part.empty() || part == u"." || part == u".." || !WellFormedUtf16(part)) return {};
  for (char16_t c : part) {
    if (c == u'/' || c == 0) return {};
  }
  std::string out = ToUtf8(part);
  return out.size() <= 255 ? out : std::string();
}

// Where a simulated file's contents go inside the generation directory: its path, drive
// letter first (C:\Windows\x.dll -> C/Windows/x.dll). Paths that cannot be spelled that way,
// or that collide with another file's, go under "_" by number.
class ContentNames {
 public:
  std::string Name(std::u16string_view path) {
    std::string name = Mapped(path);
    if (!name.empty() && Claim(name)) return name;
    return "_/" + std::to_string(++fallback_);
  }

 private:
  static std::string Mapped(std::u16string_view path) {
    if (path.size() < 4 || path[1] != u':' || path[2] != u'\\') return {};
    const char16_t drive = path[0];
    if (!((drive >= u'A' && drive <= u'Z') || (drive >= u'a' && drive <= u'z'))) return {};
    std::string out(1, char(drive));
    size_t start = 3;
    while (start <= path.size()) {
      size_t end = path.find(u'\\', start);
      if (end == std::u16string_view::npos) end = path.size();
      const std::string part = HostComponent(path.substr(start, end - start));
      if (part.empty()) return {};
      out += "/" + part;
      start = end + 1;
    }
    return out;
  }

  // A name is free when no file uses it or one of its parents, and no file lies below it.
  bool Claim(const std::string& name) {
    if (files_.count(name) || dirs_.count(name)) return false;
    for (size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
      if (files_.count(name.substr(0, slash))) return false;
    }
    files_.insert(name);
    for (size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
      dirs_.insert(name.substr(0, slash));
    }
    return true;
  }

  std::set<std::string> files_;
  std::set<std::string> dirs_;
  int fallback_ = 0;
};

std::optional<uint64_t> Generation(const std::string& name) {
  const std::string prefix = kFilesPrefix;
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return {};
  uint64_t n = 0;
  for (size_t i = prefix.size(); i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9' || n > 1000000000000ULL) return {};
    n = n * 10 + uint64_t(name[i] - '0');
  }
  return n;
}

// The generation the saved machine.json names, or "" when there is none to trust.
fs::path CurrentGeneration(const fs::path& dir) {
  std::string text, error;
  if (!ReadTextFile(dir / kStateFile, &text, &error)) return {};
  const json j = json::parse(text, nullptr, false);
  if (!j.is_object() || !j.contains("filesDir") || !j["filesDir"].is_string()) return {};
  const std::string name = j["filesDir"].get<std::string>();
  return Generation(name) ? dir / name : fs::path();
}

// Links the new generation's file to the current one's when their bytes are the same.
bool LinkIfSame(const fs::path& old, const fs::path& target, std::string_view bytes) {
  std::vector<uint8_t> data;
  std::string error;
  if (!ReadHostFile(old, &data, &error) || data.size() != bytes.size() ||
      !std::equal(data.begin(), data.end(), bytes.begin(),
                  [](uint8_t a, char b) { return a == uint8_t(b); })) {
    return false;
  }
  return ::link(old.c_str(), target.c_str()) == 0;
}

// Empty but for the lock this run just took. A files generation or a state file written aside
// without machine.json is a machine that lost its state: refused, never replaced.
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

namespace {

// Saves as a new generation; `previous` is the current one (empty: none), whose unchanged
// contents are linked. *saved names the new one.
bool SaveGeneration(const Machine& m, const fs::path& dir, const fs::path& previous,
                    fs::path* saved, std::string* error) {
  fs::path generation;
  try {
    fs::create_directories(dir);
    uint64_t next = 1;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (auto n = Generation(entry.path().filename().string())) next = std::max(next, *n + 1);
    }
    generation = dir / (kFilesPrefix + std::to_string(next));
    fs::create_directory(generation);

    // Contents that did not change since the current generation are linked, not written
    // again: most runs change a few files of many.
    ContentNames names;
    std::vector<const SimFile*> order;
    json j = EncodeMachine(m, [&](const SimFile& file) {
      order.push_back(&file);
      return names.Name(file.path);
    });
    j["filesDir"] = generation.filename().string();
    std::set<fs::path> made;
    const json& files = j["fs"]["files"];
    for (size_t i = 0; i < order.size(); ++i) {
      const fs::path target = generation / files[i]["content"].get<std::string>();
      fs::create_directories(target.parent_path());
      for (fs::path p = target.parent_path(); p != generation; p = p.parent_path()) made.insert(p);
      const std::string_view bytes(reinterpret_cast<const char*>(order[i]->data.data()),
                                   order[i]->data.size());
      if (!previous.empty() &&
          LinkIfSame(previous / files[i]["content"].get<std::string>(), target, bytes)) {
        continue;
      }
      WriteHostFile(target, bytes, true);
    }
    for (const auto& d : made) SyncDirectory(d);
    SyncDirectory(generation);

    // The switch: until this rename the old machine.json (and its generation) stands.
    const std::string text = j.dump(2) + "\n";
    WriteHostFile(dir / kStateTemp, text, false);
    fs::rename(dir / kStateTemp, dir / kStateFile);
    SyncDirectory(dir);
  } catch (const std::exception& e) {
    std::error_code ec;
    if (!generation.empty()) fs::remove_all(generation, ec);
    fs::remove(dir / kStateTemp, ec);
    *error = std::string("cannot save the machine in ") + dir.string() + ": " + e.what();
    return false;
  }
  // Older generations are garbage now; one left behind by a crash is removed the same way.
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (Generation(entry.path().filename().string()) && entry.path() != generation) {
      std::error_code ignored;
      fs::remove_all(entry.path(), ignored);
    }
  }
  *saved = generation;
  return true;
}

// Loads the machine and tells which generation of files it uses.
bool LoadGeneration(const fs::path& dir, Machine& m, fs::path* generationOut, std::string* error) {
  const std::string where = "the machine in " + dir.string();
  std::string text;
  if (!ReadTextFile(dir / kStateFile, &text, error)) {
    *error = where + " cannot be read: " + *error;
    return false;
  }
  json j;
  try {
    j = json::parse(text);
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
  const json filesDir = j.value("filesDir", json());
  if (!filesDir.is_string() || !Generation(filesDir.get<std::string>())) {
    *error = where + " is damaged: machine.json: \"filesDir\" must name a files-<n> " +
             "directory; it was left as it is";
    return false;
  }
  const fs::path generation = dir / filesDir.get<std::string>();
  for (const auto& [key, name] : content) {
    SimFile& file = loaded.fs.files.at(key);
    std::string readError;
    if (!ReadHostFile(generation / name, &file.data, &readError)) {
      *error = where + " is damaged: the contents of " + ToUtf8(file.path) + " are missing (" +
               readError + "); it was left as it is";
      return false;
    }
  }
  m = std::move(loaded);
  *generationOut = generation;
  return true;
}

}  // namespace

bool MachineDirectoryFree(const fs::path& dir) {
  std::error_code ec;
  return !fs::exists(dir, ec) || DirectoryIsEmpty(dir);
}

bool SaveMachine(const Machine& m, const fs::path& dir, std::string* error) {
  fs::path saved;
  return SaveGeneration(m, dir, CurrentGeneration(dir), &saved, error);
}

bool LoadMachine(const fs::path& dir, Machine& m, std::string* error) {
  fs::path generation;
  return LoadGeneration(dir, m, &generation, error);
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
  generation_.clear();
  if (MachineExists(dir)) return LoadGeneration(dir, m, &generation_, error);
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
  if (!SaveGeneration(fresh, dir, {}, &generation_, error)) return false;
  m = std::move(fresh);
  *created = true;
  return true;
}

bool MachineSession::Save(const Machine& m, std::string* error) {
  if (!lock_.Held()) {
    *error = "the machine in " + dir_.string() + " is not locked";
    return false;
  }
  // The generation this session loaded or saved last: machine.json is not read again.
  return SaveGeneration(m, dir_, generation_, &generation_, error);
}

}  // namespace sim
