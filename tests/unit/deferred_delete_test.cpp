#include "files/deferred_delete.h"

#include <functional>

#include "machine_fixture.h"
#include "sim/process_control.h"

namespace {

using Paths = unit::Texts;
const std::u16string kDir = u"C:\\Windows\\system32\\spool\\drivers\\x64\\";

class DeferredDeleteTest : public unit::MachineTest {
 public:
  Paths Listed() const {
    Paths paths;
    for (const PendingDelete* e = context.PendingDeletes; e; e = e->Next) paths.push_back(e->Path);
    return paths;
  }
  void Add(const std::u16string& path) { AddPendingDelete(context.PendingDeletes, path.c_str()); }
  std::u16string File(const char16_t* name) {
    sim::PutFile(m, kDir + name, {'M', 'Z'});
    return kDir + name;
  }
  // The strings of the system's list of operations at restart, empty targets included.
  Paths RebootOperations() {
    const sim::RegValue* v = sim::FindRegValue(
        m, HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
        u"PendingFileRenameOperations");
    Paths strings;
    std::u16string s;
    for (size_t i = 0; v && i + 3 < v->data.size(); i += 2) {  // up to the list's own NUL
      const char16_t c = char16_t(v->data[i] | (v->data[i + 1] << 8));
      if (c == 0) {
        strings.push_back(s);
        s.clear();
      } else {
        s += c;
      }
    }
    return strings;
  }
};

TEST_F(DeferredDeleteTest, AddingKeepsOneEntryPerExactTextNewestFirst) {
  const struct {
    Paths added, listed;
  } cases[] = {
      {{u"C:\\a.dll", u"C:\\b.dll", u"C:\\a.dll"}, {u"C:\\b.dll", u"C:\\a.dll"}},
      {{u"C:\\a.dll", u"C:\\A.DLL", u"C:/a.dll"}, {u"C:/a.dll", u"C:\\A.DLL", u"C:\\a.dll"}},
      {{u"C:\\a.dll", u"C:\\a.dll2", u"C:\\a.dl"}, {u"C:\\a.dl", u"C:\\a.dll2", u"C:\\a.dll"}},
      {{u""}, {}},
  };
  for (const auto& c : cases) {
    ReleasePendingDeletes(context.PendingDeletes);
    for (const auto& path : c.added) Add(path);
    EXPECT_EQ(Listed(), c.listed) << sim::ToUtf8(c.added.back());
  }
  // Without memory for the entry the path is not recorded.
  ReleasePendingDeletes(context.PendingDeletes);
  sim::AddFault(m, "GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY);
  Add(u"C:\\a.dll");
  EXPECT_TRUE(Listed().empty());
  // The entry holds a copy of its own.
  std::u16string path = u"C:\\c.dll";
  Add(path);
  path[3] = u'x';
  EXPECT_EQ(Listed(), Paths{u"C:\\c.dll"});
}

TEST_F(DeferredDeleteTest, EachFileStaysOrGoesByWhyItsDeletionFailed) {
  using Arrange = std::function<void(sim::Machine&, const std::u16string&)>;
  const struct {
    const char* name;
    std::u16string path;
    Arrange arrange;
    bool stays;
  } cases[] = {
      {"deletable", kDir + u"a.dll", [](sim::Machine&, const std::u16string&) {}, false},
      {"already gone", kDir + u"a.dll",
       [](sim::Machine& m, const std::u16string& p) { sim::RemoveFile(m, p); }, false},
      {"open elsewhere", kDir + u"a.dll",
       [](sim::Machine& m, const std::u16string& p) { sim::LockFile(m, p, GENERIC_READ, 1); },
       true},
      {"loaded as a module", kDir + u"a.dll",
       [](sim::Machine& m, const std::u16string& p) { sim::LockFile(m, p, GENERIC_READ, 1, true); },
       true},
      {"read-only", kDir + u"a.dll",
       [](sim::Machine& m, const std::u16string& p) { sim::FindFile(m, p)->attributes = 1; }, true},
      {"directory gone", u"C:\\gone\\a.dll",
       [](sim::Machine& m, const std::u16string& p) {
         sim::RemoveFile(m, p);
         m.fs.dirs.erase(sim::FoldPath(u"C:\\gone"));
       },
       true},
  };
  for (const auto& c : cases) {
    // The list's nodes live on the machine's heap: released before it is made afresh.
    ReleasePendingDeletes(context.PendingDeletes);
    sim::InitDefaultMachine(m);
    Assign(context.LogText, nullptr);
    context.Indent = 2;
    sim::PutFile(m, c.path, {'M', 'Z'});
    c.arrange(m, c.path);
    const bool existed = sim::FindFile(m, c.path) != nullptr;
    Add(c.path);
    DeleteFileTry(context);
    EXPECT_EQ(Log(), u"    DeleteFile-try\r\n") << c.name;
    EXPECT_EQ(context.Indent, 2) << c.name;
    EXPECT_EQ(context.ErrorCount, 0) << c.name;
    EXPECT_EQ(Listed(), c.stays ? Paths{c.path} : Paths{}) << c.name;
    EXPECT_EQ(sim::FindFile(m, c.path) != nullptr, existed && c.stays) << c.name;
  }
}

TEST_F(DeferredDeleteTest, RetryKeepsTheStayingEntriesInOrder) {
  DeleteFileTry(context);  // an empty list still gets its line
  const std::u16string a = File(u"a.dll"), b = File(u"b.dll"), c = File(u"c.dll"),
                       d = File(u"d.dll"), e = File(u"e.dll");
  for (const auto& path : {a, b, c, d, e}) Add(path);  // listed e d c b a
  sim::LockFile(m, b, GENERIC_READ, FILE_SHARE_READ);
  sim::LockFile(m, d, GENERIC_READ, FILE_SHARE_READ);
  DeleteFileTry(context);
  EXPECT_EQ(Listed(), (Paths{d, b}));
  for (const auto& path : {a, c, e}) EXPECT_EQ(sim::FindFile(m, path), nullptr);
  // Freed meanwhile, or deleted by someone else: the next pass drops both without a word.
  sim::UnlockFile(m, d);
  sim::UnlockFile(m, b);
  sim::RemoveFile(m, b);
  DeleteFileTry(context);
  EXPECT_TRUE(Listed().empty());
  EXPECT_EQ(sim::FindFile(m, d), nullptr);
  EXPECT_EQ(Log(), u"DeleteFile-try\r\nDeleteFile-try\r\nDeleteFile-try\r\n");
  EXPECT_EQ(context.ErrorCount, 0);
  Add(a);  // a dropped path may come back
  EXPECT_EQ(Listed(), Paths{a});
}

TEST_F(DeferredDeleteTest, LeftoversAreHandedToTheSystemNewestFirst) {
  EXPECT_EQ(ScheduleRebootDeletes(context), 0u);
  EXPECT_TRUE(RebootOperations().empty());

  const std::u16string older = File(u"kvxdrv64.dll"), newer = File(u"kvxui64.dll");
  const std::u16string lost = u"C:\\gone\\kvxhelp.chm";
  for (const auto& path : {older, newer, lost}) Add(path);
  sim::LockFile(m, older, GENERIC_READ, FILE_SHARE_READ);
  sim::LockFile(m, newer, GENERIC_READ, FILE_SHARE_READ);
  DeleteFileTry(context);
  EXPECT_EQ(ScheduleRebootDeletes(context), 3u);
  EXPECT_EQ(context.PendingDeletes, nullptr);
  EXPECT_EQ(RebootOperations(),
            (Paths{u"\\??\\" + lost, u"", u"\\??\\" + newer, u"", u"\\??\\" + older, u""}));
  sim::Restart(m);
  EXPECT_EQ(sim::FindFile(m, older), nullptr);
  EXPECT_EQ(sim::FindFile(m, newer), nullptr);
}

TEST_F(DeferredDeleteTest, RefusedHandoversAreDroppedAndNotCounted) {
  const struct {
    int refusals;
    DWORD accepted;
  } cases[] = {{2, 0}, {1, 1}};
  for (const auto& c : cases) {
    Add(u"C:\\x\\a.dll");
    Add(u"C:\\x\\b.dll");
    sim::AddFault(m, "MoveFileExW", ERROR_ACCESS_DENIED, c.refusals);
    EXPECT_EQ(ScheduleRebootDeletes(context), c.accepted);
    EXPECT_EQ(context.PendingDeletes, nullptr);
  }
  // The newer path went first, so it was the one refused.
  EXPECT_EQ(RebootOperations(), (Paths{u"\\??\\C:\\x\\a.dll", u""}));
}

}  // namespace
