// The machine's JSON form: each model record's fields in one list for both directions, text
// that UTF-8 cannot carry kept as code units or hex, and a hand-edited field that is misspelt
// or mistyped refused with where it stands.
#include <array>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "sim/persist.h"
#include "sim/persist_codec.h"

namespace sim {
namespace {

using json = nlohmann::json;

// A damaged machine.json: where and what.
struct DecodeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& at, const std::string& what) {
  throw DecodeError((at.empty() ? std::string("machine.json") : at) + ": " + what);
}

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
  f("nativeMachine", v.nativeMachine);
  f("localSystem", v.localSystem);
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
  f("windowStationVisible", v.windowStationVisible);
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
  f("hku", v.hku);
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
  f("mountPoints", v.mountPoints);
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

}  // namespace

// ---- The whole machine ----------------------------------------------------------------------

json EncodeMachine(const Machine& m, const ContentNamer& content) {
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
      f["content"] = content(file);
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

namespace {

const json& Section(const json& j, const char* name) {
  auto it = j.find(name);
  if (it == j.end()) Fail("", "the section \"" + std::string(name) + "\" is missing");
  return *it;
}

}  // namespace

void DecodeMachine(const json& j, Machine& m, std::vector<std::pair<U16, std::string>>* content) {
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

json MachineToJson(const Machine& m) {
  return EncodeMachine(m, nullptr);
}

}  // namespace sim
