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
  uint64_t AddWindow(uint64_t handle, std::u16string cls, std::u16string title,
                     std::string behavior = "closes") {
    sim::SimWindow w;
    w.handle = handle;
    w.className = std::move(cls);
    w.title = std::move(title);
    w.ownerPid = 77;
    w.behavior = std::move(behavior);
    m.user.windows.push_back(w);
    return handle;
  }
  unit::Texts HelpWindows() const {
    unit::Texts titles;
    for (const auto& w : m.user.windows) {
      if (w.className == u"HH Parent") titles.push_back(w.title);
    }
    return titles;
  }
  size_t PostedTo(uint64_t window) const {
    size_t n = 0;
    for (const auto& p : m.user.posted) n += p.window == window;
    return n;
  }
  size_t FirstCallIndex(const std::string& api) const {
    for (size_t i = 0; i < m.calls.size(); ++i) {
      if (m.calls[i].api == api) return i;
    }
    return m.calls.size();
  }
  size_t LastCallIndex(const std::string& api) const {
    size_t last = 0;
    for (size_t i = 0; i < m.calls.size(); ++i) {
      if (m.calls[i].api == api) last = i;
    }
    return last;
  }
  // Virtual time of the first call of an API since the machine was built.
  uint64_t FirstCallAt(const std::string& api) const {
    const size_t i = FirstCallIndex(api);
    return i < m.calls.size() ? m.calls[i].at : UINT64_MAX;
  }
};

// Every word runs end to end in the scenarios; these are the edges of the word match.
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
}

TEST_F(EntryTest, ShiftShowsTheWholeLogWithoutChangingTheOutcome) {
  m.user.shiftDown = true;
  EXPECT_EQ(Run(u" uninstall"), 2);
  ASSERT_EQ(m.user.dialogs.size(), 1u);
  const sim::DialogRecord& d = m.user.dialogs[0];
  EXPECT_EQ(d.templateId, 101);
  EXPECT_EQ(d.owner, 0u);
  EXPECT_EQ(d.text.rfind(u"Orvalstone 2300\r\n>Check Spooler\r\n>UnInstall\r\n", 0), 0u);
  EXPECT_EQ(d.result, IDOK);
}

TEST_F(EntryTest, ErrorsShowTheErrorLogAndGive100HoweverTheDialogIsClosed) {
  for (int answer : {IDOK, IDCANCEL}) {
    Fresh();
    Spooler().state = SERVICE_STOPPED;
    Spooler().disabled = true;
    m.user.dialogAnswer = answer;
    EXPECT_EQ(Run(u" install"), 100);
    ASSERT_EQ(m.user.dialogs.size(), 1u);
    const sim::DialogRecord& d = m.user.dialogs[0];
    EXPECT_EQ(d.title, u"Orvalstone build 2300- Install error log!");
    EXPECT_EQ(d.result, answer == IDOK ? 1 : 0);
  }
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
  const uint64_t setup = AddWindow(6699, u"SetupWindow", u"Setup");
  const uint64_t hex = AddWindow(0x1A2B, u"SetupWindow", u"Hex");
  // A handle above 2^31 reaches the program as a negative number and is sign-extended.
  const uint64_t high = AddWindow(0xFFFFFFFF80001234ull, u"SetupWindow", u"High");
  const uint64_t clamped = AddWindow(0x7FFFFFFF, u"SetupWindow", u"Clamped");
  (void)hex;
  const struct {
    std::u16string arguments;
    uint64_t owner;
  } cases[] = {
      {u" install 6699", setup},
      {u" install 0x1A2B", 0},
      {u" install abc", 0},
      {u" install 6698", 0},  // no such window
      {u" install 6699 more", 0},
      {u" install -2147478988", high},
      {u" install 99999999999", clamped},
      {u" install \"  6699\"", setup},
  };
  m.user.shiftDown = true;
  for (const auto& c : cases) {
    m.user.dialogs.clear();
    EXPECT_EQ(Run(c.arguments), 1);
    ASSERT_EQ(m.user.dialogs.size(), 1u);
    EXPECT_EQ(m.user.dialogs[0].owner, c.owner) << sim::ToUtf8(c.arguments);
  }
}

TEST_F(EntryTest, HelpViewerWindowsAreClosedBeforeTheRun) {
  AddWindow(0x30001, u"HH Parent", u"Orvalstone Help");
  AddWindow(0x30002, u"HH Parent", u"Orvalstone Help");
  AddWindow(0x30003, u"HH Parent", u"Other Help");
  EXPECT_EQ(Run(u" install"), 1);
  EXPECT_EQ(HelpWindows(), std::vector<std::u16string>{u"Other Help"});
  ASSERT_EQ(PostedTo(0x30001) + PostedTo(0x30002), 2u);
  for (const auto& p : m.user.posted) {
    if (p.window != 0x30001 && p.window != 0x30002) continue;
    EXPECT_EQ(p.message, UINT(WM_SYSCOMMAND));
    EXPECT_EQ(p.wParam, WPARAM(SC_CLOSE));
    EXPECT_EQ(p.lParam, 0);
  }
  // Both were asked, and waited for, before the run looked at the spooler.
  EXPECT_EQ(FirstCallAt("OpenSCManagerW"), 100u);
  EXPECT_LT(LastCallIndex("PostMessageW"), FirstCallIndex("OpenSCManagerW"));
  // Short commands leave the viewer alone.
  AddWindow(0x30004, u"HH Parent", u"Orvalstone Help");
  Run(u" whatever");
  EXPECT_EQ(HelpWindows().size(), 2u);
}

TEST_F(EntryTest, AHelpViewerThatIgnoresTheRequestDelaysTheRunBoundedly) {
  AddWindow(0x30001, u"HH Parent", u"Orvalstone Help", "ignores");
  EXPECT_EQ(Run(u" un"), 2);
  EXPECT_EQ(PostedTo(0x30001), 100u);
  // 100 waits of 50 ms, then the run goes on with the window still open.
  EXPECT_EQ(FirstCallAt("OpenSCManagerW"), 5000u);
  EXPECT_EQ(HelpWindows().size(), 1u);
}

TEST_F(EntryTest, LogDialogShowsAnEmptyLogAndEndsOnlyOnItsButtons) {
  context.ErrorCount = 3;
  m.user.dialogAnswer = 1001;  // a notification from the text box, not a button
  EXPECT_EQ(DialogBoxParamW(nullptr, MAKEINTRESOURCEW(101), nullptr, LogDialogProc,
                            reinterpret_cast<LPARAM>(&context)),
            0);
  ASSERT_EQ(m.user.dialogs.size(), 1u);
  EXPECT_EQ(m.user.dialogs[0].title, u"Orvalstone build 2300- Install error log!");
  EXPECT_EQ(m.user.dialogs[0].text, u"");
}

}  // namespace
