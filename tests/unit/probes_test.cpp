#include "spooler/probes.h"

#include <optional>

#include "machine_fixture.h"

namespace {

constexpr char16_t kPackage[] = u"Orvalstone printer";
constexpr char16_t kOther[] = u"Microsoft Print To PDF";
constexpr char16_t kModule[] = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\kvxdrv64.dll";

class ProbesTest : public unit::MachineTest {
 protected:
  // The package driver registered, no default printer, and the queues given (name, driver);
  // the first package queue is listed first, so that a search that skips it answers wrongly.
  void Reset(std::initializer_list<std::pair<std::u16string, std::u16string>> queues,
             const char* fault = nullptr) {
    Fresh();
    m.spooler.printers.clear();
    m.spooler.defaultPrinter.clear();
    sim::SimDriver driver;
    driver.name = kPackage;
    driver.driverPath = kModule;
    m.spooler.drivers.push_back(driver);
    for (const auto& [name, drv] : queues) AddQueue(name, u"Orvalstone:", drv);
    if (fault) sim::AddFault(m, fault, ERROR_ACCESS_DENIED);
  }
  // Probes never touch the service manager.
  void ExpectNothingLeftOver() { EXPECT_EQ(CallCount("OpenSCManagerW"), 0u); }
};

TEST_F(ProbesTest, DriverIsCurrentFromBuild2207OfTheFirstPackageQueue) {
  const struct {
    const char* name;
    std::u16string driver;  // of the first queue
    std::optional<uint16_t> build;
    bool module;
    const char* fault;
    bool current;
  } cases[] = {
      {"build 2207", kPackage, 2207, true, nullptr, true},
      {"build 2206", kPackage, 2206, true, nullptr, false},
      {"build 65535", kPackage, 65535, true, nullptr, true},
      {"no version resource", kPackage, std::nullopt, true, nullptr, false},
      {"no module file", kPackage, 2300, false, nullptr, false},
      {"no package queue", kOther, 2300, true, nullptr, false},
      {"driver name in other case", u"orvalstone printer", 2300, true, nullptr, false},
      // Only the first package queue is examined: the second would have answered true.
      {"queue cannot be opened", kPackage, 2300, true, "OpenPrinterW", false},
      {"driver cannot be read", kPackage, 2300, true, "GetPrinterDriverW", false},
      {"printers cannot be listed", kPackage, 2300, true, "EnumPrintersW", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset({{u"Orvalstone", c.driver}, {u"Office", kOther}}, c.fault);
    if (c.fault) AddQueue(u"Orvalstone (2)", u"Orvalstone:", kPackage);
    std::optional<sim::VersionInfo> v;
    if (c.build) v = sim::VersionInfo{{1, 0, 0, 2300}, {1, 0, 0, *c.build}};
    if (c.module) sim::PutFile(m, kModule, std::vector<uint8_t>(512, 'm'), v);
    EXPECT_EQ(CheckDriverVersion(), c.current);
    ExpectNothingLeftOver();
  }
}

TEST_F(ProbesTest, DefaultPrinterCheckIsFalseOnlyForAPackageQueue) {
  const struct {
    std::u16string defaultPrinter;  // empty: none
    std::u16string driver;
    const char* fault;
    bool answer;
  } cases[] = {
      {u"Orvalstone", kPackage, nullptr, false},
      {u"Office", kOther, nullptr, true},
      {u"", kPackage, nullptr, true},
      {std::u16string(259, u'q'), kPackage, nullptr, false},  // fills the 260-unit buffer
      {std::u16string(260, u'q'), kPackage, nullptr, true},
      {u"Orvalstone", kPackage, "OpenPrinterW", true},
      {u"Orvalstone", kPackage, "GetPrinterW", true},
      {u"Orvalstone", kPackage, "GetDefaultPrinterW", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(sim::ToUtf8(c.defaultPrinter) + (c.fault ? c.fault : ""));
    Reset({{u"Another", kPackage}}, c.fault);
    if (!c.defaultPrinter.empty()) {
      AddQueue(c.defaultPrinter, u"Orvalstone:", c.driver);
      m.spooler.defaultPrinter = c.defaultPrinter;
    }
    EXPECT_EQ(CheckDefaultPrinter(), c.answer);
    ExpectNothingLeftOver();
  }
}

TEST_F(ProbesTest, SetPackageDefaultPicksTheFirstPackageQueue) {
  for (const char* fault : {static_cast<const char*>(nullptr), "SetDefaultPrinterW"}) {
    // Local queues are listed before connections, whatever order they were added in.
    Reset({{u"Orvalstone remote", kPackage},
           {u"Orvalstone local", kPackage},
           {u"Office", kOther},
           {u"Orvalstone local 2", kPackage}},
          fault);
    m.spooler.printers[0].connection = true;
    m.spooler.printers[0].serverName = u"\\\\srv";
    m.spooler.defaultPrinter = u"Office";
    SetPackageDefault();
    EXPECT_EQ(m.spooler.defaultPrinter, fault ? u"Office" : u"Orvalstone local");
    ExpectNothingLeftOver();
  }
  Reset({{u"Office", kOther}});
  m.spooler.defaultPrinter = u"Office";
  SetPackageDefault();
  EXPECT_EQ(m.spooler.defaultPrinter, u"Office");
}

}  // namespace
