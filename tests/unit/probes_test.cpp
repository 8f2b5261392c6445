#include "spooler/probes.h"

#include "machine_fixture.h"

namespace {

constexpr char16_t kPackage[] = u"Orvalstone printer";
constexpr char16_t kOther[] = u"Microsoft Print To PDF";

class ProbesTest : public unit::MachineTest {
 protected:
  // No default printer, and the queues given (name, driver) on the package port;
  // the first package queue is listed first, so that a search that skips it answers wrongly.
  void Reset(std::initializer_list<std::pair<std::u16string, std::u16string>> queues,
             const char* fault = nullptr) {
    Fresh();
    m.spooler.printers.clear();
    m.spooler.defaultPrinter.clear();
    for (const auto& [name, drv] : queues) AddQueue(name, u"Orvalstone:", drv);
    if (fault) sim::AddFault(m, fault, ERROR_ACCESS_DENIED);
  }
  // Probes never touch the service manager.
  void ExpectNothingLeftOver() { EXPECT_EQ(CallCount("OpenSCManagerW"), 0u); }
};

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
