// The machine's JSON form through nlohmann's to_json/from_json: each record's fields listed
// once, text that UTF-8 cannot carry kept as code units or bytes, and a hand-edited field that
// is misspelt, mistyped or out of range refused with where it stands.
#include <algorithm>
#include <charconv>
#include <concepts>
#include <optional>
#include <stdexcept>
#include <utility>

#include "sim/persist.h"
#include "sim/persist_codec.h"

namespace sim {
namespace {

using json = nlohmann::json;

// A damaged machine.json: what is wrong, and where (filled in on the way out).
struct DecodeError : std::runtime_error {
  DecodeError(std::string place, const std::string& what)
      : std::runtime_error(what), at(std::move(place)) {}
  std::string at;
};

[[noreturn]] void Fail(const std::string& what) {
  throw DecodeError("", what);
}

// Runs one step of decoding the part `part` ("name" or "[3]") of the current place, so that an
// error inside it names where it stands.
template <class F>
void At(const std::string& part, F&& step) {
  try {
    step();
  } catch (DecodeError& e) {
    e.at = part + (e.at.empty() || e.at[0] == '[' ? "" : ".") + e.at;
    throw;
  } catch (const json::exception& e) {
    const std::string what = e.what();
    throw DecodeError(part, what.substr(what.find("] ") + 2));
  }
}

// Strict reads: numbers that fit, lists with their positions, text as written; anything else
// through its own from_json.
template <class T>
void Read(const json& j, T& v) {
  j.get_to(v);
}

template <std::integral T>
void Read(const json& j, T& v) {
  const bool fits = j.is_number_unsigned()  ? std::in_range<T>(j.get<uint64_t>())
                    : j.is_number_integer() ? std::in_range<T>(j.get<int64_t>())
                                            : false;
  if (!fits) {
    Fail(std::string("expected a whole number") + (std::is_signed_v<T> ? "" : " not below 0") +
         " that fits " + std::to_string(sizeof(T) * 8) + " bits");
  }
  v = j.get<T>();
}

void Read(const json& j, bool& v) {
  if (!j.is_boolean()) Fail("expected true or false");
  v = j.get<bool>();
}

void Read(const json& j, json& v) {
  v = j;
}

// Byte strings (names written through the ANSI calls) that are not UTF-8 are kept as hex.
void Read(const json& j, std::string& v) {
  if (j.is_object() && j.size() == 1 && j.contains("bytes") && j["bytes"].is_string()) {
    std::vector<uint8_t> bytes;
    if (!ParseHexBytes(j["bytes"].get<std::string>(), " ", &bytes)) Fail("bad hex bytes");
    v.assign(bytes.begin(), bytes.end());
  } else {
    if (!j.is_string()) Fail("expected text");
    v = j.get<std::string>();
  }
}

// Opaque blocks (printing defaults, security descriptors) as hex.
void Read(const json& j, std::vector<uint8_t>& v) {
  if (!j.is_string() || !ParseHexBytes(j.get<std::string>(), " ", &v)) Fail("expected hex bytes");
}
// Without spaces: a print server's thousands of printing defaults are most of the file.
json Out(const std::vector<uint8_t>& v) {
  return ToHex(v.data(), v.size(), false);
}

json Out(const std::string& s) {
  if (ValidUtf8(s)) return s;
  return {{"bytes", ToHex(reinterpret_cast<const uint8_t*>(s.data()), s.size())}};
}
template <class T>
const T& Out(const T& v) {
  return v;
}

template <class C>
concept List = requires(C& c) {
  c.clear();
  c.push_back(std::declval<typename C::value_type>());
}
&&!requires {
  typename C::traits_type;
};

template <List C>
void Read(const json& j, C& v) {
  if (!j.is_array()) Fail("expected a list");
  v.clear();
  for (size_t i = 0; i < j.size(); ++i) {
    typename C::value_type e{};
    At("[" + std::to_string(i) + "]", [&] { Read(j[i], e); });
    v.push_back(std::move(e));
  }
}

// A record's fields as they are read: a field that is missing keeps its default, a field that
// is not the record's is refused (a typing mistake in a hand-edited machine must not vanish).
class Fields {
 public:
  explicit Fields(const json& j) : j_(j) {
    if (!j.is_object()) Fail("expected an object");
    known_.reserve(32);
  }
  template <class T>
  void operator()(const char* key, T& v) {
    known_.push_back(key);
    if (auto it = j_.find(key); it != j_.end()) At(key, [&] { Read(*it, v); });
  }
  void Allow(const char* key) { known_.push_back(key); }
  void Finish() const {
    for (const auto& [key, value] : j_.items()) {
      if (std::find(known_.begin(), known_.end(), key) == known_.end()) {
        Fail("unknown field \"" + key + "\"");
      }
    }
  }

 private:
  const json& j_;
  std::vector<std::string_view> known_;
};

// A version resource's version: a.b.c.d.
std::string VersionText(const uint16_t (&v)[4]) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
         std::to_string(v[3]);
}

void ReadVersionText(const json& j, uint16_t (&v)[4]) {
  const std::string text = j.is_string() ? j.get<std::string>() : std::string();
  const char* p = text.data();
  const char* end = p + text.size();
  for (int i = 0; i < 4; ++i) {
    const auto [next, ec] = std::from_chars(p, end, v[i]);
    const bool ends = i < 3 ? next != end && *next == '.' : next == end;
    if (ec != std::errc() || !ends) Fail("expected a version a.b.c.d");
    p = next + (i < 3 ? 1 : 0);
  }
}

// A registry or printer-data value: its name beside its type and bytes.
template <class Name>
json TypedToJson(const Name& name, DWORD type, const std::vector<uint8_t>& bytes, bool ansi) {
  json j = TypedValueToJson(type, bytes, ansi);
  j["name"] = Out(name);
  return j;
}

template <class Name>
void TypedFromJson(const json& j, Name& name, DWORD& type, std::vector<uint8_t>& bytes) {
  if (!j.is_object()) Fail("expected a value");
  if (auto it = j.find("name"); it != j.end()) At("name", [&] { Read(*it, name); });
  std::string error;
  if (!TypedValueFromJson(j, &type, &bytes, &error, "name")) Fail(error);
}

}  // namespace

}  // namespace sim

namespace nlohmann {

// UTF-16 text as a JSON string; text that UTF-8 cannot carry (an unpaired surrogate) as its
// code units.
template <>
struct adl_serializer<std::u16string> {
  static void to_json(json& j, const std::u16string& s) {
    if (sim::WellFormedUtf16(s)) {
      j = sim::ToUtf8(s);
    } else {
      j = {{"utf16", std::vector<uint16_t>(s.begin(), s.end())}};
    }
  }
  static void from_json(const json& j, std::u16string& s) {
    if (j.is_string()) {
      s = sim::FromUtf8(j.get_ref<const std::string&>());
      return;
    }
    sim::Fields r(j);
    std::vector<uint16_t> units;
    r("utf16", units);
    r.Finish();
    s.assign(units.begin(), units.end());
  }
};

template <class T>
struct adl_serializer<std::optional<T>> {
  static void to_json(json& j, const std::optional<T>& v) { j = v ? json(*v) : json(nullptr); }
  static void from_json(const json& j, std::optional<T>& v) {
    if (j.is_null()) {
      v.reset();
    } else {
      v = j.get<T>();
    }
  }
};

}  // namespace nlohmann

namespace sim {

// ---- The records --------------------------------------------------------------------------

// ORVSIM_JSON(Type, field...) gives a record its to_json and from_json, each field once.
template <class T>
void Put(json& j, const char* key, const T& v) {
  j[key] = Out(v);
}
// An opaque block that was never set is left out, as most printers have none.
void Put(json& j, const char* key, const std::vector<uint8_t>& v) {
  if (!v.empty()) j[key] = Out(v);
}
#define ORVSIM_JSON_TO(field) Put(j, #field, v.field);
#define ORVSIM_JSON_FROM(field) r(#field, v.field);
#define ORVSIM_JSON(Type, ...)                                               \
  void to_json(json& j, const Type& v) {                                     \
    NLOHMANN_JSON_EXPAND(NLOHMANN_JSON_PASTE(ORVSIM_JSON_TO, __VA_ARGS__))   \
  }                                                                          \
  void from_json(const json& j, Type& v) {                                   \
    Fields r(j);                                                             \
    NLOHMANN_JSON_EXPAND(NLOHMANN_JSON_PASTE(ORVSIM_JSON_FROM, __VA_ARGS__)) \
    r.Finish();                                                              \
  }

ORVSIM_JSON(ServiceRunning, name)
ORVSIM_JSON(ServiceStopped, name)
ORVSIM_JSON(ProcessExit, pid, exitCode, release)
ORVSIM_JSON(ProcessUnlock, path)
ORVSIM_JSON(WindowClose, handle)
ORVSIM_JSON(PrinterAdd, name, driver, port, comment, location)

namespace {
// The action of that kind, its fields at their defaults; false for a kind there is none of.
template <size_t I = 0>
bool OfKind(std::string_view kind, EventAction& action) {
  if constexpr (I < std::variant_size_v<EventAction>) {
    if (kind == std::variant_alternative_t<I, EventAction>::kKind) {
      action.emplace<I>();
      return true;
    }
    return OfKind<I + 1>(kind, action);
  }
  return false;
}
}  // namespace

void to_json(json& j, const TimedEvent& e) {
  std::visit([&](const auto& a) { j = {{"at", e.at}, {"kind", a.kKind}, {"args", a}}; }, e.action);
}
void from_json(const json& j, TimedEvent& e) {
  Fields r(j);
  std::string kind;
  json args = json::object();
  r("at", e.at);
  r("kind", kind);
  r("args", args);
  r.Finish();
  if (!OfKind(kind, e.action)) At("kind", [&] { Fail("unknown event \"" + kind + "\""); });
  std::visit([&](auto& a) { At("args", [&] { Read(args, a); }); }, e.action);
}
ORVSIM_JSON(Fault, api, error, remaining, delayMs, skip)
ORVSIM_JSON(KernelModel, commandLine, modulePath, systemDir, pid, osMajor, osMinor, osBuild,
            osPlatform, nativeMachine, localSystem)
ORVSIM_JSON(SimWindow, handle, className, title, ownerPid, behavior)
ORVSIM_JSON(UserModel, shiftDown, windows, nextWindow, dialogAnswer, windowStationVisible)
ORVSIM_JSON(SimService, name, state, disabled, startDelayMs, stopDelayMs, stopRefusal, deniedRights,
            starts, stops)
ORVSIM_JSON(ServiceModel, services, managerDeniedRights)

void to_json(json& j, const RegValue& v) {
  j = TypedToJson(v.name, v.type, v.data, false);
}
void from_json(const json& j, RegValue& v) {
  TypedFromJson(j, v.name, v.type, v.data);
}
ORVSIM_JSON(RegKey, name, values, subkeys, accessDenied)
ORVSIM_JSON(RegistryModel, hklm, hkcu, hku)

void to_json(json& j, const VersionInfo& v) {
  j = {{"file", VersionText(v.file)}, {"product", VersionText(v.product)}};
}
void from_json(const json& j, VersionInfo& v) {
  Fields r(j);
  json file, product;
  r("file", file);
  r("product", product);
  r.Finish();
  if (!file.is_null()) At("file", [&] { ReadVersionText(file, v.file); });
  if (!product.is_null()) At("product", [&] { ReadVersionText(product, v.product); });
}
ORVSIM_JSON(SimFile, path, attributes, version)
ORVSIM_JSON(FileLock, path, pid, access, share, module)
ORVSIM_JSON(IoFault, path, op, mode, error, afterBytes, remaining)
// The files and directories are the machine's own (their contents lie beside machine.json).
ORVSIM_JSON(FileSystemModel, locks, ioFaults, mountPoints)

ORVSIM_JSON(SimProcess, pid, tid, image, commandLine, program, mode, exitDelayMs, creationFlags,
            showWindow, startedAt, endedAt, running, exitCode)
ORVSIM_JSON(SimMutex, id, name, ownerPid, recursion, abandoned, openBy)
ORVSIM_JSON(ProcessModel, processes, mutexes, nextPid, nextMutex, trayMode, trayExitDelayMs)

void to_json(json& j, const PrinterDataValue& v) {
  j = TypedToJson(v.name, v.type, v.bytes, true);
}
void from_json(const json& j, PrinterDataValue& v) {
  TypedFromJson(j, v.name, v.type, v.bytes);
}
ORVSIM_JSON(PrinterDataKey, name, values)
ORVSIM_JSON(SimPrinter, id, name, serverName, shareName, portName, driverName, comment, location,
            sepFile, printProcessor, datatype, parameters, attributes, priority, defaultPriority,
            startTime, untilTime, status, jobs, connection, data, devMode, security)
ORVSIM_JSON(SimDriver, name, environment, version, driverPath, dataFile, configFile, helpFile,
            dependentFiles, monitorName, defaultDataType, previousNames, mfgName, oemUrl,
            hardwareId, provider, driverDate, driverVersion)
ORVSIM_JSON(SimMonitor, name, environment, dllName, ports)
ORVSIM_JSON(SpoolerModel, printers, drivers, monitors, printProcessors, defaultPrinter, driverRoot,
            nextPrinterId, loadedModules)

namespace {

// A content name read back from machine.json must name a file inside the contents directory.
bool SafeContentName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

// A section of the machine that must be there.
template <class T>
void Section(const json& j, const char* name, T& v) {
  auto it = j.find(name);
  if (it == j.end()) {
    throw DecodeError("", "the section \"" + std::string(name) + "\" is missing");
  }
  At(name, [&] { Read(*it, v); });
}

}  // namespace

// ---- The whole machine ----------------------------------------------------------------------

json EncodeMachine(const Machine& m, const ContentNamer& content) {
  json fsj = m.fs;
  json& dirs = fsj["dirs"] = json::array();
  for (const auto& [key, original] : m.fs.dirs) dirs.push_back(original);
  json& files = fsj["files"] = json::array();
  for (const auto& [key, file] : m.fs.files) {
    json f = file;
    if (content) {
      f["content"] = content(file);
    } else {
      f["size"] = file.data.size();
    }
    files.push_back(std::move(f));
  }
  return {{"format", kMachineFormatName},
          {"version", kMachineFormatVersion},
          {"clock", {{"now", m.now}, {"sleptMs", m.sleptMs}, {"tickBase", m.tickBase}}},
          {"events", m.events},
          {"faults", m.faults},
          {"kernel", m.kernel},
          {"user", m.user},
          {"services", m.services},
          {"registry", m.registry},
          {"fs", std::move(fsj)},
          {"processes", m.processes},
          {"spooler", m.spooler}};
}

void DecodeMachine(const json& j, Machine& m, std::vector<std::pair<U16, std::string>>* content) {
  try {
    Fields top(j);
    for (const char* key : {"format", "version", "clock", "events", "faults", "kernel", "user",
                            "services", "registry", "fs", "processes", "spooler"}) {
      top.Allow(key);
    }
    top.Finish();
    json clock, fsj;
    Section(j, "clock", clock);
    Section(j, "events", m.events);
    Section(j, "faults", m.faults);
    Section(j, "kernel", m.kernel);
    Section(j, "user", m.user);
    Section(j, "services", m.services);
    Section(j, "registry", m.registry);
    Section(j, "fs", fsj);
    Section(j, "processes", m.processes);
    Section(j, "spooler", m.spooler);
    At("clock", [&] {
      Fields r(clock);
      r("now", m.now);
      r("sleptMs", m.sleptMs);
      r("tickBase", m.tickBase);
      r.Finish();
    });

    At("fs", [&] {
      if (!fsj.is_object()) Fail("expected an object");
      json dirs = fsj.value("dirs", json::array());
      json files = fsj.value("files", json::array());
      fsj.erase("dirs");
      fsj.erase("files");
      Read(fsj, m.fs);
      std::vector<U16> dirList;
      At("dirs", [&] { Read(dirs, dirList); });
      m.fs.dirs.clear();
      for (size_t i = 0; i < dirList.size(); ++i) {
        if (!m.fs.dirs.emplace(FoldPath(dirList[i]), dirList[i]).second) {
          At("dirs[" + std::to_string(i) + "]", [] { Fail("directory listed twice"); });
        }
      }
      if (!files.is_array()) At("files", [] { Fail("expected a list"); });
      m.fs.files.clear();
      for (size_t i = 0; i < files.size(); ++i) {
        At("files[" + std::to_string(i) + "]", [&] {
          json meta = files[i];
          if (!meta.is_object()) Fail("expected an object");
          auto it = meta.find("content");
          if (it == meta.end() || !it->is_string() || !SafeContentName(it->get<std::string>())) {
            At("content", [] { Fail("expected the name of the file's contents in the machine"); });
          }
          const std::string name = it->get<std::string>();
          meta.erase("content");
          SimFile file;
          Read(meta, file);
          U16 key = FoldPath(file.path);
          if (!m.fs.files.emplace(key, std::move(file)).second) Fail("file listed twice");
          if (content) content->emplace_back(std::move(key), name);
        });
      }
    });
  } catch (const DecodeError& e) {
    throw std::runtime_error((e.at.empty() ? std::string("machine.json") : e.at) + ": " + e.what());
  }
}

json MachineToJson(const Machine& m) {
  return EncodeMachine(m, nullptr);
}

}  // namespace sim
