#include "context/format.h"
#include "context/run_log.h"
#include "machine_fixture.h"

namespace {

using RunLogTest = unit::MachineTest;

TEST_F(RunLogTest, LinesAreIndentedTwoSpacesALevelAndCutAt1023Characters) {
  const std::u16string longName(3000, u'n');
  const struct {
    LONG indent;
    DWORD lastError;  // ~0: a plain line
    const char16_t* format;
    const char16_t* arg;
    std::u16string line;
  } cases[] = {
      {0, ~0u, u">Step", nullptr, u">Step"},
      {3, ~0u, u">Step", nullptr, u"      >Step"},
      {12, ~0u, u">Step", nullptr, std::u16string(20, u' ') + u">Step"},  // capped at ten levels
      {-1, ~0u, u"", nullptr, u""},
      {0, ~0u, u"(%s)", longName.c_str(), u"(" + longName.substr(0, 1022)},
      {1, ERROR_ACCESS_DENIED, nullptr, u"go",
       u"  Error(28): Can`t delete go - (Access is denied.)"},
      {0, 0, nullptr, u"go", u"Error(28): Can`t delete go"},
      {0, 0x12345, nullptr, u"go", u"Error(28): Can`t delete go - ( No Description )"},
      {0, 5, nullptr, longName.c_str(), (u"Error(28): Can`t delete " + longName).substr(0, 1023)},
  };
  for (const auto& c : cases) {
    Fresh();
    context.Indent = c.indent;
    if (c.lastError == ~0u) {
      ::Log(context, c.format, c.arg);
    } else {
      SetLastError(c.lastError);
      LogError(context, ErrDeleteFile, c.arg);
      EXPECT_EQ(GetLastError(), c.lastError);  // left for the caller
    }
    EXPECT_EQ(Log(), c.line + u"\r\n");
    EXPECT_EQ(context.ErrorCount, c.lastError == ~0u ? 0 : 1);
  }
}

TEST_F(RunLogTest, FormatterDirectivesWithinTheBuffer) {
  const struct {
    std::u16string expected;
    size_t room;
    std::u16string format;
    FormatArg a, b;
  } cases[] = {
      {u"-5 fffffffb", 64, u"%d %x", -5, -5},
      {u"-2147483648", 64, u"%d", DWORD(0x80000000), nullptr},
      {u"0x0 100%", 64, u"0x%x 100%%", 0, nullptr},
      {u"[kvx] (null)", 64, u"[%s] %s", u"kvx", static_cast<LPCWSTR>(nullptr)},
      {u"%q %", 64, u"%q %", 1, 2},
      {u"abcde", 6, u"%s-%d", u"abcdefgh", 12345},
      {u"", 1, u"abc", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    std::u16string out(12 + c.room, u'#');
    const FormatArg args[] = {c.a, c.b};
    EXPECT_EQ(FormatTextArgs(out.data(), c.room, c.format.c_str(), args, 2), c.expected.size());
    EXPECT_EQ(out.substr(0, c.expected.size() + 1), c.expected + u'\0');
    EXPECT_EQ(out.substr(c.room), std::u16string(12, u'#'));  // nothing past the buffer
  }
  WCHAR out[8];
  EXPECT_EQ(FormatText(out, 8, u"%d and %s"), 5u);  // missing arguments write nothing
  EXPECT_EQ(std::u16string(out), u" and ");
}

}  // namespace
