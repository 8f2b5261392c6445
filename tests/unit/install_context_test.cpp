#include "spooler/queue_record.h"
#include "context/install_context.h"

#include <cstring>

#include "machine_fixture.h"

namespace {

std::u16string Str(const WideText& t) {
  return std::u16string(Chars(t), size_t(Count(t)));
}

class InstallContextTest : public unit::MachineTest {};

TEST_F(InstallContextTest, HealthyConstruction) {
  InstallContext& c = context;
  BuildInstallContext(c);
  EXPECT_EQ(Log(), u"Orvalstone 2300\r\n>Check Spooler\r\n");
  EXPECT_EQ(c.ErrorCount, 0);
  EXPECT_EQ(c.Indent, 0);
  EXPECT_EQ(Str(c.ModuleDir), u"C:\\Program Files\\Orvalstone\\Setup\\");
  EXPECT_EQ(Str(c.SystemDir), u"C:\\Windows\\system32\\");
  EXPECT_EQ(Str(c.DriverDir), u"C:\\Windows\\system32\\spool\\drivers\\x64\\");
  EXPECT_EQ(std::u16string(c.Environment), u"Windows x64");
  EXPECT_EQ(std::u16string(c.MonitorFile), u"kvxmon64.dll");
  EXPECT_EQ(std::u16string(c.DriverFile), u"kvxdrv64.dll");
  EXPECT_EQ(std::u16string(c.UiFile), u"kvxui64.dll");
  EXPECT_EQ(std::u16string(c.HelpFile), u"kvxhelp.chm");
  EXPECT_EQ(c.CheckMonitorVersion, 0);
  EXPECT_EQ(c.InstallMonitor, 1);
  EXPECT_EQ(c.CopyMonitor, 1);
  EXPECT_EQ(c.PrinterSnapshot.Count, 1u);
  EXPECT_FALSE(c.RedirectedPrinters);
}

TEST_F(InstallContextTest, ModuleDirectoryKeepsItsSeparator) {
  const std::u16string deep = u"C:\\" + std::u16string(300, u'd') + u"\\";
  const struct {
    std::u16string path, dir;
  } cases[] = {
      {u"C:\\dir\\setup\\prog.exe", u"C:\\dir\\setup\\"},
      {u"C:prog.exe", u"C:"},
      {u"\\\\server/share/prog.exe", u"\\\\server/share/"},
      {u"prog.exe", u""},
      {deep + u"prog.exe", deep},  // longer than MAX_PATH: asked again, never cut
  };
  for (const auto& k : cases) {
    m.kernel.modulePath = k.path;
    InstallContext c;
    BuildInstallContext(c);
    EXPECT_EQ(Str(c.ModuleDir), k.dir) << sim::ToUtf8(k.path);
  }
}

TEST_F(InstallContextTest, DirectoriesGetOneTrailingBackslash) {
  const struct {
    std::u16string reported, kept;
  } cases[] = {
      {u"C:\\Windows\\system32", u"C:\\Windows\\system32\\"},
      {u"D:\\WINNT\\System32\\", u"D:\\WINNT\\System32\\"},
  };
  for (const auto& k : cases) {
    m.kernel.systemDir = k.reported;
    InstallContext c;
    BuildInstallContext(c);
    EXPECT_EQ(Str(c.SystemDir), k.kept);
    // The spooler reports its directory without one.
    EXPECT_EQ(Str(c.DriverDir), u"C:\\Windows\\system32\\spool\\drivers\\x64\\");
  }
}

TEST_F(InstallContextTest, MissingDirectoriesAreLoggedAndConstructionGoesOn) {
  sim::AddFault(m, "GetPrinterDriverDirectoryW", ERROR_ACCESS_DENIED);
  sim::AddFault(m, "GetSystemDirectoryW", ERROR_INVALID_PARAMETER);
  InstallContext& c = context;
  BuildInstallContext(c);
  EXPECT_EQ(Log(),
            u"Orvalstone 2300\r\n>Check Spooler\r\n"
            u"Error(6): Can`t retrieve printer driver directory. - (Access is denied.)\r\n"
            u"Error(7): Can`t retrieve system directory. - (The parameter is incorrect.)\r\n");
  EXPECT_EQ(c.ErrorCount, 2);
  EXPECT_EQ(c.DriverDir.Block, nullptr);
  EXPECT_EQ(c.SystemDir.Block, nullptr);
  EXPECT_EQ(std::u16string(c.HelpFile), u"kvxhelp.chm");
  EXPECT_EQ(Str(c.ModuleDir), u"C:\\Program Files\\Orvalstone\\Setup\\");
}

TEST_F(InstallContextTest, SpoolerStates) {
  // Stopped but starting within the wait: no error line.
  Spooler().state = SERVICE_STOPPED;
  {
    InstallContext c;
    BuildInstallContext(c);
    EXPECT_EQ(Str(c.LogText), u"Orvalstone 2300\r\n>Check Spooler\r\n");
    EXPECT_TRUE(sim::SpoolerRunning(m));
  }
  // Disabled: error 4 one level down, and the rest of the context is still built.
  Spooler().state = SERVICE_STOPPED;
  Spooler().disabled = true;
  InstallContext c;
  BuildInstallContext(c);
  const std::u16string log = Str(c.LogText);
  EXPECT_EQ(log.find(u"Orvalstone 2300\r\n>Check Spooler\r\n  Error(4): Can't start the spooler"),
            0u);
  EXPECT_EQ(c.Indent, 0);
  EXPECT_GE(c.ErrorCount, 1);
  EXPECT_EQ(Str(c.SystemDir), u"C:\\Windows\\system32\\");
  EXPECT_EQ(std::u16string(c.HelpFile), u"kvxhelp.chm");
}

TEST_F(InstallContextTest, TeardownReleasesEverythingTheContextOwns) {
  {
    InstallContext c;
    BuildInstallContext(c);
    for (const char16_t* path : {u"C:\\a.dll", u"C:\\b.dll"}) {
      auto* node = static_cast<PendingDelete*>(GlobalAlloc(GPTR, sizeof(PendingDelete)));
      node->Path = DuplicateToGlobal(path);
      node->Next = c.PendingDeletes;
      c.PendingDeletes = node;
    }
    c.SavedPrinters = NewSavedPrinter(u"Q", "key", u"comment", u"location", TRUE);
    c.RedirectedPrinters.reset(
        static_cast<PRINTER_INFO_2W**>(GlobalAlloc(GPTR, 2 * sizeof(PRINTER_INFO_2W*))));
    c.RedirectedPrinters.get()[0] = PrinterRecords(c.PrinterSnapshot);
    EXPECT_FALSE(m.kernel.globalBlocks.empty());

    TearDownInstallContext(c);
    EXPECT_TRUE(m.kernel.globalBlocks.empty());
    EXPECT_EQ(c.PendingDeletes, nullptr);
    EXPECT_EQ(c.SavedPrinters, nullptr);
    EXPECT_FALSE(c.RedirectedPrinters);
    EXPECT_FALSE(c.PrinterSnapshot.Buffer);
    EXPECT_EQ(c.PrinterSnapshot.Count, 0u);
    for (const WideText* t : {&c.ModuleDir, &c.SystemDir, &c.LogText, &c.DriverDir}) {
      EXPECT_EQ(t->Block, nullptr);
    }
  }  // and the destructor after an explicit teardown releases nothing twice
  EXPECT_TRUE(m.kernel.globalBlocks.empty());
  EXPECT_TRUE(m.kernel.localBlocks.empty());
}

}  // namespace
