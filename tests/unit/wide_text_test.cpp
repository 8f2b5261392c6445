#include "context/wide_text.h"

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

std::u16string Letters(size_t n) {
  std::u16string s(n, u'x');
  for (size_t i = 0; i < n; ++i) s[i] = char16_t(u'a' + i % 26);
  return s;
}

TEST_F(WideTextTest, BlockSizeFollowsTheCountInStepsOf32Characters) {
  const struct {
    ULONGLONG from, to;
    size_t bytes;  // block bytes after the resize; 0: no block
  } steps[] = {{1, 31, 72},  {31, 32, 136}, {32, 63, 136}, {63, 64, 200},
               {64, 31, 72}, {0, 31, 72},   {3, 0, 0}};
  for (const auto& s : steps) {
    WideText t = Make(Letters(size_t(s.from)));
    const BYTE* before = t.Block;
    ASSERT_TRUE(Resize(t, s.to));
    EXPECT_EQ(Count(t), s.to);
    EXPECT_EQ(s.to ? WideTextBlockBytes(s.to) : 0u, s.bytes);
    EXPECT_TRUE(s.bytes ? _msize(t.Block) >= s.bytes : !t.Block) << s.from << s.to;
    EXPECT_EQ(Chars(t)[s.to], 0);
    // Within a size class the block stays; across one the kept characters survive.
    EXPECT_TRUE(!s.from || !s.to || WideTextBlockBytes(s.from) != s.bytes || t.Block == before);
    const size_t kept = size_t(std::min(s.from, s.to));
    EXPECT_EQ(Str(t).substr(0, kept), Letters(kept));
  }
  for (const char16_t* empty : {u"", static_cast<const char16_t*>(nullptr)}) {
    WideText t = Make(u"abc");
    EXPECT_EQ(Assign(t, empty).Block, nullptr);
    EXPECT_EQ(Append(t, empty).Block, nullptr);
    EXPECT_EQ(Append(t, WideText()).Block, nullptr);
  }
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
  // From the very start of the text, shrinking across a size class.
  WideText f = Make(Letters(40));
  Data(f)[4] = 0;
  Assign(f, Chars(f));
  EXPECT_EQ(Str(f), u"abcd");
}

}  // namespace
