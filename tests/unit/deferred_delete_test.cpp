#include "files/deferred_delete.h"

#include <functional>

#include "machine_fixture.h"
#include "sim/process_control.h"

namespace {

using Paths = unit::Texts;
const std::u16string kDir = u"C:\\Windows\\system32\\spool\\drivers\\x64\\";

class DeferredDeleteTest : public unit::MachineTest {
 public:
  bool Add(const std::u16string& path) {
    return AddPendingDelete(context.PendingDeletes, path.c_str());
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
    context.PendingDeletes.reset();
    for (const auto& path : c.added) EXPECT_TRUE(Add(path));  // a path listed already is no failure
    EXPECT_EQ(PendingPaths(), c.listed) << sim::ToUtf8(c.added.back());
  }
  // Without memory for the entry or its copy of the path, nothing is recorded.
  context.PendingDeletes.reset();
  for (uint32_t skip : {0u, 1u}) {
    sim::AddFault(m, "GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, 0, skip);
    EXPECT_FALSE(Add(u"C:\\a.dll"));
    EXPECT_TRUE(PendingPaths().empty());
  }
  // A held file that cannot even be listed is an error that says why.
  const std::u16string held = kDir + u"kvxui64.dll";
  sim::PutFile(m, held, {'M', 'Z'});
  sim::LockFile(m, held, 0x80000000, FILE_SHARE_READ, true);
  sim::AddFault(m, "GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY);
  DeleteOrListFile(context, held.c_str());
  EXPECT_EQ(Log(), u"Error(28): Can`t delete " + held +
                       u" - (Not enough memory resources are available to complete this "
                       u"operation.)\r\n");
}

TEST_F(DeferredDeleteTest, RetryDropsWhatIsGoneAndKeepsWhatIsHeldInOrder) {
  using Arrange = std::function<void(sim::Machine&, const std::u16string&)>;
  const Arrange none = [](sim::Machine&, const std::u16string&) {};
  const struct {
    const char* name;
    Arrange arrange;
    bool stays;
  } cases[] = {
      {"deletable", none, false},
      {"already gone", [](sim::Machine& m, const std::u16string& p) { sim::RemoveFile(m, p); },
       false},
      {"open elsewhere",
       [](sim::Machine& m, const std::u16string& p) { sim::LockFile(m, p, GENERIC_READ, 1); },
       true},
      {"loaded as a module",
       [](sim::Machine& m, const std::u16string& p) { sim::LockFile(m, p, GENERIC_READ, 1, true); },
       true},
      {"read-only",
       [](sim::Machine& m, const std::u16string& p) { sim::FindFile(m, p)->attributes = 1; }, true},
  };
  // One file per case, listed newest first; each case's file stays or goes by itself.
  Paths staying;
  for (const auto& c : cases) {
    const std::u16string path = kDir + sim::FromUtf8(c.name) + u".dll";
    sim::PutFile(m, path, {'M', 'Z'});
    c.arrange(m, path);
    Add(path);
    if (c.stays) staying.insert(staying.begin(), path);
  }
  DeleteOrListFile(context, (kDir + u"open elsewhere.dll").c_str());  // listed already
  context.Indent = 2;
  DeleteFileTry(context);
  EXPECT_EQ(PendingPaths(), staying);
  EXPECT_EQ(Log(), u"    DeleteFile-try\r\n");
  for (const auto& c : cases) {
    EXPECT_EQ(sim::FindFile(m, kDir + sim::FromUtf8(c.name) + u".dll") != nullptr, c.stays)
        << c.name;
  }
  EXPECT_EQ(context.ErrorCount, 0);

  // What is left goes to the system, newest first; a refused path is dropped uncounted.
  sim::AddFault(m, "MoveFileExW", ERROR_ACCESS_DENIED, 1, 0, 1);
  EXPECT_EQ(ScheduleRebootDeletes(context), 2u);
  EXPECT_FALSE(context.PendingDeletes);
  EXPECT_EQ(MultiSz(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                    u"PendingFileRenameOperations"),
            (Paths{u"\\??\\" + staying[0], u"", u"\\??\\" + staying[2], u""}));
  EXPECT_EQ(context.ErrorCount, 1);  // the refused one is still on the disk
  sim::Restart(m);
  EXPECT_EQ(sim::FindFile(m, staying[0]), nullptr);
  EXPECT_EQ(ScheduleRebootDeletes(context), 0u);
}

}  // namespace
