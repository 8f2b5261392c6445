#include "files/pending_renames.h"

#include "machine_fixture.h"
#include "sim/process_control.h"

namespace {

using namespace std::string_literals;
using Bytes = std::vector<uint8_t>;
using unit::Texts;

constexpr char16_t kSessionManager[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char16_t kValue[] = u"PendingFileRenameOperations";
const std::u16string kSys = u"C:\\Windows\\system32\\";

Bytes ToBytes(std::u16string_view text, Bytes extra = {}) {
  Bytes out = unit::Utf16Bytes(text, false);
  out.insert(out.end(), extra.begin(), extra.end());
  return out;
}

// Absent entries read as "", so a present but empty copy would show as "<empty>".
Texts Entries(const PendingRenameTable& t) {
  Texts out;
  for (LONG i = 0; i < 2 * t.PairCount; ++i)
    out.push_back(!t.Strings[i] ? u"" : *t.Strings[i] ? std::u16string(t.Strings[i]) : u"<empty>");
  return out;
}

std::vector<DWORD> Flags(const PendingRenameTable& t) {
  return std::vector<DWORD>(t.Exists, t.Exists + 2 * t.PairCount);
}

class PendingRenamesTest : public unit::MachineTest {
 protected:
  void SetList(std::u16string_view text, DWORD type = REG_MULTI_SZ) {
    sim::SetRegValue(m, HKEY_LOCAL_MACHINE, kSessionManager, kValue, type, ToBytes(text));
  }
  std::u16string File(const std::u16string& path) {
    sim::PutFile(m, path, {'M', 'Z'});
    return path;
  }
};

TEST_F(PendingRenamesTest, ParsingStaysInsideTheValueAndAFailedAllocationLeavesNoTable) {
  const struct {
    Bytes bytes;
    Texts entries;
  } cases[] = {
      {ToBytes(u"\\??\\C:\\\u00fc\u20ac\0\0\0"s), {u"\\??\\C:\\\u00fc\u20ac", u""}},
      {ToBytes(u"a\0b\0c\0\0"s), {u"a", u"b"}},  // an unpaired last string is dropped
      {ToBytes(u"\0\0\0"s), {u"", u""}},
      {ToBytes(u"a\0b\0"s), {u"a", u"b"}},
      {ToBytes(u"a\0\0"s), {}},
      {ToBytes(u"a\0bc"s), {u"a", u"b"}},
      {ToBytes(u"a\0\0\0"s, {'x'}), {u"a", u""}},  // an odd byte count
      {ToBytes(u"a\0\0"s, {'x'}), {}},
      {ToBytes(u"abc"), {}},
      {{}, {}},
      {{'a'}, {}},
  };
  for (const auto& c : cases) {
    // Followed in memory by zeros, as the registry's buffer is, and by text: reading past the
    // value shows either way.
    for (const uint8_t after : {uint8_t(0), uint8_t('Z')}) {
      Bytes buffer = c.bytes;
      buffer.insert(buffer.end(), {after, 0, 'Z', 0, 0, 0, 0, 0, 'Z', 0, 0, 0});
      PendingRenameTable table;
      ParsePendingRenames(buffer.data(), DWORD(c.bytes.size()), table);
      EXPECT_EQ(Entries(table), c.entries) << c.bytes.size();
      EXPECT_EQ(Flags(table), std::vector<DWORD>(c.entries.size(), 0));
    }
  }
  // Each allocation failed in turn (both arrays, then each string): no table, nothing kept.
  const Bytes list = ToBytes(u"a\0b\0\0cd\0\0"s);
  for (uint32_t skip = 0; skip < 5; ++skip) {
    sim::AddFault(m, "GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, 0, skip);
    PendingRenameTable table;
    ParsePendingRenames(list.data(), DWORD(list.size()), table);
    EXPECT_EQ(Entries(table), Texts{}) << skip;
    sim::ClearFaults(m);
  }
}

TEST_F(PendingRenamesTest, ReadingGivesAnEmptyTableForAnythingUnreadable) {
  const struct {
    DWORD type;  // of the value; 0: none
    std::u16string text;
    bool denied, noMemory, read;
  } cases[] = {
      {REG_MULTI_SZ, u"\\??\\C:\\gone.dll\0\0\0"s, false, false, true},
      // The type is not looked at: the same bytes give the same operations.
      {REG_BINARY, u"\\??\\C:\\gone.dll\0\0\0"s, false, false, true},
      {0, u"", false, false, false},
      {REG_MULTI_SZ, u"", false, false, false},
      {REG_MULTI_SZ, u"\\??\\C:\\gone.dll\0\0\0"s, true, false, false},
      {REG_MULTI_SZ, u"\\??\\C:\\gone.dll\0\0\0"s, false, true, false},
  };
  for (const auto& c : cases) {
    Fresh();
    const Bytes earlier = ToBytes(u"C:\\x\0C:\\y\0\0"s);
    PendingRenameTable table;
    ParsePendingRenames(earlier.data(), DWORD(earlier.size()), table);
    if (c.type) SetList(c.text, c.type);
    sim::FindRegKey(m, HKEY_LOCAL_MACHINE, kSessionManager)->accessDenied = c.denied;
    if (c.noMemory) sim::AddFault(m, "GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY);
    table = ReadPendingRenames();  // the earlier table is replaced whole
    const Texts read = {u"\\??\\C:\\gone.dll", u""};
    EXPECT_EQ(Entries(table), c.read ? read : Texts{});
    EXPECT_EQ(Flags(table).size(), c.read ? 2u : 0u);
  }
}

TEST_F(PendingRenamesTest, CleanUpDeletesOnlyPendingDeletionsOfExistingFiles) {
  const std::u16string held = File(kSys + u"held.dll");
  sim::LockFile(m, held);
  sim::MakeDirectories(m, u"C:\\dir.dll");
  const std::u16string list = u"orvinst.exe\0\0"s +  // in the current directory: kept
                              u"\\??\\" + File(u"C:\\a.dll") + u"\0\0"s +  // deleted
                              File(u"C:\\b.dll") + u"\0\0"s +              // deleted: no prefix
                              u"\\??\\" + held + u"\0\0"s +                // locked: stays
                              u"\\??\\C:\\dir.dll\0\0"s +                  // a directory
                              u"\\??\\C:\\missing.dll\0\0"s +              // gone already
                              u"\\??" + File(u"C:\\c.dll") + u"\0\0"s +    // not the prefix
                              u"\\??\\" + File(u"C:\\d.dll") + u"\0\\??\\C:\\e.dll\0"s +  // rename
                              u"\\??\\" + File(u"C:\\f.dll") + u"\0!\\??\\"s + File(u"C:\\g.dll") +
                              u"\0\0"s;
  SetList(list);
  PendingRenameTable table = ReadPendingRenames();
  // "!\??\C:\g.dll" is no file name: only "\??\" is taken off.
  EXPECT_EQ(Flags(table),
            (std::vector<DWORD>{1, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0}));
  CleanPendingRenames(table);
  EXPECT_EQ(Flags(table),
            (std::vector<DWORD>{1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0}));
  EXPECT_NE(sim::FindFile(m, m.kernel.modulePath), nullptr);
  for (const std::u16string& f : {u"C:\\a.dll"s, u"C:\\b.dll"s, held, u"C:\\c.dll"s, u"C:\\f.dll"s})
    EXPECT_EQ(sim::FindFile(m, f) != nullptr, f != u"C:\\a.dll" && f != u"C:\\b.dll");
  EXPECT_TRUE(sim::DirectoryExists(m, u"C:\\dir.dll"));
  // The system's list is only read.
  EXPECT_EQ(sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kSessionManager, kValue)->data, ToBytes(list));
}

}  // namespace
