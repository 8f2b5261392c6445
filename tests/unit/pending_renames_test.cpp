#include "files/pending_renames.h"
#include "spooler/probes.h"

#include <functional>

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

// Absent entries read as "", so a present but empty copy shows as "<empty>".
Texts Entries(const PendingRenameTable& t) {
  Texts out;
  for (LONG i = 0; i < 2 * t.PairCount; ++i) {
    out.push_back(!t.Strings[i] ? u"" : *t.Strings[i] ? std::u16string(t.Strings[i]) : u"<empty>");
  }
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
  bool Exists(const std::u16string& path) { return sim::FindFile(m, path) != nullptr; }
};

TEST_F(PendingRenamesTest, ParsingStaysInsideTheValue) {
  const struct {
    const char* name;
    Bytes bytes;
    Texts entries;
  } cases[] = {
      {"one deletion, characters above 0xFF",
       ToBytes(u"\\??\\C:\\\u00fc\u20ac\0\0\0"s),
       {u"\\??\\C:\\\u00fc\u20ac", u""}},
      {"unpaired last string", ToBytes(u"a\0b\0c\0\0"s), {u"a", u"b"}},
      {"empty source and target", ToBytes(u"\0\0\0"s), {u"", u""}},
      {"no closing NUL after a rename", ToBytes(u"a\0b\0"s), {u"a", u"b"}},
      {"no closing NUL after a deletion", ToBytes(u"a\0\0"s), {}},
      {"last string unterminated", ToBytes(u"a\0bc"s), {u"a", u"b"}},
      {"odd byte count", ToBytes(u"a\0\0\0"s, {'x'}), {u"a", u""}},
      {"odd byte count, stray byte after the list", ToBytes(u"a\0\0"s, {'x'}), {}},
      {"no terminator at all", ToBytes(u"abc"), {}},
      {"empty", {}, {}},
      {"one byte", {'a'}, {}},
  };
  for (const auto& c : cases) {
    // What follows the value in memory is not NUL: reading past it would show.
    Bytes buffer = c.bytes;
    buffer.insert(buffer.end(), {'Z', 0, 'Z', 0, 0, 0, 0, 0, 'Z', 0, 0, 0});
    PendingRenameTable table;
    ParsePendingRenames(buffer.data(), DWORD(c.bytes.size()), table);
    EXPECT_EQ(Entries(table), c.entries) << c.name;
    EXPECT_EQ(Flags(table), std::vector<DWORD>(c.entries.size(), 0)) << c.name;
    ReleasePendingRenames(table);
    EXPECT_EQ(table.PairCount, 0);
  }
}

TEST_F(PendingRenamesTest, ReadingGivesAnEmptyTableForAnythingUnreadable) {
  const Texts deletion = {u"\\??\\C:\\gone.dll", u""};
  const std::u16string text = u"\\??\\C:\\gone.dll\0\0\0"s;
  const struct {
    const char* name;
    std::function<void(sim::Machine&)> arrange;
    Texts entries;
  } cases[] = {
      {"multi-string", [&](sim::Machine&) { SetList(text); }, deletion},
      // The type is not looked at: the same bytes give the same operations.
      {"binary", [&](sim::Machine&) { SetList(text, REG_BINARY); }, deletion},
      {"no value", [](sim::Machine&) {}, {}},
      {"empty value", [&](sim::Machine&) { SetList(u""); }, {}},
      {"key denied",
       [&](sim::Machine& m) {
         SetList(text);
         sim::FindRegKey(m, HKEY_LOCAL_MACHINE, kSessionManager)->accessDenied = true;
       },
       {}},
      {"key missing",
       [](sim::Machine& m) {
         auto& keys =
             sim::FindRegKey(m, HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control")->subkeys;
         erase_if(keys, [](const sim::RegKey& k) { return k.name == u"Session Manager"; });
       },
       {}},
      {"no memory",
       [&](sim::Machine& m) {
         SetList(text);
         sim::AddFault(m, "GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY);
       },
       {}},
  };
  for (const auto& c : cases) {
    Fresh();
    c.arrange(m);
    PendingRenameTable table = ReadPendingRenames();
    EXPECT_EQ(Entries(table), c.entries) << c.name;
    ReleasePendingRenames(table);
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
  ASSERT_EQ(table.PairCount, 9);
  // "!\??\C:\g.dll" is no file name: only "\??\" is taken off.
  EXPECT_EQ(Flags(table),
            (std::vector<DWORD>{1, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0}));
  CleanPendingRenames(table);
  EXPECT_EQ(Flags(table),
            (std::vector<DWORD>{1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0}));
  EXPECT_TRUE(Exists(m.kernel.modulePath));
  ReleasePendingRenames(table);
  for (const char16_t* gone : {u"C:\\a.dll", u"C:\\b.dll"})
    EXPECT_FALSE(Exists(gone)) << sim::ToUtf8(gone);
  for (const std::u16string& kept : {held, u"C:\\c.dll"s, u"C:\\d.dll"s, u"C:\\f.dll"s}) {
    EXPECT_TRUE(Exists(kept)) << sim::ToUtf8(kept);
  }
  EXPECT_TRUE(sim::DirectoryExists(m, u"C:\\dir.dll"));
  // The system's list is only read.
  EXPECT_EQ(sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kSessionManager, kValue)->data, ToBytes(list));
}

TEST_F(PendingRenamesTest, PendingModulesRestartTheSpoolerAtMostTwice) {
  const std::u16string monitor = kSys + u"kvxmon64.dll";
  const struct {
    const char* name;
    std::function<std::u16string(sim::Machine&)> arrange;  // gives the list
    bool pending;
    uint32_t restarts;
    bool monitorLeft;  // the file kvxmon64.dll in the system directory
  } cases[] = {
      {"nothing pending", [](sim::Machine&) { return u""s; }, false, 0, false},
      {"deletable module", [&](sim::Machine&) { return u"\\??\\" + File(monitor) + u"\0\0\0"s; },
       false, 0, false},
      {"held while the spooler runs",
       [&](sim::Machine& m) {
         m.spooler.monitors.push_back({u"Orvalstone:", u"Windows x64", u"kvxmon64.dll", {}});
         return u"\\??\\" + File(monitor) + u"\0\0\0"s;
       },
       true, 2, true},
      {"freed while the spooler restarts",
       [&](sim::Machine& m) {
         File(monitor);
         sim::LockFile(m, monitor, GENERIC_READ, FILE_SHARE_READ, true);
         sim::UnlockFile(m, monitor, 1);
         return u"\\??\\" + monitor + u"\0\0\0"s;
       },
       false, 1, false},
      {"rename, name in capitals",
       [&](sim::Machine&) { return File(kSys + u"KVXUI64.DLL") + u"\0C:\\x\0\0"s; }, true, 2,
       false},
      {"name after a drive colon (the setup's own copy)",
       [](sim::Machine&) { return u"\\??\\C:kvxdrv64.dll\0C:\\x\0\0"s; }, true, 2, false},
      {"name after a slash",
       [&](sim::Machine&) {
         File(monitor);
         return u"C:/Windows/system32/kvxmon64.dll\0C:\\x\0\0"s;
       },
       true, 2, true},
      {"help file and look-alike names",
       [&](sim::Machine&) {
         return File(kSys + u"kvxhelp.chm") + u"\0C:\\x\0"s + File(kSys + u"kvxmon64.dll.old") +
                u"\0C:\\x\0"s + File(kSys + u"old_kvxui64.dll") + u"\0C:\\x\0\0"s;
       },
       false, 0, false},
  };
  for (const auto& c : cases) {
    Fresh();
    SetList(c.arrange(m));
    EXPECT_EQ(CheckPendingModules(), c.pending) << c.name;
    EXPECT_EQ(Spooler().stops, c.restarts) << c.name;
    EXPECT_EQ(Spooler().starts, c.restarts) << c.name;
    EXPECT_TRUE(sim::SpoolerRunning(m)) << c.name;
    // A module the clean-up could not delete stays for the next start.
    EXPECT_EQ(Exists(monitor), c.monitorLeft) << c.name;
  }
}

}  // namespace
