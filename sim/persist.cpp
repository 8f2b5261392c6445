// Saving and loading a whole machine: machine.json for the models, one host file per
// simulated file, a generation directory per save and one rename to switch between them.
#include "sim/persist.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>
#include <type_traits>

namespace sim {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr const char* kStateFile = "machine.json";
constexpr const char* kStateTemp = "machine.json.new";
constexpr const char* kLockFile = "lock";
constexpr const char* kFilesPrefix = "files-";

// A damaged machine.json: where and what.
struct DecodeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& at, const std::string& what) {
  throw DecodeError((at.empty() ? std::string("machine.json") : at) + ": " + what);
}

// ---- Text and bytes ------------------------------------------------------------------------

using sim::ToHex;
std::string ToHex(std::string_view s) {
  return ToHex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// Hex digits, optionally separated by spaces.
bool FromHex(std::string_view text, std::vector<uint8_t>* out) {
  return ParseHexBytes(text, " ", out);
}

// ---- Generic encoding -----------------------------------------------------------------------

template <class T>
struct IsVector : std::false_type {};
template <class T, class A>
struct IsVector<std::vector<T, A>> : std::true_type {};
template <>
struct IsVector<PrinterTable> : std::true_type {};
template <>
struct IsVector<RegKeyList> : std::true_type {};
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
struct IsMap : std::false_type {};
template <class K, class V, class C, class A>
struct IsMap<std::map<K, V, C, A>> : std::true_type {};
template <class T>
struct IsArray : std::false_type {};
template <class T, size_t N>
struct IsArray<std::array<T, N>> : std::true_type {};

template <class T>
json Enc(const T& v);
template <class T>
void Dec(const json& j, T& v, const std::string& at);

// Writes each field a record lists.
struct Writer {
  json& out;
  template <class T>
  void operator()(const char* key, const T& v) {
    out[key] = Enc(v);
  }
};

// Reads each field a record lists; a field that is missing keeps its default, a field that
// is not known is an error (a typing mistake in a hand-edited machine must not vanish).
struct Reader {
  const json& in;
  const std::string& at;
  std::set<std::string> known;
  template <class T>
  void operator()(const char* key, T& v) {
    known.insert(key);
    auto it = in.find(key);
    if (it != in.end()) Dec(*it, v, at + "." + key);
  }
  void Allow(const char* key) { known.insert(key); }
  void Finish() const {
    for (auto it = in.begin(); it != in.end(); ++it) {
      if (!known.count(it.key())) Fail(at, "unknown field \"" + it.key() + "\"");
    }
  }
};

// The fields of each record, in one list for both directions.
template <class F>
void Fields(F& f, TimedEvent& v) {
  f("at", v.at);
  f("kind", v.kind);
  f("args", v.args);
}
template <class F>
void Fields(F& f, Fault& v) {
  f("api", v.api);
  f("error", v.error);
  f("remaining", v.remaining);
  f("delayMs", v.delayMs);
  f("skip", v.skip);
}
template <class F>
void Fields(F& f, KernelModel& v) {
  f("commandLine", v.commandLine);
  f("modulePath", v.modulePath);
  f("systemDir", v.systemDir);
  f("pid", v.pid);
  f("osMajor", v.osMajor);
  f("osMinor", v.osMinor);
  f("osBuild", v.osBuild);
  f("osPlatform", v.osPlatform);
}
template <class F>
void Fields(F& f, SimWindow& v) {
  f("handle", v.handle);
  f("className", v.className);
  f("title", v.title);
  f("ownerPid", v.ownerPid);
  f("behavior", v.behavior);
}
template <class F>
void Fields(F& f, UserModel& v) {
  f("shiftDown", v.shiftDown);
  f("windows", v.windows);
  f("nextWindow", v.nextWindow);
  f("dialogAnswer", v.dialogAnswer);
}
template <class F>
void Fields(F& f, SimService& v) {
  f("name", v.name);
  f("state", v.state);
  f("disabled", v.disabled);
  f("startDelayMs", v.startDelayMs);
  f("stopDelayMs", v.stopDelayMs);
  f("stopRefusal", v.stopRefusal);
  f("deniedRights", v.deniedRights);
  f("starts", v.starts);
  f("stops", v.stops);
}
template <class F>
void Fields(F& f, ServiceModel& v) {
  f("services", v.services);
  f("managerDeniedRights", v.managerDeniedRights);
}
template <class F>
void Fields(F& f, RegKey& v) {
  f("name", v.name);
  f("values", v.values);
  f("subkeys", v.subkeys);
  f("accessDenied", v.accessDenied);
}
template <class F>
void Fields(F& f, RegistryModel& v) {
  f("hklm", v.hklm);
  f("hkcu", v.hkcu);
}
template <class F>
void Fields(F& f, SimFile& v) {
  f("path", v.path);
  f("attributes", v.attributes);
  f("version", v.version);
}
// Files and directories are written by the machine's own code (contents beside machine.json).
template <class F>
void Fields(F& f, FileSystemModel& v) {
  f("locks", v.locks);
  f("ioFaults", v.ioFaults);
}
template <class F>
void Fields(F& f, FileLock& v) {
  f("path", v.path);
  f("pid", v.pid);
  f("access", v.access);
  f("share", v.share);
  f("module", v.module);
}
template <class F>
void Fields(F& f, IoFault& v) {
  f("path", v.path);
  f("op", v.op);
  f("mode", v.mode);
  f("error", v.error);
  f("afterBytes", v.afterBytes);
  f("remaining", v.remaining);
}
template <class F>
void Fields(F& f, SimProcess& v) {
  f("pid", v.pid);
  f("tid", v.tid);
  f("image", v.image);
  f("commandLine", v.commandLine);
  f("program", v.program);
  f("mode", v.mode);
  f("exitDelayMs", v.exitDelayMs);
  f("creationFlags", v.creationFlags);
  f("showWindow", v.showWindow);
  f("startedAt", v.startedAt);
  f("endedAt", v.endedAt);
  f("running", v.running);
  f("exitCode", v.exitCode);
}
template <class F>
void Fields(F& f, SimMutex& v) {
  f("id", v.id);
  f("name", v.name);
  f("ownerPid", v.ownerPid);
  f("recursion", v.recursion);
  f("abandoned", v.abandoned);
  f("openBy", v.openBy);
}
template <class F>
void Fields(F& f, ProcessModel& v) {
  f("processes", v.processes);
  f("mutexes", v.mutexes);
  f("nextPid", v.nextPid);
  f("nextMutex", v.nextMutex);
  f("trayMode", v.trayMode);
  f("trayExitDelayMs", v.trayExitDelayMs);
}
template <class F>
void Fields(F& f, PrinterDataKey& v) {
  f("name", v.name);
  f("values", v.values);
}
template <class F>
void Fields(F& f, SimPrinter& v) {
  f("id", v.id);
  f("name", v.name);
  f("serverName", v.serverName);
  f("shareName", v.shareName);
  f("portName", v.portName);
  f("driverName", v.driverName);
  f("comment", v.comment);
  f("location", v.location);
  f("sepFile", v.sepFile);
  f("printProcessor", v.printProcessor);
  f("datatype", v.datatype);
  f("parameters", v.parameters);
  f("attributes", v.attributes);
  f("priority", v.priority);
  f("defaultPriority", v.defaultPriority);
  f("startTime", v.startTime);
  f("untilTime", v.untilTime);
  f("status", v.status);
  f("jobs", v.jobs);
  f("connection", v.connection);
  f("data", v.data);
}
template <class F>
void Fields(F& f, SimDriver& v) {
  f("name", v.name);
  f("environment", v.environment);
  f("version", v.version);
  f("driverPath", v.driverPath);
  f("dataFile", v.dataFile);
  f("configFile", v.configFile);
  f("helpFile", v.helpFile);
  f("dependentFiles", v.dependentFiles);
  f("monitorName", v.monitorName);
  f("defaultDataType", v.defaultDataType);
  f("previousNames", v.previousNames);
  f("mfgName", v.mfgName);
  f("oemUrl", v.oemUrl);
  f("hardwareId", v.hardwareId);
  f("provider", v.provider);
  f("driverDate", v.driverDate);
  f("driverVersion", v.driverVersion);
}
template <class F>
void Fields(F& f, SimMonitor& v) {
  f("name", v.name);
  f("environment", v.environment);
  f("dllName", v.dllName);
  f("ports", v.ports);
}
template <class F>
void Fields(F& f, SpoolerModel& v) {
  f("printers", v.printers);
  f("drivers", v.drivers);
  f("monitors", v.monitors);
  f("printProcessors", v.printProcessors);
  f("defaultPrinter", v.defaultPrinter);
  f("driverRoot", v.driverRoot);
  f("nextPrinterId", v.nextPrinterId);
  f("loadedModules", v.loadedModules);
}

// UTF-16 text is kept as a JSON string; text that UTF-8 cannot carry (an unpaired surrogate)
// as its code units.
json EncU16(const U16& s) {
  if (WellFormedUtf16(s)) return ToUtf8(s);
  json units = json::array();
  for (char16_t c : s) units.push_back(unsigned(c));
  return json{{"utf16", units}};
}

U16 DecU16(const json& j, const std::string& at) {
  if (j.is_string()) return FromUtf8(j.get_ref<const std::string&>());
  if (j.is_object() && j.size() == 1 && j.contains("utf16") && j["utf16"].is_array()) {
    U16 out;
    for (const auto& u : j["utf16"]) {
      if (!u.is_number_unsigned() || u.get<uint64_t>() > 0xFFFF) Fail(at, "bad UTF-16 unit");
      out += char16_t(u.get<uint64_t>());
    }
    return out;
  }
  Fail(at, "expected text");
}

// Byte strings (ANSI names) that are not UTF-8 are kept as hex.
json EncStr(const std::string& s) {
  if (ValidUtf8(s)) return s;
  return json{{"bytes", ToHex(s)}};
}

std::string DecStr(const json& j, const std::string& at) {
  if (j.is_string()) return j.get<std::string>();
  if (j.is_object() && j.size() == 1 && j.contains("bytes") && j["bytes"].is_string()) {
    std::vector<uint8_t> bytes;
    if (!FromHex(j["bytes"].get<std::string>(), &bytes)) Fail(at, "bad hex bytes");
    return std::string(bytes.begin(), bytes.end());
  }
  Fail(at, "expected text");
}

std::string VersionText(const uint16_t (&v)[4]) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
         std::to_string(v[3]);
}

bool ParseVersionText(std::string_view text, uint16_t (&v)[4]) {
  size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    uint32_t n = 0;
    size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      n = n * 10 + uint32_t(text[pos++] - '0');
      if (++digits > 5 || n > 0xFFFF) return false;
    }
    if (!digits) return false;
    v[i] = uint16_t(n);
  }
  return pos == text.size();
}

template <class K>
bool KeysFitObject(const K& key) {
  if constexpr (std::is_same_v<K, std::string>) {
    return ValidUtf8(key);
  } else if constexpr (std::is_same_v<K, U16>) {
    return WellFormedUtf16(key);
  } else {
    return false;
  }
}

template <class T>
json Enc(const T& v) {
  if constexpr (std::is_same_v<T, bool>) {
    return v;
  } else if constexpr (std::is_enum_v<T>) {
    return json(std::underlying_type_t<T>(v));
  } else if constexpr (std::is_arithmetic_v<T>) {
    return v;
  } else if constexpr (std::is_same_v<T, U16>) {
    return EncU16(v);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return EncStr(v);
  } else if constexpr (std::is_same_v<T, json>) {
    return v;
  } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
    return json{{"hex", ToHex(v.data(), v.size())}};
  } else if constexpr (std::is_same_v<T, VersionInfo>) {
    return json{{"file", VersionText(v.file)}, {"product", VersionText(v.product)}};
  } else if constexpr (std::is_same_v<T, RegValue>) {
    json out = json{{"name", EncU16(v.name)}};
    out.update(TypedValueToJson(v.type, v.data));
    return out;
  } else if constexpr (std::is_same_v<T, PrinterDataValue>) {
    json out = json{{"name", EncStr(v.name)}};
    out.update(TypedValueToJson(v.type, v.bytes, true));
    return out;
  } else if constexpr (IsVector<T>::value || IsArray<T>::value) {
    json out = json::array();
    for (const auto& e : v) out.push_back(Enc(e));
    return out;
  } else if constexpr (IsOptional<T>::value) {
    return v ? Enc(*v) : json(nullptr);
  } else if constexpr (IsMap<T>::value) {
    bool object = true;
    for (const auto& [k, e] : v) object = object && KeysFitObject(k);
    if (object) {
      json out = json::object();
      for (const auto& [k, e] : v) out[Enc(k).template get<std::string>()] = Enc(e);
      return out;
    }
    json out = json::array();
    for (const auto& [k, e] : v) out.push_back(json::array({Enc(k), Enc(e)}));
    return out;
  } else {
    json out = json::object();
    Writer w{out};
    Fields(w, const_cast<T&>(v));
    return out;
  }
}

void DecTyped(const json& j, const std::string& at, const char* nameKey, DWORD* type,
              std::vector<uint8_t>* bytes) {
  json value = j;
  value.erase(nameKey);
  std::string error;
  if (!TypedValueFromJson(value, type, bytes, &error)) Fail(at, error);
}

template <class T>
void Dec(const json& j, T& v, const std::string& at) {
  if constexpr (std::is_same_v<T, bool>) {
    if (!j.is_boolean()) Fail(at, "expected true or false");
    v = j.get<bool>();
  } else if constexpr (std::is_enum_v<T>) {
    std::underlying_type_t<T> n{};
    Dec(j, n, at);
    v = T(n);
  } else if constexpr (std::is_integral_v<T>) {
    bool fits = false;
    if (j.is_number_unsigned()) {
      fits = std::in_range<T>(j.get<uint64_t>());
    } else if (j.is_number_integer()) {
      fits = std::in_range<T>(j.get<int64_t>());
    }
    if (!fits) {
      Fail(at, std::string("expected a whole number") +
                   (std::is_signed_v<T> ? "" : " not below 0") + " that fits " +
                   std::to_string(sizeof(T) * 8) + " bits");
    }
    v = j.get<T>();
  } else if constexpr (std::is_floating_point_v<T>) {
    if (!j.is_number()) Fail(at, "expected a number");
    v = j.get<T>();
  } else if constexpr (std::is_same_v<T, U16>) {
    v = DecU16(j, at);
  } else if constexpr (std::is_same_v<T, std::string>) {
    v = DecStr(j, at);
  } else if constexpr (std::is_same_v<T, json>) {
    v = j;
  } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
    if (!j.is_object() || !j.contains("hex") || !j["hex"].is_string() ||
        !FromHex(j["hex"].get<std::string>(), &v)) {
      Fail(at, "expected {\"hex\": \"..\"}");
    }
  } else if constexpr (std::is_same_v<T, VersionInfo>) {
    if (!j.is_object()) Fail(at, "expected a version resource");
    Reader r{j, at, {}};
    r.Allow("file");
    r.Allow("product");
    r.Finish();
    for (auto [key, target] : {std::pair{"file", &v.file}, std::pair{"product", &v.product}}) {
      auto it = j.find(key);
      if (it == j.end()) continue;
      if (!it->is_string() || !ParseVersionText(it->template get<std::string>(), *target)) {
        Fail(at + "." + key, "expected a version a.b.c.d");
      }
    }
  } else if constexpr (std::is_same_v<T, RegValue>) {
    if (!j.is_object()) Fail(at, "expected a value");
    if (auto it = j.find("name"); it != j.end()) v.name = DecU16(*it, at + ".name");
    DecTyped(j, at, "name", &v.type, &v.data);
  } else if constexpr (std::is_same_v<T, PrinterDataValue>) {
    if (!j.is_object()) Fail(at, "expected a value");
    if (auto it = j.find("name"); it != j.end()) v.name = DecStr(*it, at + ".name");
    DecTyped(j, at, "name", &v.type, &v.bytes);
  } else if constexpr (IsVector<T>::value) {
    if (!j.is_array()) Fail(at, "expected a list");
    v.clear();
    for (size_t i = 0; i < j.size(); ++i) {
      typename T::value_type e{};
      Dec(j[i], e, at + "[" + std::to_string(i) + "]");
      v.push_back(std::move(e));
    }
  } else if constexpr (IsArray<T>::value) {
    if (!j.is_array() || j.size() != v.size()) {
      Fail(at, "expected a list of " + std::to_string(v.size()));
    }
    for (size_t i = 0; i < v.size(); ++i) Dec(j[i], v[i], at + "[" + std::to_string(i) + "]");
  } else if constexpr (IsOptional<T>::value) {
    if (j.is_null()) {
      v.reset();
    } else {
      typename T::value_type e{};
      Dec(j, e, at);
      v = std::move(e);
    }
  } else if constexpr (IsMap<T>::value) {
    v.clear();
    auto put = [&](const json& key, const json& value, const std::string& where) {
      typename T::key_type k{};
      typename T::mapped_type e{};
      Dec(key, k, where);
      Dec(value, e, where);
      if (!v.emplace(std::move(k), std::move(e)).second) Fail(where, "duplicate key");
    };
    if (j.is_object()) {
      for (auto it = j.begin(); it != j.end(); ++it)
        put(json(it.key()), it.value(), at + "." + it.key());
    } else if (j.is_array()) {
      for (size_t i = 0; i < j.size(); ++i) {
        const std::string where = at + "[" + std::to_string(i) + "]";
        if (!j[i].is_array() || j[i].size() != 2) Fail(where, "expected a [key, value] pair");
        put(j[i][0], j[i][1], where);
      }
    } else {
      Fail(at, "expected a map");
    }
  } else {
    if (!j.is_object()) Fail(at, "expected an object");
    Reader r{j, at, {}};
    Fields(r, v);
    r.Finish();
  }
}

// ---- Registry value types -------------------------------------------------------------------

struct TypeName {
  DWORD type;
  const char* name;
};
constexpr TypeName kTypeNames[] = {
    {0, "REG_NONE"},
    {1, "REG_SZ"},
    {2, "REG_EXPAND_SZ"},
    {3, "REG_BINARY"},
    {4, "REG_DWORD"},
    {5, "REG_DWORD_BIG_ENDIAN"},
    {6, "REG_LINK"},
    {7, "REG_MULTI_SZ"},
    {8, "REG_RESOURCE_LIST"},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {11, "REG_QWORD"},
};

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

// A content name read back from machine.json must stay inside the generation directory.
bool SafeContentName(const std::string& name) {
  if (name.empty() || name.front() == '/') return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    const std::string part = name.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return name.find('\0') == std::string::npos;
}

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

// ---- The whole machine ----------------------------------------------------------------------

// Encodes the machine; `content` names where each file's bytes go (nullptr: give sizes).
json Encode(const Machine& m, ContentNames* content, std::vector<const SimFile*>* order) {
  json j = json::object();
  j["format"] = kMachineFormatName;
  j["version"] = kMachineFormatVersion;
  j["clock"] = {{"now", m.now}, {"sleptMs", m.sleptMs}, {"tickBase", m.tickBase}};
  j["events"] = Enc(m.events);
  j["faults"] = Enc(m.faults);
  j["kernel"] = Enc(m.kernel);
  j["user"] = Enc(m.user);
  j["services"] = Enc(m.services);
  j["registry"] = Enc(m.registry);

  json fsj = Enc(m.fs);
  json dirs = json::array();
  for (const auto& [key, original] : m.fs.dirs) dirs.push_back(EncU16(original));
  fsj["dirs"] = dirs;
  json files = json::array();
  for (const auto& [key, file] : m.fs.files) {
    json f = Enc(file);
    if (content) {
      f["content"] = content->Name(file.path);
      if (order) order->push_back(&file);
    } else {
      f["size"] = file.data.size();
    }
    files.push_back(std::move(f));
  }
  fsj["files"] = files;
  j["fs"] = std::move(fsj);

  j["processes"] = Enc(m.processes);
  j["spooler"] = Enc(m.spooler);
  return j;
}

const json& Section(const json& j, const char* name) {
  auto it = j.find(name);
  if (it == j.end()) Fail("", "the section \"" + std::string(name) + "\" is missing");
  return *it;
}

// Decodes everything but the files' contents, whose names go to `content`.
void Decode(const json& j, Machine& m, std::vector<std::pair<U16, std::string>>* content) {
  if (!j.is_object()) Fail("", "expected an object");
  {
    Reader top{j, "", {}};
    for (const char* key : {"format", "version", "filesDir", "clock", "events", "faults", "kernel",
                            "user", "services", "registry", "fs", "processes", "spooler"}) {
      top.Allow(key);
    }
    top.Finish();
  }
  const json& clock = Section(j, "clock");
  {
    Reader r{clock, "clock", {}};
    r("now", m.now);
    r("sleptMs", m.sleptMs);
    r("tickBase", m.tickBase);
    r.Finish();
  }
  Dec(Section(j, "events"), m.events, "events");
  Dec(Section(j, "faults"), m.faults, "faults");
  Dec(Section(j, "kernel"), m.kernel, "kernel");
  Dec(Section(j, "user"), m.user, "user");
  Dec(Section(j, "services"), m.services, "services");
  Dec(Section(j, "registry"), m.registry, "registry");
  Dec(Section(j, "processes"), m.processes, "processes");
  Dec(Section(j, "spooler"), m.spooler, "spooler");

  json fsj = Section(j, "fs");
  if (!fsj.is_object()) Fail("fs", "expected an object");
  json dirs = fsj.value("dirs", json::array());
  json files = fsj.value("files", json::array());
  fsj.erase("dirs");
  fsj.erase("files");
  Dec(fsj, m.fs, "fs");
  m.fs.dirs.clear();
  m.fs.files.clear();
  if (!dirs.is_array()) Fail("fs.dirs", "expected a list");
  for (size_t i = 0; i < dirs.size(); ++i) {
    const std::string at = "fs.dirs[" + std::to_string(i) + "]";
    U16 path = DecU16(dirs[i], at);
    if (!m.fs.dirs.emplace(FoldPath(path), path).second) Fail(at, "directory listed twice");
  }
  if (!files.is_array()) Fail("fs.files", "expected a list");
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string at = "fs.files[" + std::to_string(i) + "]";
    if (!files[i].is_object()) Fail(at, "expected an object");
    json meta = files[i];
    auto it = meta.find("content");
    if (it == meta.end() || !it->is_string() || !SafeContentName(it->get<std::string>())) {
      Fail(at + ".content", "expected the name of the file's contents in the machine");
    }
    const std::string name = it->get<std::string>();
    meta.erase("content");
    SimFile file;
    Dec(meta, file, at);
    U16 key = FoldPath(file.path);
    if (!m.fs.files.emplace(key, std::move(file)).second) Fail(at, "file listed twice");
    if (content) content->emplace_back(std::move(key), name);
  }
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

// ---- Typed values ---------------------------------------------------------------------------

std::string RegTypeName(DWORD type) {
  for (const auto& t : kTypeNames) {
    if (t.type == type) return t.name;
  }
  return std::to_string(type);
}

bool ParseRegType(std::string_view text, DWORD* type) {
  std::string upper;
  for (char c : text) upper += (c >= 'a' && c <= 'z') ? char(c - 32) : c;
  for (const auto& t : kTypeNames) {
    if (upper == t.name || "REG_" + upper == t.name) {
      *type = t.type;
      return true;
    }
  }
  if (upper == "MULTISZ" || upper == "REG_MULTISZ") {
    *type = 7;
    return true;
  }
  if (text.empty() || text.size() > 10) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + uint64_t(c - '0');
  }
  if (n > 0xFFFFFFFFu) return false;
  *type = DWORD(n);
  return true;
}

json TypedValueToJson(DWORD type, const std::vector<uint8_t>& bytes, bool ansiStrings) {
  json out = json::object();
  out["type"] = RegTypeName(type) == std::to_string(type) ? json(type) : json(RegTypeName(type));
  const bool even = bytes.size() % 2 == 0;
  if ((type == 1 || type == 2) && ansiStrings && !bytes.empty() && bytes.back() == 0 &&
      std::count(bytes.begin(), bytes.end(), uint8_t(0)) == 1) {
    const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size() - 1);
    const U16 text = FromAnsi(raw);
    if (ToAnsi(text) == raw) {
      out["ansi"] = ToUtf8(text);
      return out;
    }
  }
  if ((type == 1 || type == 2) && even) {
    U16 text = Utf16FromBytes(bytes);
    const bool terminated = !text.empty() && text.back() == 0;
    if (terminated) text.pop_back();
    if (text.find(u'\0') == U16::npos && WellFormedUtf16(text)) {
      out["sz"] = ToUtf8(text);
      if (!terminated) out["terminated"] = false;
      return out;
    }
  } else if (type == 7 && even && !bytes.empty()) {
    const U16 units = Utf16FromBytes(bytes);
    json list = json::array();
    std::vector<uint8_t> rebuilt;
    size_t start = 0;
    bool ok = true;
    while (start < units.size() && units[start] != 0) {
      const size_t end = units.find(u'\0', start);
      if (end == U16::npos) {
        ok = false;
        break;
      }
      const std::u16string_view s(units.data() + start, end - start);
      if (!WellFormedUtf16(s)) {
        ok = false;
        break;
      }
      list.push_back(ToUtf8(s));
      AppendUtf16Terminated(&rebuilt, s);
      start = end + 1;
    }
    AppendUtf16(&rebuilt, std::u16string_view(u"\0", 1));
    if (ok && rebuilt == bytes) {
      out["multiSz"] = list;
      return out;
    }
  } else if (type == 4 && bytes.size() == 4) {
    out["dword"] = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
                   uint32_t(bytes[3]) << 24;
    return out;
  } else if (type == 11 && bytes.size() == 8) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | bytes[size_t(i)];
    out["qword"] = v;
    return out;
  }
  out["hex"] = ToHex(bytes.data(), bytes.size());
  return out;
}

bool TypedValueFromJson(const json& j, DWORD* type, std::vector<uint8_t>* bytes,
                        std::string* error) {
  if (!j.is_object()) {
    *error = "expected a typed value";
    return false;
  }
  auto t = j.find("type");
  if (t == j.end()) {
    *error = "the value has no type";
    return false;
  }
  if (t->is_string()) {
    if (!ParseRegType(t->get<std::string>(), type)) {
      *error = "unknown value type \"" + t->get<std::string>() + "\"";
      return false;
    }
  } else if (t->is_number_unsigned() && t->get<uint64_t>() <= 0xFFFFFFFFu) {
    *type = DWORD(t->get<uint64_t>());
  } else {
    *error = "bad value type";
    return false;
  }
  bytes->clear();
  int forms = 0;
  std::set<std::string> allowed = {"type"};
  if (auto it = j.find("sz"); it != j.end()) {
    ++forms;
    allowed.insert({"sz", "terminated"});
    if (!it->is_string()) {
      *error = "\"sz\" must be text";
      return false;
    }
    AppendUtf16(bytes, FromUtf8(it->get<std::string>()));
    bool terminated = true;
    if (auto term = j.find("terminated"); term != j.end()) {
      if (!term->is_boolean()) {
        *error = "\"terminated\" must be true or false";
        return false;
      }
      terminated = term->get<bool>();
    }
    if (terminated) AppendUtf16(bytes, std::u16string_view(u"\0", 1));
  }
  if (auto it = j.find("ansi"); it != j.end()) {
    ++forms;
    allowed.insert("ansi");
    if (!it->is_string()) {
      *error = "\"ansi\" must be text";
      return false;
    }
    const U16 text = FromUtf8(it->get<std::string>());
    const std::string raw = ToAnsi(text);
    if (FromAnsi(raw) != text) {
      *error = "\"ansi\" holds characters Windows-1252 cannot spell";
      return false;
    }
    bytes->assign(raw.begin(), raw.end());
    bytes->push_back(0);
  }
  if (auto it = j.find("multiSz"); it != j.end()) {
    ++forms;
    allowed.insert("multiSz");
    if (!it->is_array()) {
      *error = "\"multiSz\" must be a list of texts";
      return false;
    }
    for (const auto& s : *it) {
      if (!s.is_string() || s.get<std::string>().empty()) {
        *error = "\"multiSz\" must be a list of non-empty texts";
        return false;
      }
      AppendUtf16Terminated(bytes, FromUtf8(s.get<std::string>()));
    }
    AppendUtf16(bytes, std::u16string_view(u"\0", 1));
  }
  if (auto it = j.find("dword"); it != j.end()) {
    ++forms;
    allowed.insert("dword");
    if (!it->is_number_unsigned() || it->get<uint64_t>() > 0xFFFFFFFFu) {
      *error = "\"dword\" must be a number from 0 to 4294967295";
      return false;
    }
    const uint32_t v = uint32_t(it->get<uint64_t>());
    for (int i = 0; i < 4; ++i) bytes->push_back(uint8_t(v >> (8 * i)));
  }
  if (auto it = j.find("qword"); it != j.end()) {
    ++forms;
    allowed.insert("qword");
    if (!it->is_number_unsigned()) {
      *error = "\"qword\" must be a number from 0 to 18446744073709551615";
      return false;
    }
    const uint64_t v = it->get<uint64_t>();
    for (int i = 0; i < 8; ++i) bytes->push_back(uint8_t(v >> (8 * i)));
  }
  if (auto it = j.find("hex"); it != j.end()) {
    ++forms;
    allowed.insert("hex");
    if (!it->is_string() || !FromHex(it->get<std::string>(), bytes)) {
      *error = "\"hex\" must be pairs of hex digits";
      return false;
    }
  }
  if (forms != 1) {
    *error =
        "a value needs exactly one of \"sz\", \"ansi\", \"multiSz\", \"dword\", \"qword\", "
        "\"hex\"";
    return false;
  }
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (!allowed.count(it.key())) {
      *error = "unknown field \"" + it.key() + "\" in a value";
      return false;
    }
  }
  return true;
}

// ---- Public -------------------------------------------------------------------------------

json MachineToJson(const Machine& m) {
  return Encode(m, nullptr, nullptr);
}

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
    json j = Encode(m, &names, &order);
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
    Decode(j, loaded, &content);
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
