#include "spooler/monitor.h"

#include <cstring>
#include <optional>

#include "machine_fixture.h"

namespace {

// A list holding a global-heap copy of the given records, as an enumeration leaves one.
MonitorList ListOf(const void* records, size_t bytes, DWORD level, DWORD count) {
  MonitorList list;
  list.Buffer.reset(static_cast<BYTE*>(GlobalAlloc(GPTR, bytes)));
  std::memcpy(list.Buffer.get(), records, bytes);
  list.Level = level;
  list.Count = count;
  return list;
}

using unit::Texts;
const std::u16string kSystem = u"C:\\Windows\\system32\\";
const std::u16string kModule = kSystem + u"kvxmon64.dll";

class MonitorTest : public unit::MachineTest {
 protected:
  // The monitor's module in the system directory (without a build: no version resource), and
  // the monitor registered with it. The file version differs: only the product version counts.
  void PutModule(std::optional<uint16_t> build, bool registered) {
    std::optional<sim::VersionInfo> v;
    if (build) v = sim::VersionInfo{{9, 9, 9, 1}, {1, 2, 3, *build}};
    std::vector<uint8_t> module(512, 'm');
    std::copy(sim::kMonitorEntryPoint.begin(), sim::kMonitorEntryPoint.end(), module.begin() + 2);
    sim::PutFile(m, kModule, module, v);
    if (registered)
      m.spooler.monitors.push_back(
          {u"Orvalstone:", u"Windows x64", u"kvxmon64.dll", {u"Orvalstone:"}});
  }
};

TEST_F(MonitorTest, ModuleThatIsNotNamedIsNeverDeletedAndRegistrationIsTriedFiveTimes) {
  WCHAR name[] = u"Orvalstone:", env[] = u"Windows x64", module[] = u"kvxmon64.dll", empty[] = u"",
        dot[] = u".", dots[] = u"..", dotted[] = u"..dll";
  // "." and ".." name the system directory and its parent; "..dll" is a file name.
  for (LPWSTR dllName : {module, static_cast<LPWSTR>(nullptr), empty, dot, dots, dotted}) {
    Fresh();
    PutModule(2072, true);
    Build();
    sim::AddFault(m, "DeleteFileW", ERROR_SHARING_VIOLATION);
    MONITOR_INFO_2W record = {name, env, dllName};
    DeleteMonitor(context, ListOf(&record, sizeof record, 2, 1));
    const bool named = dllName == module || dllName == dotted;
    EXPECT_EQ(Log().find(u"  Monitor file name is unknown, no file deleted\r\n") != Log().npos,
              !named);
    // Only a named module goes to the deletions retried later; never the directory.
    EXPECT_EQ(PendingPaths(), named ? Texts{kSystem + dllName} : Texts{});
  }
  for (const int failures : {2, 5}) {
    Fresh();
    PutModule(2300, false);
    Build();
    context.CopyMonitor = 0;
    sim::AddFault(m, "AddMonitorW", ERROR_ACCESS_DENIED, failures);
    AddMonitor(context);
    const bool ok = failures < 5;
    EXPECT_EQ(Log(), unit::ExpectedLog(
                         "monitor", "registration failed " + std::to_string(failures) + " times"));
    EXPECT_EQ(m.sleptMs, ok ? 100u : 200u);
    EXPECT_EQ(sim::FindMonitor(m, u"Orvalstone:") != nullptr, ok);
  }
}

}  // namespace
