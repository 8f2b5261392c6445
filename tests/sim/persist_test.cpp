// Saving and loading a machine directory: every object survives the trip, damaged machines
// are refused and left alone, a save takes effect whole or not at all, and runs take turns.
#include <cxxabi.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "sim/machine.h"
#include "sim/persist.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using sim::U16;

// ---- Walking the models' fields -------------------------------------------------------------
// The comparisons below visit every member of the model records by position, so a member
// added to a model later is compared (and must be given a value in SampleMachine) without
// anyone remembering to list it here.

struct AnyField {
  template <class T>
  operator T&() const;
};

template <class T, size_t... I>
constexpr bool InitsWith(std::index_sequence<I...>) {
  return requires {
    T{(void(I), AnyField{})...};
  };
}

template <class T, size_t N = 32>
constexpr size_t Arity() {
  if constexpr (N == 0) {
    return 0;
  } else if constexpr (InitsWith<T>(std::make_index_sequence<N>())) {
    return N;
  } else {
    return Arity<T, N - 1>();
  }
}

// Names for the members of a record of up to 32 members, for a structured binding.
#define ORV_F1 f0
#define ORV_F2 ORV_F1, f1
#define ORV_F3 ORV_F2, f2
#define ORV_F4 ORV_F3, f3
#define ORV_F5 ORV_F4, f4
#define ORV_F6 ORV_F5, f5
#define ORV_F7 ORV_F6, f6
#define ORV_F8 ORV_F7, f7
#define ORV_F9 ORV_F8, f8
#define ORV_F10 ORV_F9, f9
#define ORV_F11 ORV_F10, f10
#define ORV_F12 ORV_F11, f11
#define ORV_F13 ORV_F12, f12
#define ORV_F14 ORV_F13, f13
#define ORV_F15 ORV_F14, f14
#define ORV_F16 ORV_F15, f15
#define ORV_F17 ORV_F16, f16
#define ORV_F18 ORV_F17, f17
#define ORV_F19 ORV_F18, f18
#define ORV_F20 ORV_F19, f19
#define ORV_F21 ORV_F20, f20
#define ORV_F22 ORV_F21, f21
#define ORV_F23 ORV_F22, f22
#define ORV_F24 ORV_F23, f23
#define ORV_F25 ORV_F24, f24
#define ORV_F26 ORV_F25, f25
#define ORV_F27 ORV_F26, f26
#define ORV_F28 ORV_F27, f27
#define ORV_F29 ORV_F28, f28
#define ORV_F30 ORV_F29, f29
#define ORV_F31 ORV_F30, f30
#define ORV_F32 ORV_F31, f31
#define ORV_TIE(n)                                        \
  else if constexpr (n == Arity<std::remove_cv_t<T>>()) { \
    auto& [ORV_F##n] = t;                                 \
    return std::tie(ORV_F##n);                            \
  }

template <class T>
auto Tie(T& t) {
  static_assert(Arity<std::remove_cv_t<T>>() > 0 && Arity<std::remove_cv_t<T>>() <= 32,
                "a model record this walk cannot take apart");
  if constexpr (false) {
  }
  // clang-format off
  ORV_TIE(1) ORV_TIE(2) ORV_TIE(3) ORV_TIE(4) ORV_TIE(5) ORV_TIE(6) ORV_TIE(7) ORV_TIE(8)
  ORV_TIE(9) ORV_TIE(10) ORV_TIE(11) ORV_TIE(12) ORV_TIE(13) ORV_TIE(14) ORV_TIE(15) ORV_TIE(16)
  ORV_TIE(17) ORV_TIE(18) ORV_TIE(19) ORV_TIE(20) ORV_TIE(21) ORV_TIE(22) ORV_TIE(23) ORV_TIE(24)
  ORV_TIE(25) ORV_TIE(26) ORV_TIE(27) ORV_TIE(28) ORV_TIE(29) ORV_TIE(30) ORV_TIE(31) ORV_TIE(32)
  // clang-format on
}

template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};
template <>
struct IsVector<sim::PrinterTable> : std::true_type {};
template <>
struct IsVector<sim::RegKeyList> : std::true_type {};
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
struct IsMap : std::false_type {};
template <class K, class V>
struct IsMap<std::map<K, V>> : std::true_type {};

template <class T>
constexpr bool kLeaf =
    std::is_arithmetic_v<T> || std::is_enum_v<T> || std::is_pointer_v<T> ||
    std::is_same_v<T, U16> || std::is_same_v<T, std::string> || std::is_same_v<T, json>;

template <class T>
std::string TypeName() {
  int status = 0;
  char* name = abi::__cxa_demangle(typeid(T).name(), nullptr, nullptr, &status);
  std::string out = status == 0 ? name : typeid(T).name();
  free(name);
  return out;
}

bool SameVersion(const sim::VersionInfo& a, const sim::VersionInfo& b) {
  return std::equal(a.file, a.file + 4, b.file) && std::equal(a.product, a.product + 4, b.product);
}

// Records each place (record type and member number) that holds something other than its
// default anywhere in the machine, and each place there is.
struct Coverage {
  std::set<std::string> all, set;
  void Leaf(const std::string& at, bool differs) {
    all.insert(at);
    if (differs) set.insert(at);
  }
};

template <class T>
void Cover(const T& v, const T& def, const std::string& at, Coverage& c) {
  if constexpr (kLeaf<T>) {
    c.Leaf(at, !(v == def));
  } else if constexpr (std::is_same_v<T, sim::VersionInfo>) {
    c.Leaf(at, !SameVersion(v, def));
  } else if constexpr (std::is_same_v<T, sim::HandleTable>) {
    c.Leaf(at, v.Size() != def.Size());
  } else if constexpr (IsVector<T>::value) {
    c.Leaf(at, !v.empty());
    for (const auto& e : v) Cover(e, typename T::value_type{}, at + "[]", c);
  } else if constexpr (IsOptional<T>::value) {
    c.Leaf(at, v.has_value());
    if (v) Cover(*v, typename T::value_type{}, at + "?", c);
  } else if constexpr (IsMap<T>::value) {
    c.Leaf(at, !v.empty());
    for (const auto& [k, e] : v) Cover(e, typename T::mapped_type{}, at + "{}", c);
  } else {
    auto a = Tie(v);
    auto d = Tie(def);
    [&]<size_t... I>(std::index_sequence<I...>) {
      (Cover(std::get<I>(a), std::get<I>(d), TypeName<T>() + "#" + std::to_string(I), c), ...);
    }
    (std::make_index_sequence<std::tuple_size_v<decltype(a)>>());
  }
}

template <class T>
void Compare(const T& a, const T& b, const std::string& at, std::vector<std::string>& diffs) {
  if constexpr (kLeaf<T>) {
    if (!(a == b)) diffs.push_back(at);
  } else if constexpr (std::is_same_v<T, sim::VersionInfo>) {
    if (!SameVersion(a, b)) diffs.push_back(at);
  } else if constexpr (std::is_same_v<T, sim::HandleTable>) {
    if (a.Size() != b.Size()) diffs.push_back(at);
  } else if constexpr (IsVector<T>::value) {
    if (a.size() != b.size()) return diffs.push_back(at + " (size)");
    for (size_t i = 0; i < a.size(); ++i)
      Compare(a[i], b[i], at + "[" + std::to_string(i) + "]", diffs);
  } else if constexpr (IsOptional<T>::value) {
    if (a.has_value() != b.has_value()) return diffs.push_back(at + " (presence)");
    if (a) Compare(*a, *b, at, diffs);
  } else if constexpr (IsMap<T>::value) {
    if (a.size() != b.size()) return diffs.push_back(at + " (size)");
    for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
      if (!(ia->first == ib->first)) return diffs.push_back(at + " (keys)");
      Compare(ia->second, ib->second, at + "{}", diffs);
    }
  } else {
    auto ta = Tie(a);
    auto tb = Tie(b);
    [&]<size_t... I>(std::index_sequence<I...>) {
      (Compare(std::get<I>(ta), std::get<I>(tb),
               at + " > " + TypeName<T>() + "#" + std::to_string(I), diffs),
       ...);
    }
    (std::make_index_sequence<std::tuple_size_v<decltype(ta)>>());
  }
}

std::string Join(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& p : parts) out += "\n  " + p;
  return out;
}

// ---- A machine with one of everything ----------------------------------------------------

std::vector<uint8_t> Utf16(std::u16string_view s, bool terminated = true) {
  std::vector<uint8_t> out;
  for (char16_t c : s) {
    out.push_back(uint8_t(c & 0xFF));
    out.push_back(uint8_t(c >> 8));
  }
  if (terminated) out.insert(out.end(), {0, 0});
  return out;
}

std::vector<uint8_t> Bytes(std::string_view s) {
  return {s.begin(), s.end()};
}

void AddFile(sim::Machine& m, U16 path, std::vector<uint8_t> data, DWORD attributes,
             std::optional<sim::VersionInfo> version) {
  sim::SimFile f;
  f.path = path;
  f.data = std::move(data);
  f.attributes = attributes;
  f.version = version;
  m.fs.files[sim::FoldPath(path)] = std::move(f);
}

void AddDir(sim::Machine& m, U16 path) {
  m.fs.dirs[sim::FoldPath(path)] = path;
}

// Every field of every record holds something other than its default somewhere.
sim::Machine SampleMachine() {
  static int heapBlock;
  sim::Machine m;
  m.now = 123456;
  m.sleptMs = 4200;
  m.tickBase = 77;
  m.events.push_back({130000, "service.running", {{"name", "Spooler"}}});
  m.events.push_back({140000, "process.unlock", {{"path", "C:\\x.dll"}, {"n", 2}}});
  m.faults.push_back({"OpenPrinterW", 5, 2});
  m.faults.push_back({"AddMonitorW", 3006, -1, 75, 3});
  m.calls.push_back({1, "Sleep", "50"});
  m.recordCalls = false;
  m.callsMade = 9;
  m.endAtCall = 12;
  m.onEndAt = [](sim::Machine&) {};

  m.kernel.commandLine = u"orvinst.exe install";
  m.kernel.modulePath = u"D:\\Setup\\orvinst.exe";
  m.kernel.systemDir = u"C:\\WINDOWS\\System32";
  m.kernel.pid = 777;
  m.kernel.osMajor = 6;
  m.kernel.osMinor = 1;
  m.kernel.osBuild = 7601;
  m.kernel.osPlatform = 1;
  m.kernel.globalBlocks[&heapBlock] = 8;
  m.kernel.localBlocks[&heapBlock] = 16;
  m.kernel.blockOrigins[&heapBlock] = {"GlobalAlloc 8 (call 3)", {&heapBlock}};
  m.lastApi = "Sleep";
  m.lastArgs = "50";
  m.traceOrigins = true;
  m.misuses = {"GlobalFree of a block freed already"};

  m.user.shiftDown = true;
  m.user.windows.push_back({0x10020, u"HH Parent", u"Orvalstone Help", 5003, "ignores"});
  m.user.nextWindow = 0x10030;
  m.user.dialogAnswer = 2;
  m.user.echoDialogs = true;
  m.user.posted.push_back({1, 2, 3, 4, 5});
  m.user.dialogs.push_back({101, 9, u"t", u"x", 1});
  m.user.windowStationVisible = false;

  sim::SimService spooler{u"Spooler", 4, true, 12000, 900, 1051, 0x20, 3, 2};
  m.services.services = {spooler};
  m.services.managerDeniedRights = 0x2;

  sim::RegKey run{u"Run", {{u"OrvalstoneTray", 1, Utf16(u"C:\\tray.exe")}}, {}, true};
  sim::RegKey software{u"Software", {{u"", 3, {1, 2, 3}}}, {run}, false};
  m.registry.hklm.subkeys = {software};
  m.registry.hklm.values = {{u"Pending", 7, Utf16(u"a\0b\0", true)}};
  m.registry.hkcu.name = u"HKEY_CURRENT_USER";
  m.registry.hkcu.values = {{u"Odd", 1, {0x41}}};

  AddDir(m, u"C:");
  AddDir(m, u"C:\\Windows");
  AddDir(m, u"D:");
  AddFile(m, u"C:\\Windows\\kvxmon64.dll", Bytes("MZ module"), 0x21,
          sim::VersionInfo{{1, 0, 0, 2300}, {1, 0, 0, 2301}});
  // A name the host cannot spell (an unpaired surrogate), and a file where another file's
  // directory would have to be.
  AddFile(m, U16(u"C:\\bad") + char16_t(0xD800) + u".txt", Bytes("odd"), 0x20, std::nullopt);
  AddFile(m, u"C:\\Windows\\kvxmon64.dll\\inner", Bytes("in"), 0x20, std::nullopt);
  AddFile(m, u"D:\\Data\\empty.bin", {}, 0x80, std::nullopt);
  m.fs.locks.push_back({u"C:\\Windows\\kvxmon64.dll", 5004, 0x80000000, 1, true});
  m.fs.ioFaults.push_back({u"C:\\Windows\\kvxmon64.dll", "write", "short", 39, 100, 3});
  m.fs.mountPoints[u"c:\\windows\\junction"] = u"D:\\Data";

  sim::SimProcess tray;
  tray.pid = 5003;
  tray.tid = 5004;
  tray.image = u"C:\\Program Files\\Orvalstone\\orvtray.exe";
  tray.commandLine = u"orvtray.exe /min";
  tray.program = "tray";
  tray.mode = "exit-holding";
  tray.exitDelayMs = 3000;
  tray.creationFlags = 0x20;
  tray.showWindow = 7;
  tray.startedAt = 10;
  tray.endedAt = 20;
  tray.running = false;
  tray.exitCode = 259;
  m.processes.processes = {tray};
  m.processes.mutexes.push_back({3, "{A9CA955A}", 5003, 2, true, {5003, 777}});
  m.processes.mutexes.push_back({4, std::string("caf\xe9", 4), 0, 0, false, {}});
  m.processes.nextPid = 6000;
  m.processes.nextMutex = 5;
  m.processes.trayMode = "ignore";
  m.processes.trayExitDelayMs = 2500;

  sim::SimPrinter p;
  p.id = 9;
  p.name = u"Orvalstone";
  p.serverName = u"\\\\server";
  p.shareName = u"share";
  p.portName = u"Orvalstone:";
  p.driverName = u"Orvalstone printer";
  p.comment = u"comment";
  p.location = u"location";
  p.sepFile = u"sep.sep";
  p.printProcessor = u"other";
  p.datatype = u"NT EMF 1.008";
  p.parameters = u"params";
  p.attributes = 0x240;
  p.priority = 2;
  p.defaultPriority = 3;
  p.startTime = 60;
  p.untilTime = 120;
  p.status = 1;
  p.jobs = 4;
  p.connection = true;
  p.data.push_back({"PrinterDriverData",
                    {{"SubKey", 1, Bytes(std::string("{1234}\0", 7))},
                     {"Wide", 1, Utf16(u"wide")},
                     {"Blob", 3, {0, 255}},
                     {"Count", 4, {1, 0, 0, 0}}}});
  p.data.push_back({"DsUser", {{"SubKey", 1, Bytes(std::string("x\0y\0", 4))}}});
  m.spooler.printers = {p};
  sim::SimDriver d;
  d.name = u"Orvalstone printer";
  d.environment = u"Windows NT x86";
  d.version = 4;
  d.driverPath = u"C:\\d\\kvxdrv64.dll";
  d.dataFile = u"C:\\d\\data.ppd";
  d.configFile = u"C:\\d\\kvxui64.dll";
  d.helpFile = u"C:\\d\\kvxhelp.chm";
  d.dependentFiles = {u"C:\\d\\dep.dll"};
  d.monitorName = u"Orvalstone:";
  d.defaultDataType = u"RAW";
  d.previousNames = {u"Old name"};
  d.mfgName = u"Maker";
  d.oemUrl = u"http://example.invalid";
  d.hardwareId = u"hwid";
  d.provider = u"provider";
  d.driverDate = 0x01D0000000000000ULL;
  d.driverVersion = 0x0001000000000900ULL;
  m.spooler.drivers = {d};
  m.spooler.monitors.push_back(
      {u"Orvalstone:", u"Windows NT x86", u"kvxmon64.dll", {u"Orvalstone:"}});
  m.spooler.printProcessors = {u"winprint", u"other"};
  m.spooler.defaultPrinter = u"Orvalstone";
  m.spooler.driverRoot = u"D:\\drivers";
  m.spooler.nextPrinterId = 10;
  m.spooler.loadedModules = {u"C:\\Windows\\system32\\oldmon.dll"};
  m.kernelHandles.Add(std::make_shared<sim::KernelObject>());
  return m;
}

// What a load gives back: the running program's in-process records are not kept.
sim::Machine WithoutRunRecords(sim::Machine m) {
  m.calls.clear();
  m.recordCalls = true;
  m.callsMade = 0;
  m.endAtCall = 0;
  m.onEndAt = nullptr;
  m.kernelHandles = sim::HandleTable();
  m.kernel.globalBlocks.clear();
  m.kernel.localBlocks.clear();
  m.kernel.blockOrigins.clear();
  m.lastApi.clear();
  m.lastArgs.clear();
  m.traceOrigins = false;
  m.misuses.clear();
  m.user.echoDialogs = false;
  m.user.posted.clear();
  m.user.dialogs.clear();
  return m;
}

// ---- Fixture -----------------------------------------------------------------------------

class Persist : public ::testing::Test {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/orvsim-persist-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    dir_ = root_ / "machine";
  }
  void TearDown() override { fs::remove_all(root_); }

  // Every file under the directory with its contents, to show a refusal touched nothing.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir_)) {
      if (e.path().filename() == "lock") continue;  // the run's own lock, not the machine
      std::ifstream in(e.path(), std::ios::binary);
      out[e.path().lexically_relative(dir_).string()] =
          e.is_regular_file() ? std::string(std::istreambuf_iterator<char>(in), {}) : "<dir>";
    }
    return out;
  }
  // The entries that differ between two snapshots.
  static std::vector<std::string> Changed(const std::map<std::string, std::string>& a,
                                          const std::map<std::string, std::string>& b) {
    std::vector<std::string> out;
    for (const auto& [name, content] : a) {
      auto it = b.find(name);
      if (it == b.end() || it->second != content) out.push_back(name);
    }
    for (const auto& [name, content] : b) {
      if (!a.count(name)) out.push_back(name);
    }
    return out;
  }
  json ReadJson() const {
    std::ifstream in(dir_ / "machine.json");
    return json::parse(in);
  }
  void WriteText(const fs::path& path, const std::string& text) const {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }
  void EditJson(const std::function<void(json&)>& change) const {
    json j = ReadJson();
    change(j);
    WriteText(dir_ / "machine.json", j.dump());
  }

  fs::path root_, dir_;
};

TEST(PersistModel, SampleSetsEveryField) {
  const sim::Machine sample = SampleMachine();
  Coverage c;
  const sim::Machine defaults;
  Cover(sample, defaults, "sim::Machine", c);
  std::vector<std::string> unset;
  std::set_difference(c.all.begin(), c.all.end(), c.set.begin(), c.set.end(),
                      std::back_inserter(unset));
  EXPECT_TRUE(unset.empty()) << "give these fields a value in SampleMachine (and save them):"
                             << Join(unset);
}

TEST_F(Persist, RoundTripKeepsEverything) {
  sim::Machine fresh;
  sim::InitDefaultMachine(fresh);
  std::string error;
  for (const sim::Machine& sample : {fresh, SampleMachine()}) {
    ASSERT_TRUE(sim::SaveMachine(sample, dir_, &error)) << error;
    sim::Machine loaded;
    ASSERT_TRUE(sim::LoadMachine(dir_, loaded, &error)) << error;
    std::vector<std::string> diffs;
    Compare(WithoutRunRecords(sample), loaded, "sim::Machine", diffs);
    EXPECT_TRUE(diffs.empty()) << "not kept by a save and a load:" << Join(diffs);
  }

  // The sample's files lie under their paths; a file below a file cannot, nor can a name the
  // host cannot spell: both go apart.
  const json first = ReadJson();
  std::ifstream module(dir_ / "files-2" / "C" / "Windows" / "kvxmon64.dll", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(module), {}), "MZ module");
  std::set<std::string> contents;
  for (const auto& f : first["fs"]["files"]) contents.insert(f["content"].get<std::string>());
  EXPECT_TRUE(contents.count("C/Windows/kvxmon64.dll"));
  EXPECT_TRUE(contents.count("D/Data/empty.bin"));
  EXPECT_EQ(std::count_if(contents.begin(), contents.end(),
                          [](const std::string& s) { return s.rfind("_/", 0) == 0; }),
            2);

  // A second trip writes the same state again, into the next generation.
  sim::Machine loaded;
  ASSERT_TRUE(sim::LoadMachine(dir_, loaded, &error)) << error;
  ASSERT_TRUE(sim::SaveMachine(loaded, dir_, &error)) << error;
  json second = ReadJson();
  EXPECT_EQ(first["filesDir"], "files-2");
  EXPECT_EQ(second["filesDir"], "files-3");
  second["filesDir"] = first["filesDir"];
  EXPECT_EQ(first, second);
}

// Values keep their exact bytes and show readably where the bytes allow.
TEST(PersistValues, TypedValuesKeepTheirBytes) {
  struct Case {
    const char* name;
    DWORD type;
    std::vector<uint8_t> bytes;
    bool ansi;
    const char* form;
  };
  const Case cases[] = {
      {"string", 1, Utf16(u"C:\\x"), false, "sz"},
      {"string without terminator", 1, Utf16(u"abc", false), false, "sz"},
      {"empty string", 2, Utf16(u""), false, "sz"},
      {"string with a NUL inside", 1, Utf16(std::u16string_view(u"a\0b", 3)), false, "hex"},
      {"odd byte count", 1, {0x41, 0, 0x42}, false, "hex"},
      {"unpaired surrogate", 1, {0x00, 0xD8, 0, 0}, false, "hex"},
      {"multi-string", 7, Utf16(std::u16string_view(u"a\0bc\0", 5)), false, "multiSz"},
      {"empty multi-string", 7, Utf16(u""), false, "multiSz"},
      {"multi-string missing its closing NUL", 7, Utf16(u"a"), false, "hex"},
      {"multi-string with an empty string", 7, Utf16(std::u16string_view(u"\0a\0", 3)), false,
       "hex"},
      {"dword", 4, {0x78, 0x56, 0x34, 0x12}, false, "dword"},
      {"short dword", 4, {1, 2}, false, "hex"},
      {"qword", 11, {1, 2, 3, 4, 5, 6, 7, 0xFF}, false, "qword"},
      {"binary", 3, {0, 1, 0xFE}, false, "hex"},
      {"unnamed type", 0x1234, {9}, false, "hex"},
      {"ANSI string", 1, Bytes(std::string("caf\xe9\0", 5)), true, "ansi"},
      {"ANSI string without terminator", 1, Bytes("ab"), true, "sz"},
      {"wide string in printer data", 1, Utf16(u"wide"), true, "sz"},
  };
  for (const auto& c : cases) {
    const json j = sim::TypedValueToJson(c.type, c.bytes, c.ansi);
    EXPECT_TRUE(j.contains(c.form)) << c.name << ": " << j.dump();
    DWORD type = 0;
    std::vector<uint8_t> bytes;
    std::string error;
    ASSERT_TRUE(sim::TypedValueFromJson(j, &type, &bytes, &error)) << c.name << ": " << error;
    EXPECT_EQ(type, c.type) << c.name;
    EXPECT_EQ(bytes, c.bytes) << c.name << ": " << j.dump();
  }
}

TEST(PersistValues, MalformedValuesAreRefused) {
  const char* cases[] = {
      R"({"sz": "a"})",                           // no type
      R"({"type": "REG_WHATEVER", "sz": "a"})",   // unknown type name
      R"({"type": 1})",                           // no data
      R"({"type": 1, "sz": "a", "hex": "00"})",   // two forms
      R"({"type": 4, "dword": 4294967296})",      // too large
      R"({"type": 4, "dword": -1})",              // negative
      R"({"type": 3, "hex": "0"})",               // odd digit count
      R"({"type": 3, "hex": "zz"})",              // not hex
      R"({"type": 7, "multiSz": ["a", ""]})",     // an empty string in the list
      R"({"type": 1, "ansi": "\u4e2d"})",         // not in Windows-1252
      R"({"type": 1, "sz": "a", "extra": true})"  // unknown field
  };
  for (const char* text : cases) {
    DWORD type = 0;
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_FALSE(sim::TypedValueFromJson(json::parse(text), &type, &bytes, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

// A machine that cannot be read whole is refused with the reason and left as it was.
TEST_F(Persist, DamagedMachinesAreRefusedAndLeftAlone) {
  struct Case {
    const char* name;
    std::function<void(Persist&)> damage;
    const char* says;
  };
  const Case cases[] = {
      {"JSON cut in half",
       [](Persist& t) {
         std::ifstream in(t.dir_ / "machine.json");
         std::string text(std::istreambuf_iterator<char>(in), {});
         t.WriteText(t.dir_ / "machine.json", text.substr(0, text.size() / 2));
       },
       "not valid JSON"},
      {"another format version", [](Persist& t) { t.EditJson([](json& j) { j["version"] = 99; }); },
       "format version 99"},
      {"not a machine", [](Persist& t) { t.WriteText(t.dir_ / "machine.json", R"({"hello": 1})"); },
       "not an orvsim machine"},
      {"a section missing", [](Persist& t) { t.EditJson([](json& j) { j.erase("spooler"); }); },
       "\"spooler\" is missing"},
      {"a misspelt field",
       [](Persist& t) {
         t.EditJson([](json& j) { j["spooler"]["printers"][0]["comennt"] = "x"; });
       },
       "spooler.printers[0]: unknown field \"comennt\""},
      {"a number out of range",
       [](Persist& t) { t.EditJson([](json& j) { j["services"]["services"][0]["state"] = -1; }); },
       "services.services[0].state"},
      {"a file's contents missing",
       [](Persist& t) { fs::remove(t.dir_ / "files-1" / "C" / "Windows" / "kvxmon64.dll"); },
       "C:\\Windows\\kvxmon64.dll"},
      {"contents named outside the machine",
       [](Persist& t) {
         t.EditJson([](json& j) { j["fs"]["files"][0]["content"] = "../../etc/passwd"; });
       },
       "content"},
      {"contents that are a link",
       [](Persist& t) {
         const fs::path target = t.dir_ / "files-1" / "C" / "Windows" / "kvxmon64.dll";
         fs::remove(target);
         fs::create_symlink("/etc/hostname", target);
       },
       "not a regular file"},
  };
  for (const auto& c : cases) {
    fs::remove_all(dir_);
    std::string error;
    ASSERT_TRUE(sim::SaveMachine(SampleMachine(), dir_, &error)) << error;
    c.damage(*this);
    const auto before = Snapshot();
    sim::Machine m;
    sim::MachineSession session;
    bool created = true;
    EXPECT_FALSE(session.Open(dir_, m, sim::MachineAccess::kChangeOrCreate, 0, &created, &error))
        << c.name;
    EXPECT_FALSE(created) << c.name;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
    EXPECT_NE(error.find("left as it is"), std::string::npos) << c.name << ": " << error;
    EXPECT_TRUE(Changed(before, Snapshot()).empty()) << c.name << Join(Changed(before, Snapshot()));
  }
}

// A save that fails part-way, or a run killed during one, leaves the previous machine.
TEST_F(Persist, InterruptedSavesLeaveTheOldMachine) {
  sim::Machine old;
  sim::InitDefaultMachine(old);
  std::string error;
  ASSERT_TRUE(sim::SaveMachine(old, dir_, &error)) << error;
  const auto before = Snapshot();

  // Text JSON cannot carry fails the save after the new files were written.
  sim::Machine bad = old;
  bad.spooler.defaultPrinter = u"changed";
  bad.events.push_back({1, "file.x", {{"name", std::string("\xff")}}});
  EXPECT_FALSE(sim::SaveMachine(bad, dir_, &error));
  EXPECT_NE(error.find("cannot save"), std::string::npos) << error;
  EXPECT_TRUE(Changed(before, Snapshot()).empty()) << Join(Changed(before, Snapshot()));

  // What a kill before the rename leaves: a half-written generation and state file.
  fs::create_directories(dir_ / "files-7" / "C");
  WriteText(dir_ / "files-7" / "C" / "half", "x");
  WriteText(dir_ / "machine.json.new", "{\"format\": \"orv");
  sim::Machine loaded;
  ASSERT_TRUE(sim::LoadMachine(dir_, loaded, &error)) << error;
  EXPECT_EQ(loaded.spooler.defaultPrinter, old.spooler.defaultPrinter);

  // The next save takes a fresh generation and clears away the leftovers.
  loaded.spooler.defaultPrinter = u"changed";
  ASSERT_TRUE(sim::SaveMachine(loaded, dir_, &error)) << error;
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir_)) names.insert(e.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"files-8", "machine.json"}));
  ASSERT_TRUE(sim::LoadMachine(dir_, loaded, &error)) << error;
  EXPECT_EQ(loaded.spooler.defaultPrinter, u"changed");
}

TEST_F(Persist, SessionsMakeMachinesOnlyWhereAsked) {
  sim::Machine m;
  bool created = false;
  std::string error;
  {
    // Reading or changing a machine that is not there neither makes it nor its directory.
    for (auto access : {sim::MachineAccess::kRead, sim::MachineAccess::kChange}) {
      sim::MachineSession session;
      EXPECT_FALSE(session.Open(dir_, m, access, 0, &created, &error));
      EXPECT_NE(error.find("no machine"), std::string::npos) << error;
      EXPECT_FALSE(fs::exists(dir_));
    }
  }
  // A directory with other things in it is not taken over, nor one that holds a machine's
  // files without its machine.json.
  for (const char* other : {"notes.txt", "files-3/C/kept.dll", "machine.json.new"}) {
    fs::create_directories((dir_ / other).parent_path());
    WriteText(dir_ / other, "mine");
    sim::MachineSession session;
    EXPECT_FALSE(session.Open(dir_, m, sim::MachineAccess::kChangeOrCreate, 0, &created, &error));
    EXPECT_NE(error.find("not empty"), std::string::npos) << error;
    EXPECT_FALSE(sim::MachineExists(dir_));
    EXPECT_TRUE(fs::exists(dir_ / other)) << other;
    fs::remove_all(dir_);
  }
  sim::MachineSession session;
  ASSERT_TRUE(session.Open(dir_, m, sim::MachineAccess::kChangeOrCreate, 0, &created, &error))
      << error;
  EXPECT_TRUE(created);
  EXPECT_TRUE(sim::MachineExists(dir_));
  EXPECT_TRUE(sim::SpoolerRunning(m));
  m.user.shiftDown = true;
  ASSERT_TRUE(session.Save(m, &error)) << error;

  sim::Machine again;
  ASSERT_TRUE(sim::LoadMachine(dir_, again, &error)) << error;
  EXPECT_TRUE(again.user.shiftDown);
}

// Runs on one machine take turns: a change waits for every other run, readers share.
TEST_F(Persist, LocksKeepRunsApart) {
  std::string error;
  sim::MachineLock writer;
  ASSERT_TRUE(writer.Acquire(dir_, true, 0, &error)) << error;

  sim::MachineLock other;
  EXPECT_FALSE(other.Acquire(dir_, true, 0, &error));
  EXPECT_NE(error.find("in use by another run"), std::string::npos) << error;
  EXPECT_FALSE(other.Acquire(dir_, false, 0, &error));
  EXPECT_FALSE(other.Held());

  writer.Release();
  sim::MachineLock reader1, reader2;
  EXPECT_TRUE(reader1.Acquire(dir_, false, 0, &error)) << error;
  EXPECT_TRUE(reader2.Acquire(dir_, false, 0, &error)) << error;
  EXPECT_FALSE(other.Acquire(dir_, true, 0, &error));
  reader1.Release();
  reader2.Release();
  EXPECT_TRUE(other.Acquire(dir_, true, 0, &error)) << error;
}

}  // namespace
