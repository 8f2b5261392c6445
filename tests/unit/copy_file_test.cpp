#include "files/copy_file.h"

#include <functional>

#include "machine_fixture.h"
#include "sim/process_control.h"

namespace {

const std::u16string kSource = u"C:\\Program Files\\Orvalstone\\Setup\\kvxdrv64.dll";
const std::u16string kDrivers = u"C:\\Windows\\system32\\spool\\drivers\\x64\\";
const std::u16string kStaged = kDrivers + u"kvxdrv64.dll";

std::function<void(sim::Machine&)> IoFault(const std::u16string& path, const char* op,
                                           const char* how, DWORD error, uint64_t after) {
  return [=](sim::Machine& m) { m.fs.ioFaults.push_back({path, op, how, error, after}); };
}

// A stale staged copy that another process holds open without sharing.
void LockStaged(sim::Machine& m) {
  sim::PutFile(m, kStaged, std::vector<uint8_t>(100, 1));
  sim::LockFile(m, kStaged, GENERIC_READ, 0);
}

class CopyFileTest : public unit::MachineTest {
 public:
  void Renew() {
    Fresh();
    Build();  // only the copy's own lines
  }
  HRESULT Copy(const char16_t* directory, bool report = true) {
    out.assign(kPathBufferUnits, u'#');
    return CopyFile(context, directory, u"kvxdrv64.dll", out.data(), out.size(), report);
  }
  std::vector<uint8_t> Contents(const std::u16string& path) {
    const sim::SimFile* f = sim::FindFile(m, path);
    return f ? f->data : std::vector<uint8_t>{};
  }
  std::vector<char16_t> out;
};

TEST_F(CopyFileTest, FilesOfEverySizeAreCopiedWholeBesideTheGivenDirectory) {
  const struct {
    std::u16string directory, path;
    size_t size, reads;
  } cases[] = {
      {kDrivers, kStaged, 0, 1},
      {kDrivers, kStaged, 8191, 1},
      {kDrivers, kStaged, 8192, 2},
      {u"C:\\Windows\\Temp", u"C:\\Windows\\Temp\\kvxdrv64.dll", 16384, 3},
      {u"C:\\Windows\\Temp/", u"C:\\Windows\\Temp/\\kvxdrv64.dll", 20000, 3},
      {kDrivers, kStaged, 1, 1},
  };
  for (const auto& c : cases) {
    Renew();
    std::vector<uint8_t> data(c.size);
    for (size_t i = 0; i < c.size; ++i) data[i] = uint8_t(i * 31 + 7);
    sim::PutFile(m, kSource, data);
    sim::PutFile(m, c.path, std::vector<uint8_t>(50000, 7));  // a longer stale copy
    context.Indent = 1;
    EXPECT_EQ(Copy(c.directory.c_str()), S_OK);
    // The header shows the directory as the caller gave it.
    EXPECT_EQ(Log(), u"  >CopyFile kvxdrv64.dll to " + c.directory +
                         u" [1])\r\n    Copy Succeeded :)\r\n");
    EXPECT_EQ(context.Indent, 1);
    EXPECT_EQ(std::u16string(out.data()), c.path);
    EXPECT_EQ(Contents(c.path), data) << c.size;
    EXPECT_EQ(CallCount("ReadFile"), c.reads) << c.size;
  }
  // Without an out path there is no buffer to fit.
  const std::u16string deep = u"C:\\" + std::u16string(300, u'd');
  sim::MakeDirectories(m, deep);
  EXPECT_EQ(CopyFile(context, deep.c_str(), u"kvxdrv64.dll", nullptr, 0, true), S_OK);
}

TEST_F(CopyFileTest, FailuresAndWhatTheyLog) {
  const std::u16string fits = u"C:\\" + std::u16string(247, u'd');  // 263 units with the name
  const std::u16string deeper = fits + u"d\\";
  using Arrange = std::function<void(sim::Machine&)>;
  const Arrange none = [](sim::Machine&) {};
  const Arrange noSource = [](sim::Machine& m) { sim::RemoveFile(m, kSource); };
  const Arrange noModuleDir = [](sim::Machine& m) { m.kernel.modulePath = u"prog.exe"; };
  const struct {
    const char* name;
    Arrange arrange;
    bool report;
    uint64_t sleptMs;
    size_t written;  // bytes the destination holds afterwards (0 also when missing)
    bool pathOut;    // the caller gets the destination path
    const char16_t* directory = kDrivers.c_str();
  } cases[] = {
      {"source missing", noSource, true, 0, 0, true},
      {"source missing, silent", noSource, false, 0, 0, true},
      {"destination locked for good", LockStaged, true, 5000, 100, true},
      {"destination locked, silent", LockStaged, false, 5000, 100, true},
      {"short write, reported even when silent", IoFault(kStaged, "write", "short", 0, 10000),
       false, 0, 10000, true},
      {"failing write", IoFault(kStaged, "write", "fail", 5, 0), true, 0, 0, true},
      {"read failing part way", IoFault(kSource, "read", "fail", 0, 16384), false, 0, 16384, true},
      // Nothing is copied from or to a relative place, nor to a path the buffer cannot hold.
      {"no directory", none, true, 0, 0, false, nullptr},
      {"a drive's current directory", none, false, 0, 0, false, u"C:"},
      {"relative module directory", noModuleDir, true, 0, 0, false},
      {"path too long for the buffer", none, true, 0, 0, false, deeper.c_str()},
  };
  for (const auto& c : cases) {
    Fresh();
    c.arrange(m);
    Build();
    EXPECT_EQ(Copy(c.directory, c.report), E_FAIL) << c.name;
    EXPECT_EQ(Log(), unit::ExpectedLog("copy_file", c.name));
    EXPECT_EQ(context.ErrorCount, Log().find(u"Error(") != std::u16string::npos) << c.name;
    EXPECT_EQ(m.sleptMs, c.sleptMs) << c.name;
    // The caller has the destination even when the copy failed, or nothing: never a cut one.
    EXPECT_EQ(std::u16string(out.data()), c.pathOut ? kStaged : u"") << c.name;
    EXPECT_EQ(out[1], c.pathOut ? kStaged[1] : u'#') << c.name;
    EXPECT_EQ(Contents(kStaged).size(), c.written) << c.name;
    EXPECT_TRUE(c.pathOut || CallCount("CreateFileW") == 0) << c.name;
  }
  Renew();
  sim::MakeDirectories(m, fits);
  EXPECT_EQ(Copy(fits.c_str()), S_OK);
  EXPECT_EQ(std::u16string(out.data()).size(), 263u);
}

// The destination is opened again while locked: by count, and by the tick count when the
// attempts are slow.
TEST_F(CopyFileTest, LockedDestinationIsRetriedByCountAndTimeout) {
  const struct {
    uint64_t unlockAfterMs;
    uint32_t tickBase, attemptMs;
    size_t attempts;
    uint64_t sleptMs;
    std::u16string log;
  } cases[] = {
      {2000, 1000, 0, 41, 2000, u""},
      {0, 1000, 0, 100, 5000, u""},
      {0, 0xFFFFFFFFu - 2000, 0, 100, 5000, u""},  // a wrap of the tick counter changes nothing
      // Slow attempts reach the 10 s limit first: the 51st ends 10150 ms after the first began.
      {0, 1000, 150, 51, 2500, u"CreateFile - timeout\r\n"},
  };
  for (const auto& c : cases) {
    Renew();
    m.tickBase = c.tickBase;
    LockStaged(m);
    if (c.unlockAfterMs) sim::UnlockFile(m, kStaged, c.unlockAfterMs);
    if (c.attemptMs) sim::AddFault(m, "CreateFileW", 0, -1, c.attemptMs);
    const size_t before = CallCount("CreateFileW");
    const unique_hfile file = CreateFileTry(context, kStaged.c_str());
    EXPECT_EQ(bool(file), c.unlockAfterMs != 0);
    EXPECT_TRUE(file || GetLastError() == ERROR_SHARING_VIOLATION);
    EXPECT_EQ(CallCount("CreateFileW") - before, c.attempts);
    EXPECT_EQ(m.sleptMs, c.sleptMs);
    EXPECT_EQ(Log(), c.log);
  }
}

}  // namespace
