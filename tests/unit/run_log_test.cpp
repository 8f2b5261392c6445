#include <gtest/gtest.h>

#include <string>

#include "context/format.h"
#include "context/install_context.h"
#include "context/run_log.h"
#include "sim/machine.h"

namespace {

class RunLogTest : public ::testing::Test {
 protected:
  RunLogTest() { sim::InitDefaultMachine(m); }
  std::u16string LogText() const {
    return std::u16string(Chars(context.LogText), size_t(Count(context.LogText)));
  }
  sim::Machine m;
  sim::MachineScope scope{m};
  InstallContext context;  // empty record: the log alone
};

TEST_F(RunLogTest, IndentationIsTwoSpacesALevelCappedAtTen) {
  const struct {
    LONG indent;
    size_t spaces;
  } cases[] = {{0, 0}, {1, 2}, {3, 6}, {10, 20}, {12, 20}, {-1, 0}};
  for (const auto& c : cases) {
    Assign(context.LogText, nullptr);
    context.Indent = c.indent;
    Log(context, u">Step");
    EXPECT_EQ(LogText(), std::u16string(c.spaces, u' ') + u">Step\r\n") << c.indent;
  }
}

TEST_F(RunLogTest, EmptyMessageStillMakesALine) {
  context.Indent = 2;
  Log(context, u"");
  AppendLogLine(context, nullptr);
  EXPECT_EQ(LogText(), u"    \r\n    \r\n");
  EXPECT_EQ(context.ErrorCount, 0);
}

TEST_F(RunLogTest, ErrorLineCarriesTheSystemTextOfTheLastError) {
  const struct {
    DWORD lastError;
    std::u16string suffix;
  } cases[] = {
      {ERROR_ACCESS_DENIED, u" - (Access is denied.)"},
      {0, u""},
      {0x12345, u" - ( No Description )"},
  };
  for (const auto& c : cases) {
    Assign(context.LogText, nullptr);
    context.Indent = 1;
    const LONG before = context.ErrorCount;
    SetLastError(c.lastError);
    LogError(context, ErrOpenSpooler, u"Can't open the spooler");
    EXPECT_EQ(LogText(), u"  Error(2): Can't open the spooler" + c.suffix + u"\r\n");
    EXPECT_EQ(context.ErrorCount, before + 1);
    EXPECT_EQ(GetLastError(), c.lastError);  // left for the caller
  }
}

TEST_F(RunLogTest, ErrorMessageArgumentsAreFormatted) {
  SetLastError(ERROR_DEPENDENT_SERVICES_RUNNING);
  LogError(context, ErrControlService, u"ControlService failed with code %d (0x%x)", DWORD(1051),
           DWORD(1051));
  EXPECT_EQ(LogText(),
            u"Error(5): ControlService failed with code 1051 (0x41b) - (A stop control has been "
            u"sent to a service that other running services are dependent on.)\r\n");
}

TEST_F(RunLogTest, OverlongLinesAreCutAt1023Characters) {
  const std::u16string longName(3000, u'n');
  Log(context, u">DeletePrinter(%s)", longName.c_str());
  std::u16string line = LogText();
  ASSERT_EQ(line.size(), 1023u + 2);
  EXPECT_EQ(line.substr(0, 15), u">DeletePrinter(");
  EXPECT_EQ(line.substr(1023), u"\r\n");

  Assign(context.LogText, nullptr);
  SetLastError(ERROR_ACCESS_DENIED);
  LogError(context, ErrOpenPrinter, u"Can`t open printer '%s'", longName.c_str());
  line = LogText();
  ASSERT_EQ(line.size(), 1023u + 2);
  EXPECT_EQ(line.substr(0, 30), u"Error(16): Can`t open printer ");
  EXPECT_EQ(context.ErrorCount, 1);
}

TEST_F(RunLogTest, FormatterDirectives) {
  const struct {
    std::u16string expected;
    std::u16string format;
    FormatArg a, b;
  } cases[] = {
      {u"Orvalstone 2300", u"Orvalstone %d", 2300, nullptr},
      {u"-5 fffffffb", u"%d %x", -5, -5},
      {u"-2147483648", u"%d", DWORD(0x80000000), nullptr},
      {u"0x0 100%", u"0x%x 100%%", 0, nullptr},
      {u"[kvx] (null)", u"[%s] %s", u"kvx", static_cast<LPCWSTR>(nullptr)},
      {u"%q %", u"%q %", 1, 2},
  };
  for (const auto& c : cases) {
    WCHAR out[64];
    const FormatArg args[] = {c.a, c.b};
    const size_t n = FormatTextArgs(out, 64, c.format.c_str(), args, 2);
    EXPECT_EQ(std::u16string(out), c.expected);
    EXPECT_EQ(n, c.expected.size());
  }
  WCHAR out[8];
  EXPECT_EQ(FormatText(out, 8, u"%d and %s"), 5u);  // missing arguments write nothing
  EXPECT_EQ(std::u16string(out), u" and ");
}

TEST_F(RunLogTest, FormatterWritesOnlyWithinItsBuffer) {
  WCHAR out[12];
  for (WCHAR& c : out) c = u'#';
  EXPECT_EQ(FormatText(out, 6, u"%s-%d", u"abcdefgh", 12345), 5u);
  EXPECT_EQ(std::u16string(out), u"abcde");
  for (int i = 6; i < 12; ++i) EXPECT_EQ(out[i], u'#') << i;
  EXPECT_EQ(FormatText(out, 1, u"abc"), 0u);
  EXPECT_EQ(out[0], 0);
}

}  // namespace
