#include "context/install_context.h"

#include "machine_fixture.h"

namespace {

std::u16string Str(const WideText& t) {
  return t.Block ? std::u16string(Chars(t), size_t(Count(t))) : u"<none>";
}

using InstallContextTest = unit::MachineTest;

TEST_F(InstallContextTest, DirectoriesKeepOneTrailingSeparatorAndFailuresAreLogged) {
  const std::u16string setup = u"C:\\Program Files\\Orvalstone\\Setup\\";
  const std::u16string system = u"C:\\Windows\\system32\\";
  const std::u16string deep = u"C:\\" + std::u16string(300, u'd') + u"\\";
  const std::u16string head = u"Orvalstone 2300\r\n>Check Spooler\r\n";
  const struct {
    std::u16string modulePath, systemDir;  // empty: the default machine's
    const char* fault;
    std::u16string moduleDir, systemDirKept, driverDir, log;
    uint32_t skip = 0;  // calls of the failing API that succeed first
  } cases[] = {
      {u"", u"", nullptr, setup, system, system + u"spool\\drivers\\x64\\", head},
      {u"C:prog.exe", u"C:\\Windows\\system32", nullptr, u"C:", system, u"", head},
      {u"\\\\server/share/prog.exe", u"D:\\WINNT\\System32\\", nullptr, u"\\\\server/share/",
       u"D:\\WINNT\\System32\\", u"", head},
      {u"prog.exe", u"", nullptr, u"<none>", system, u"", head},
      // Longer than MAX_PATH: asked again with room enough, never cut or overrun.
      {deep + u"prog.exe", deep + u"system32", nullptr, deep, deep + u"system32\\", u"", head},
      // Without memory for the longer path, no directory rather than a cut one.
      {deep + u"prog.exe", u"", "GlobalAlloc", u"<none>", system, u"", head, 1},
      // Longer than any path the system hands out: not taken.
      {u"C:\\" + std::u16string(40000, u'd') + u"\\p.exe", u"", nullptr, u"<none>", system, u"",
       head},
      {u"", u"", "GetPrinterDriverDirectoryW", setup, system, u"<none>",
       head + u"Error(6): Can`t retrieve printer driver directory. - (Access is denied.)\r\n"},
      {u"", u"", "GetSystemDirectoryW", setup, u"<none>", u"",
       head + u"Error(7): Can`t retrieve system directory. - (Access is denied.)\r\n"},
  };
  for (const auto& c : cases) {
    Fresh();
    if (!c.modulePath.empty()) m.kernel.modulePath = c.modulePath;
    if (!c.systemDir.empty()) m.kernel.systemDir = c.systemDir;
    if (c.fault) sim::AddFault(m, c.fault, ERROR_ACCESS_DENIED, 1, 0, c.skip);
    BuildInstallContext(context);
    EXPECT_EQ(Str(context.ModuleDir), c.moduleDir) << sim::ToUtf8(c.modulePath).size();
    EXPECT_EQ(Str(context.SystemDir), c.systemDirKept);
    // The spooler reports its directory without a trailing backslash.
    EXPECT_TRUE(c.driverDir.empty() || Str(context.DriverDir) == c.driverDir);
    EXPECT_EQ(Log(), c.log);
    EXPECT_EQ(context.ErrorCount, c.log == head ? 0 : 1);
    EXPECT_EQ(std::u16string(context.HelpFile), u"kvxhelp.chm");
  }
  // A spooler that will not start is logged one level down; the rest is built all the same.
  Fresh();
  Spooler().state = SERVICE_STOPPED;
  Spooler().disabled = true;
  BuildInstallContext(context);
  EXPECT_EQ(Log().rfind(head + u"  Error(4): Can't start the spooler", 0), 0u);
  EXPECT_EQ(context.Indent, 0);
  EXPECT_EQ(Str(context.SystemDir), system);
}

}  // namespace
