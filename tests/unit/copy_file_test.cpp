#include "files/copy_file.h"

#include <functional>

#include "machine_fixture.h"
#include "sim/process_control.h"

namespace {

const std::u16string kSetup = u"C:\\Program Files\\Orvalstone\\Setup\\";
const std::u16string kDrivers = u"C:\\Windows\\system32\\spool\\drivers\\x64\\";
const std::u16string kSource = kSetup + u"kvxdrv64.dll";
const std::u16string kStaged = kDrivers + u"kvxdrv64.dll";

// A stale staged copy that another process holds open without sharing.
void LockStaged(sim::Machine& m) {
  sim::PutFile(m, kStaged, std::vector<uint8_t>(100, 1));
  sim::LockFile(m, kStaged, GENERIC_READ, 0);
}

class CopyFileTest : public unit::MachineTest {
 public:
  CopyFileTest() { Renew(); }
  void Renew() {
    Fresh();
    Build();  // only the copy's own lines
  }
  HRESULT Copy(const std::u16string& directory, bool report = true,
               const std::u16string& file = u"kvxdrv64.dll") {
    out.assign(kPathBufferUnits, u'#');
    return CopyFile(context, directory.c_str(), file.c_str(), out.data(), out.size(), report);
  }
  size_t CallsTo(const std::string& api, const std::u16string& path = u"") const {
    size_t n = 0;
    for (const auto& c : m.calls)
      n += c.api == api && (path.empty() || c.args == sim::ToUtf8(path));
    return n;
  }
  std::vector<uint8_t> Contents(const std::u16string& path) {
    const sim::SimFile* f = sim::FindFile(m, path);
    return f ? f->data : std::vector<uint8_t>{};
  }
  std::vector<char16_t> out;
};

TEST_F(CopyFileTest, DestinationPathsAndTheTwoLinesOfASuccessfulCopy) {
  const struct {
    std::u16string directory, path;
  } cases[] = {
      {kDrivers, kStaged},
      {u"C:\\Windows\\Temp", u"C:\\Windows\\Temp\\kvxdrv64.dll"},
      {u"C:\\Windows\\Temp/", u"C:\\Windows\\Temp/\\kvxdrv64.dll"},
  };
  for (const auto& c : cases) {
    Renew();
    sim::PutFile(m, c.path, std::vector<uint8_t>(50000, 7));  // a longer stale copy
    context.Indent = 1;
    EXPECT_EQ(Copy(c.directory), S_OK);
    // The header shows the directory as the caller gave it.
    EXPECT_EQ(Log(), u"  >CopyFile kvxdrv64.dll to " + c.directory +
                         u" [1])\r\n    Copy Succeeded :)\r\n");
    EXPECT_EQ(context.Indent, 1);
    EXPECT_EQ(context.ErrorCount, 0);
    EXPECT_EQ(std::u16string(out.data()), c.path);
    EXPECT_EQ(Contents(c.path), Contents(kSource)) << sim::ToUtf8(c.path);
  }
  // Nothing is copied from or to a relative place: no directory, a drive's current one, no
  // module directory. Nothing is opened, and the caller's buffer stays empty.
  const struct {
    std::u16string directory;
    bool moduleDir;
    int error;
  } refused[] = {{u"", true, 9}, {u"C:", true, 9}, {kDrivers, false, 10}};
  for (const auto& c : refused) {
    Renew();
    if (!c.moduleDir) Assign(context.ModuleDir, nullptr);
    EXPECT_EQ(Copy(c.directory), E_FAIL);
    EXPECT_EQ(std::u16string(out.data()), u"");
    EXPECT_EQ(CallsTo("CreateFileW"), 0u);
    EXPECT_NE(Log().find(u"Error(" + sim::FromUtf8(std::to_string(c.error)) + u")"),
              std::u16string::npos);
  }
}

TEST_F(CopyFileTest, FilesOfEverySizeAreCopiedWhole) {
  const struct {
    size_t size, reads;
  } cases[] = {{0, 1}, {1, 1}, {8191, 1}, {8192, 2}, {8193, 2}, {16384, 3}, {20000, 3}};
  for (const auto& c : cases) {
    Renew();
    std::vector<uint8_t> data(c.size);
    for (size_t i = 0; i < c.size; ++i) data[i] = uint8_t(i * 31 + 7);
    sim::PutFile(m, kSource, data);
    EXPECT_EQ(Copy(kDrivers), S_OK) << c.size;
    EXPECT_EQ(Contents(kStaged), data) << c.size;
    EXPECT_EQ(CallsTo("ReadFile"), c.reads) << c.size;
  }
}

TEST_F(CopyFileTest, FailuresAndWhatTheyLog) {
  const std::u16string tooLong = u"C:\\" + std::u16string(252, u'd') + u"\\";  // 268 with name
  const std::u16string sharing =
      u" - (The process cannot access the file because it is being used by another process.)";
  const struct {
    const char* name;
    std::function<void(sim::Machine&)> arrange;
    std::u16string directory;
    bool report;
    std::u16string lines;  // between the header and the verdict
    uint64_t sleptMs;
    size_t written;  // bytes the destination holds afterwards (0 also when missing)
  } cases[] = {
      {"source missing", [](sim::Machine& m) { sim::RemoveFile(m, kSource); }, kDrivers, true,
       u"  Error(10): Cant't open source file: kvxdrv64.dll - (The system cannot find the file "
       u"specified.)\r\n",
       0, 0},
      {"source missing, silent", [](sim::Machine& m) { sim::RemoveFile(m, kSource); }, kDrivers,
       false, u"", 0, 0},
      {"destination locked for good", LockStaged, kDrivers, true,
       u"  Error(9): Cant't open destination file: " + kStaged + sharing + u"\r\n", 5000, 100},
      {"destination locked, silent", LockStaged, kDrivers, false, u"", 5000, 100},
      {"destination directory missing", [](sim::Machine&) {}, u"C:\\nowhere", true,
       u"  Error(9): Cant't open destination file: C:\\nowhere\\kvxdrv64.dll - (The system cannot "
       u"find the path specified.)\r\n",
       5000, 0},
      {"short write, reported even when silent",
       [](sim::Machine& m) {
         m.fs.ioFaults.push_back({kStaged, "write", "short", 0, 10000});
       },
       kDrivers, false, u"  Error(8): CopyFile(..," + kStaged + u")\r\n", 0, 10000},
      {"failing write",
       [](sim::Machine& m) {
         m.fs.ioFaults.push_back({kStaged, "write", "fail", 5, 0});
       },
       kDrivers, true, u"  Error(8): CopyFile(..," + kStaged + u") - (Access is denied.)\r\n", 0,
       0},
      {"read failing part way",
       [](sim::Machine& m) {
         m.fs.ioFaults.push_back({kSource, "read", "fail", 0, 16384});
       },
       kDrivers, false, u"  Error(8): CopyFile(..," + kStaged + u") - (Incorrect function.)\r\n", 0,
       16384},
      {"path too long, silent", [](sim::Machine&) {}, tooLong, false, u"", 0, 0},
  };
  for (const auto& c : cases) {
    Renew();
    c.arrange(m);
    EXPECT_EQ(Copy(c.directory, c.report), E_FAIL) << c.name;
    EXPECT_EQ(Log(), u">CopyFile kvxdrv64.dll to " + c.directory + u" [" +
                         (c.report ? u"1" : u"0") + u"])\r\n" + c.lines + u"  Copy Failed :(\r\n")
        << c.name;
    EXPECT_EQ(context.ErrorCount, c.lines.empty() ? 0 : 1) << c.name;
    EXPECT_EQ(context.Indent, 0) << c.name;
    EXPECT_EQ(m.sleptMs, c.sleptMs) << c.name;
    // The caller has the destination even when the copy failed (never a cut one).
    const std::u16string separator = c.directory.ends_with(u'\\') ? u"" : u"\\";
    const std::u16string expected = c.directory + separator + u"kvxdrv64.dll";
    EXPECT_EQ(std::u16string(out.data()), c.directory == tooLong ? u"" : expected) << c.name;
    EXPECT_EQ(Contents(expected).size(), c.written) << c.name;
    // Every handle was closed: both files can be deleted now.
    sim::UnlockFile(m, kStaged);
    for (const std::u16string& path : {kSource, kStaged}) {
      if (sim::FindFile(m, path)) {
        EXPECT_TRUE(DeleteFileW(path.c_str())) << c.name;
      }
    }
  }
}

TEST_F(CopyFileTest, DestinationThatDoesNotFitTheCallersBufferIsRefused) {
  // 263 characters and the terminator fit; one more does not.
  const std::u16string fits = u"C:\\" + std::u16string(247, u'd');
  const std::u16string deeper = fits + u"d\\";
  sim::MakeDirectories(m, fits);
  EXPECT_EQ(Copy(fits), S_OK);
  EXPECT_EQ(std::u16string(out.data()).size(), 263u);

  sim::MakeDirectories(m, deeper);
  Assign(context.LogText, nullptr);
  m.calls.clear();
  EXPECT_EQ(Copy(deeper), E_FAIL);
  const std::u16string lines = u">CopyFile kvxdrv64.dll to " + deeper +
                               u" [1])\r\n  Error(9): Cant't open destination file: " + deeper +
                               u"kvxdrv64.dll - (";
  EXPECT_EQ(Log().substr(0, lines.size()), lines);
  EXPECT_TRUE(Log().ends_with(u")\r\n  Copy Failed :(\r\n"));
  EXPECT_EQ(context.ErrorCount, 1);
  EXPECT_EQ(out[0], u'\0');
  EXPECT_EQ(out[1], u'#');
  EXPECT_EQ(CallsTo("CreateFileW"), 0u);  // refused before anything was opened

  // Without an out path there is no buffer to fit.
  EXPECT_EQ(CopyFile(context, deeper.c_str(), u"kvxdrv64.dll", nullptr, 0, true), S_OK);
}

TEST_F(CopyFileTest, LockedDestinationIsRetriedByCountNotByTime) {
  const struct {
    uint64_t unlockAfterMs;
    uint32_t tickBase;
    size_t attempts;
    uint64_t sleptMs;
  } cases[] = {
      {2000, 1000, 41, 2000},
      {0, 1000, 100, 5000},
      {0, 0xFFFFFFFFu - 2000, 100, 5000},  // a wrap of the tick counter changes nothing
  };
  for (const auto& c : cases) {
    Renew();
    m.tickBase = c.tickBase;
    LockStaged(m);
    if (c.unlockAfterMs) sim::UnlockFile(m, kStaged, c.unlockAfterMs);
    const HANDLE file = CreateFileTry(context, kStaged.c_str());
    EXPECT_EQ(file != INVALID_HANDLE_VALUE, c.unlockAfterMs != 0);
    if (file == INVALID_HANDLE_VALUE) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    EXPECT_EQ(CallsTo("CreateFileW", kStaged), c.attempts);
    EXPECT_EQ(m.sleptMs, c.sleptMs);
    EXPECT_EQ(Log(), u"");  // no timeout line
  }
}

// Attempts that are slow themselves reach the 10 s limit before the 100th: the 51st ends
// 10150 ms after the first began (150 ms each, 50 ms sleeps between).
TEST_F(CopyFileTest, SlowAttemptsEndInATimeoutLine) {
  LockStaged(m);
  sim::AddFault(m, "CreateFileW", 0, -1, 150);
  EXPECT_EQ(CreateFileTry(context, kStaged.c_str()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(CallsTo("CreateFileW", kStaged), 51u);
  EXPECT_EQ(m.sleptMs, 50u * 50u);
  EXPECT_EQ(Log(), u"CreateFile - timeout\r\n");
}

}  // namespace
