#include "spooler/probes.h"

#include <optional>

#include "machine_fixture.h"

namespace {

constexpr char16_t kPackageDriver[] = u"Orvalstone printer";
constexpr char16_t kOtherDriver[] = u"Microsoft Print To PDF";
constexpr char16_t kDriverModule[] = u"C:\\Windows\\system32\\spool\\drivers\\x64\\3\\kvxdrv64.dll";

class ProbesTest : public unit::MachineTest {
 protected:
  ProbesTest() { Reset(); }
  // The package driver registered, no queues, no default printer.
  void Reset() {
    Fresh();
    m.spooler.printers.clear();
    m.spooler.defaultPrinter.clear();
    sim::SimDriver driver;
    driver.name = kPackageDriver;
    driver.driverPath = kDriverModule;
    m.spooler.drivers.push_back(driver);
  }
  // The installed driver module, with a version resource of that fourth product part.
  void InstallModule(std::optional<uint16_t> build) {
    std::optional<sim::VersionInfo> version;
    if (build) version = sim::VersionInfo{{1, 0, 0, 2300}, {1, 0, 0, *build}};
    sim::PutFile(m, kDriverModule, std::vector<uint8_t>(512, 'm'), version);
  }
  sim::SimPrinter& Queue(const std::u16string& name, const std::u16string& driver,
                         bool connection = false) {
    sim::SimPrinter& p = AddQueue(name, u"Orvalstone:", driver);
    p.connection = connection;
    return p;
  }
  // Probes build no context and leave nothing allocated behind.
  void ExpectNothingLeftOver() {
    EXPECT_TRUE(m.kernel.globalBlocks.empty());
    EXPECT_TRUE(m.user.dialogs.empty());
    EXPECT_EQ(CallCount("OpenSCManagerW"), 0u);
  }
};

TEST_F(ProbesTest, DriverIsCurrentFromBuild2207) {
  const struct {
    const char* name;
    bool queue;
    std::u16string queueDriver;
    bool module;
    std::optional<uint16_t> build;
    const char* fault;  // an API that fails once
    bool current;
  } cases[] = {
      {"build 2207", true, kPackageDriver, true, 2207, nullptr, true},
      {"build 2206", true, kPackageDriver, true, 2206, nullptr, false},
      {"build 65535", true, kPackageDriver, true, 65535, nullptr, true},
      {"no version resource", true, kPackageDriver, true, std::nullopt, nullptr, false},
      {"no module file", true, kPackageDriver, false, std::nullopt, nullptr, false},
      {"no package queue", false, kPackageDriver, true, 2300, nullptr, false},
      {"driver name in other case", true, u"orvalstone printer", true, 2300, nullptr, false},
      {"queue cannot be opened", true, kPackageDriver, true, 2300, "OpenPrinterW", false},
      {"driver cannot be read", true, kPackageDriver, true, 2300, "GetPrinterDriverW", false},
      {"printers cannot be listed", true, kPackageDriver, true, 2300, "EnumPrintersW", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Queue(u"Office", kOtherDriver);
    if (c.queue) Queue(u"Orvalstone", c.queueDriver);
    if (c.module) InstallModule(c.build);
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED);

    EXPECT_EQ(CheckDriverVersion(), c.current);
    ExpectNothingLeftOver();
  }
}

TEST_F(ProbesTest, OnlyTheFirstPackageQueueIsExamined) {
  Queue(u"Orvalstone", kPackageDriver);
  Queue(u"Orvalstone (2)", kPackageDriver);
  InstallModule(2300);
  // Were the second queue tried after the first would not open, the answer would be true.
  sim::AddFault(m, "OpenPrinterW", ERROR_INVALID_PRINTER_NAME);
  EXPECT_FALSE(CheckDriverVersion());
  EXPECT_TRUE(CheckDriverVersion());
}

TEST_F(ProbesTest, DefaultPrinterCheckIsFalseOnlyForAPackageQueue) {
  const std::u16string longest(259, u'q');  // fills the 260-character buffer
  const std::u16string tooLong(260, u'q');
  const struct {
    const char* name;
    std::u16string defaultPrinter;  // empty: none
    std::u16string driver;
    const char* fault;
    bool answer;
  } cases[] = {
      {"package queue", u"Orvalstone", kPackageDriver, nullptr, false},
      {"other driver", u"Office", kOtherDriver, nullptr, true},
      {"no default printer", u"", kPackageDriver, nullptr, true},
      {"package queue, 259 characters", longest, kPackageDriver, nullptr, false},
      {"package queue, 260 characters", tooLong, kPackageDriver, nullptr, true},
      {"default cannot be opened", u"Orvalstone", kPackageDriver, "OpenPrinterW", true},
      {"default cannot be read", u"Orvalstone", kPackageDriver, "GetPrinterW", true},
      {"query refused", u"Orvalstone", kPackageDriver, "GetDefaultPrinterW", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Queue(u"Another", kPackageDriver);
    if (!c.defaultPrinter.empty()) {
      Queue(c.defaultPrinter, c.driver);
      m.spooler.defaultPrinter = c.defaultPrinter;
    }
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED);

    EXPECT_EQ(CheckDefaultPrinter(), c.answer);
    ExpectNothingLeftOver();
  }
}

TEST_F(ProbesTest, SetPackageDefaultPicksTheFirstPackageQueue) {
  const struct {
    const char* name;
    bool packageQueues;
    const char* fault;
    std::u16string defaultAfter;
  } cases[] = {
      // Local queues are listed before connections.
      {"package queues", true, nullptr, u"Orvalstone local"},
      {"no package queue", false, nullptr, u"Office"},
      {"spooler refuses", true, "SetDefaultPrinterW", u"Office"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Queue(u"Office", kOtherDriver);
    if (c.packageQueues) {
      Queue(u"Orvalstone remote", kPackageDriver, true).serverName = u"\\\\srv";
      Queue(u"Orvalstone local", kPackageDriver);
      Queue(u"Orvalstone local 2", kPackageDriver);
    }
    m.spooler.defaultPrinter = u"Office";
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED);

    SetPackageDefault();

    EXPECT_EQ(m.spooler.defaultPrinter, c.defaultAfter);
    ExpectNothingLeftOver();
  }
}

}  // namespace
