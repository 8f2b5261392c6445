#include "app/entry.h"

#include "app/log_dialog.h"
#include "machine_fixture.h"

namespace {

class EntryTest : public unit::MachineTest {
 protected:
  int Run(const std::u16string& arguments) {
    m.kernel.commandLine = u"\"" + m.kernel.modulePath + u"\"" + arguments;
    return wWinMain(reinterpret_cast<HINSTANCE>(uintptr_t(0x140000000)), nullptr,
                    m.kernel.commandLine.data(), SW_SHOWNORMAL);
  }
  void AddWindow(uint64_t handle, std::u16string cls, std::u16string title,
                 std::string behavior = "closes") {
    m.user.windows.push_back({handle, cls, title, 77, behavior});
  }
  uint64_t FirstCallAt(const std::string& api) const {
    for (const auto& c : m.calls)
      if (c.api == api) return c.at;
    return UINT64_MAX;
  }
};

// Every word runs end to end in the scenarios, with the dialog of a failed or shifted run;
// these are the edges of the word match.
TEST_F(EntryTest, CommandWordsAndExitCodes) {
  const struct {
    std::u16string arguments;
    int exitCode;
  } cases[] = {
      {u"", 6},         {u" \"\"", 6},         {u" installer", 6},  // a word's prefix is no match
      {u" instal", 6},  {u" def.settings", 6}, {u" Def.set", 6},    // matched exactly
      {u" INSTALL", 1}, {u" Uninstall", 2},    {u" install 123 extra words", 1},
  };
  for (const auto& c : cases) {
    Fresh();
    m.calls.clear();
    EXPECT_EQ(Run(c.arguments), c.exitCode) << sim::ToUtf8(c.arguments);
    // Only the long jobs look at the spooler service.
    EXPECT_EQ(CallCount("OpenSCManagerW") > 0, c.exitCode != 6) << sim::ToUtf8(c.arguments);
    EXPECT_TRUE(m.user.dialogs.empty());
  }
  // The dialog shows an empty log, and a notification from its text box does not end it.
  m.user.dialogAnswer = 1001;
  EXPECT_EQ(DialogBoxParamW(nullptr, MAKEINTRESOURCEW(101), nullptr, LogDialogProc,
                            reinterpret_cast<LPARAM>(&context)),
            0);
  EXPECT_EQ(m.user.dialogs.at(0).text, u"");
}

TEST_F(EntryTest, DecimalConversionFollowsTheRuntime) {
  const struct {
    std::u16string text;
    LONG value;
  } cases[] = {
      {u"6699", 6699},
      {u"  \t+42", 42},
      {u"-17", -17},
      {u"12abc", 12},
      {u"abc", 0},
      {u"", 0},
      {u"0x1A2B", 0},
      {u"- 5", 0},
      {u"2147483647", 2147483647},
      {u"2147483648", 2147483647},
      {u"99999999999999999999", 2147483647},
      {u"-2147483648", -2147483647 - 1},
      {u"-99999999999", -2147483647 - 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(DecimalToLong(c.text.c_str()), c.value) << sim::ToUtf8(c.text);
  EXPECT_EQ(DecimalToLong(nullptr), 0);
}

TEST_F(EntryTest, OwnerWindowOnlyFromAThirdAndLastWord) {
  AddWindow(6699, u"SetupWindow", u"Setup");
  AddWindow(0x1A2B, u"SetupWindow", u"Hex");
  // A handle above 2^31 reaches the program as a negative number and is sign-extended.
  AddWindow(0xFFFFFFFF80001234ull, u"SetupWindow", u"High");
  AddWindow(0x7FFFFFFF, u"SetupWindow", u"Clamped");
  const struct {
    std::u16string arguments;
    uint64_t owner;
  } cases[] = {
      {u" install 6699", 6699},
      {u" install 0x1A2B", 0},
      {u" install 6698", 0},  // no such window
      {u" install 6699 more", 0},
      {u" install -2147478988", 0xFFFFFFFF80001234ull},
      {u" install 99999999999", 0x7FFFFFFF},
      {u" install \"  6699\"", 6699},
  };
  m.user.shiftDown = true;
  for (const auto& c : cases) {
    m.user.dialogs.clear();
    EXPECT_EQ(Run(c.arguments), 1);
    EXPECT_EQ(m.user.dialogs.at(0).owner, c.owner) << sim::ToUtf8(c.arguments);
  }
}

TEST_F(EntryTest, HelpViewersAreAskedToCloseAndWaitedForBoundedly) {
  for (const std::string behavior : {"closes", "ignores"}) {
    Fresh();
    AddWindow(0x30001, u"HH Parent", u"Orvalstone Help", behavior);
    AddWindow(0x30002, u"HH Parent", u"Orvalstone Help");
    AddWindow(0x30003, u"HH Parent", u"Other Help");
    EXPECT_EQ(Run(u" un"), 2);
    const bool closes = behavior == "closes";
    size_t closeRequests = 0;
    for (const auto& p : m.user.posted)
      closeRequests += p.message == WM_SYSCOMMAND && p.wParam == SC_CLOSE && p.lParam == 0;
    EXPECT_EQ(closeRequests, m.user.posted.size());
    // 100 waits of 50 ms at most; the run looks at the spooler only afterwards.
    EXPECT_EQ(closeRequests, closes ? 2u : 100u);
    EXPECT_EQ(FirstCallAt("OpenSCManagerW"), closes ? 100u : 5000u);
    EXPECT_EQ(m.user.windows.size(), closes ? 1u : 2u);
  }
  // Short commands leave the viewers alone.
  Run(u" whatever");
  EXPECT_EQ(m.user.windows.size(), 2u);
}

}  // namespace
