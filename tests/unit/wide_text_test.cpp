#include "context/wide_text.h"

#include <algorithm>

#include "machine_fixture.h"

namespace {

using WideTextTest = unit::MachineTest;

std::u16string Str(const WideText& t) {
  return std::u16string(Chars(t), size_t(Count(t)));
}

WideText Make(const std::u16string& s) {
  WideText t;
  Assign(t, s.c_str());
  return t;
}

TEST_F(WideTextTest, BlockSizeFollowsTheCountInStepsOf32Characters) {
  struct Step {
    ULONGLONG from, to;
    size_t bytes;      // block bytes after the resize
    bool reallocates;  // whether the block must have been replaced by a new size class
  };
  const Step steps[] = {
      {1, 31, 72, false},  {31, 32, 136, true}, {32, 63, 136, false},
      {63, 64, 200, true}, {64, 31, 72, true},  {0, 31, 72, true},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << s.from << " -> " << s.to);
    WideText t;
    std::u16string expected(size_t(s.from), u'x');
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = char16_t(u'a' + i % 26);
    Assign(t, expected.c_str());
    const BYTE* before = t.Block;
    ASSERT_TRUE(Resize(t, s.to));
    EXPECT_EQ(Count(t), s.to);
    // The heap may hand out more than was asked for, never less.
    EXPECT_EQ(WideTextBlockBytes(s.to), s.bytes);
    EXPECT_GE(_msize(t.Block), s.bytes);
    EXPECT_EQ(Chars(t)[s.to], 0);
    if (!s.reallocates) {
      EXPECT_EQ(t.Block, before);
    }
    // The kept characters survive a change of size class.
    const size_t kept = size_t(std::min(s.from, s.to));
    EXPECT_EQ(Str(t).substr(0, kept), expected.substr(0, kept));
  }
}

TEST_F(WideTextTest, EmptyTextOwnsNoBlock) {
  WideText t = Make(u"abc");
  ASSERT_TRUE(Resize(t, 0));
  EXPECT_EQ(t.Block, nullptr);
  EXPECT_EQ(Count(t), 0u);
  EXPECT_EQ(Chars(t)[0], 0);
  Append(t, u"xyz");
  EXPECT_EQ(Str(t), u"xyz");
  EXPECT_EQ(_msize(t.Block), 72u);

  WideText a = Make(u"abc");
  Assign(a, u"");
  EXPECT_EQ(a.Block, nullptr);
  WideText b = Make(u"abc");
  Assign(b, static_cast<LPCWSTR>(nullptr));
  EXPECT_EQ(b.Block, nullptr);
  WideText c;
  Append(c, u"");
  EXPECT_EQ(c.Block, nullptr);
  WideText d;
  Append(d, c);
  EXPECT_EQ(d.Block, nullptr);
}

TEST_F(WideTextTest, SourceInsideTheTextItselfIsSafe) {
  WideText t = Make(std::u16string(31, u'a') + u"b");  // 32 characters
  Append(t, Chars(t));                                 // grows to 64: new size class
  EXPECT_EQ(Str(t), std::u16string(31, u'a') + u"b" + std::u16string(31, u'a') + u"b");
  Append(t, t);
  EXPECT_EQ(Count(t), 128u);

  WideText s = Make(std::u16string(40, u'a') + u"tail");
  Assign(s, Chars(s) + 40);  // shrinks to another size class
  EXPECT_EQ(Str(s), u"tail");
  Assign(s, s);
  EXPECT_EQ(Str(s), u"tail");
}

TEST_F(WideTextTest, ParentDirectory) {
  const struct {
    std::u16string in, out;
  } cases[] = {
      {u"C:\\dir\\sub\\", u"C:\\dir\\sub"},
      {u"C:\\dir\\sub\\file.dll", u"C:\\dir\\sub"},
      {u"a/b\\c/d", u"a/b"},  // a backslash anywhere wins over a later slash
      {u"a/b/c", u"a/b"},
      {u"\\only", u""},
      {u"/only", u""},
      {u"noseparator", u""},
      {u"", u""},
  };
  for (const auto& c : cases) {
    WideText in = Make(c.in);
    WideText out = ParentDirectory(in);
    EXPECT_EQ(Str(out), c.out) << sim::ToUtf8(c.in);
    EXPECT_EQ(out.Block == nullptr, c.out.empty());
    EXPECT_EQ(Str(in), c.in);
  }
}

TEST_F(WideTextTest, AssignAnsiConvertsThroughTheAnsiCodePage) {
  EXPECT_EQ(AssignAnsi("").Block, nullptr);
  EXPECT_EQ(AssignAnsi(nullptr).Block, nullptr);
  WideText t = AssignAnsi("caf\xe9 \x80");
  EXPECT_EQ(Str(t), u"caf\u00e9 \u20ac");
  EXPECT_EQ(Chars(t)[Count(t)], 0);
  WideText longer = AssignAnsi(std::string(40, 'k').c_str());
  EXPECT_EQ(Count(longer), 40u);
  EXPECT_EQ(_msize(longer.Block), 136u);
}

TEST_F(WideTextTest, CopyDuplicatesTheWholeBlock) {
  EXPECT_EQ(Copy(WideText()).Block, nullptr);
  WideText t = Make(u"abcdefghijklmnopqrst");
  ASSERT_TRUE(Resize(t, 5));  // same size class: the old characters stay in the spare space
  WideText c = Copy(t);
  ASSERT_NE(c.Block, t.Block);
  EXPECT_EQ(Str(c), u"abcde");
  EXPECT_EQ(_msize(c.Block), _msize(t.Block));
  EXPECT_EQ(std::u16string(Chars(c) + 6, 14), u"ghijklmnopqrst");
  Append(c, u"!");
  EXPECT_EQ(Str(t), u"abcde");
}

TEST_F(WideTextTest, DuplicateToGlobal) {
  EXPECT_EQ(DuplicateToGlobal(nullptr), nullptr);
  EXPECT_EQ(DuplicateToGlobal(u""), nullptr);
  EXPECT_TRUE(m.kernel.globalBlocks.empty());

  LPWSTR copy = DuplicateToGlobal(u"C:\\x.dll");
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::u16string(copy), u"C:\\x.dll");
  EXPECT_EQ(m.kernel.globalBlocks.at(copy), 18u);
  GlobalFree(copy);

  sim::AddFault(m, "GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(DuplicateToGlobal(u"x"), nullptr);
}

}  // namespace
