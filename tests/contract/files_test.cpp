// How the kernel32 file calls answer: dispositions, reading and writing, sharing, read-only
// files, deletion, renames (also at the next start) and copies.
#include <algorithm>
#include <string>
#include <vector>

#include "contract.h"
#ifndef _WIN32
#include "sim/process_control.h"
#endif

namespace {

using WString = std::basic_string<WCHAR>;

constexpr DWORD kAllShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Each test works in a directory of its own and removes its files afterwards.
class Files : public Contract {
 protected:
  void SetUp() override {
    Contract::SetUp();
#ifdef _WIN32
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    dir_ = temp;
#else
    dir_ = W("C:\\Windows\\Temp\\");
#endif
    // Tests can start within one tick: a counter keeps their directories apart.
    static DWORD made = 0;
    dir_ += W("orvfiles") + Number(GetTickCount()) + W("_") + Number(++made);
    ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr));
  }
  void TearDown() override {
    for (const auto& p : made_) {
      SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(p.c_str());
    }
    Contract::TearDown();
  }
  static WString Number(DWORD n) {
    WString s;
    do {
      s.insert(s.begin(), WCHAR(W('0') + n % 10));
      n /= 10;
    } while (n);
    return s;
  }
  WString Path(const WString& name) {
    made_.push_back(dir_ + W("\\") + name);
    return made_.back();
  }
  void Put(const WString& path, const std::string& text) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, text.data(), DWORD(text.size()), &written, nullptr));
    ASSERT_EQ(written, text.size());
    CloseHandle(h);
  }
  // The whole contents, or "<error n>" when the file cannot be read.
  std::string Get(const WString& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<error " + std::to_string(GetLastError()) + ">";
    std::string out;
    char buffer[7];
    DWORD got = 0;
    while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got) out.append(buffer, got);
    CloseHandle(h);
    return out;
  }
  WString dir_;
  std::vector<WString> made_;
};

TEST_F(Files, CreateFileDispositionsOnPresentAndMissingFiles) {
  struct Case {
    DWORD disposition;
    bool exists;
    bool opens;
    DWORD error;
    const char* after;  // contents once the handle is closed
  };
  const Case cases[] = {
      {CREATE_NEW, false, true, 0, ""},
      {CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
      {CREATE_ALWAYS, false, true, 0, ""},
      {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
      {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, "<error 2>"},
      {OPEN_EXISTING, true, true, 0, "old"},
      {OPEN_ALWAYS, false, true, 0, ""},
      {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
      {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, "<error 2>"},
      {TRUNCATE_EXISTING, true, true, 0, ""},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "disposition " << c.disposition << " exists " << c.exists);
    WString path = Path(W("d") + Number(n++));
    if (c.exists) Put(path, "old");
    SetLastError(0xdeadbeef);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, c.disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens);
    EXPECT_EQ(GetLastError(), c.error);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    EXPECT_EQ(Get(path), c.after);
  }
  SetLastError(0xdeadbeef);
  WString noDir = dir_ + W("\\missing\\file");
  EXPECT_EQ(CreateFileW(noDir.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
}

TEST_F(Files, ReadsInChunksAndRefusesWhatTheHandleMayNotDo) {
  WString path = Path(W("data.bin"));
  std::string text(8192, 'x');
  text += "tail";
  Put(path, text);
  HANDLE h =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::vector<char> buffer(8192);
  std::vector<DWORD> reads;
  DWORD got = 1;
  while (got) {
    ASSERT_TRUE(ReadFile(h, buffer.data(), DWORD(buffer.size()), &got, nullptr));
    reads.push_back(got);
  }
  EXPECT_EQ(reads, (std::vector<DWORD>{8192, 4, 0}));
  SetLastError(0xdeadbeef);
  DWORD written = 7;
  EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FAILS(CloseHandle(h), ERROR_INVALID_HANDLE);
}

TEST_F(Files, OpenHandlesShareByTheirAccessAndShareModes) {
  struct Case {
    DWORD firstAccess, firstShare, secondAccess, secondShare;
    bool secondOpens;
  };
  const Case cases[] = {
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, FILE_SHARE_READ, false},
      {GENERIC_READ, 0, GENERIC_READ, kAllShare, false},
      {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, false},  // must share write
      {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, kAllShare, true},
      {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE, kAllShare, true},
      {0, 0, GENERIC_READ | GENERIC_WRITE, 0, true},  // attributes only: no part in sharing
  };
  WString path = Path(W("shared.txt"));
  Put(path, "abc");
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.firstAccess << "/" << c.firstShare << " then "
                                    << c.secondAccess << "/" << c.secondShare);
    HANDLE first =
        CreateFileW(path.c_str(), c.firstAccess, c.firstShare, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    SetLastError(0xdeadbeef);
    HANDLE second = CreateFileW(path.c_str(), c.secondAccess, c.secondShare, nullptr, OPEN_EXISTING,
                                0, nullptr);
    EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.secondOpens);
    if (second != INVALID_HANDLE_VALUE) {
      CloseHandle(second);
    } else {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    }
    CloseHandle(first);
  }
}

TEST_F(Files, DeleteMoveAndCopyAnswers) {
  using Call = BOOL (*)(LPCWSTR from, LPCWSTR to);
  const Call remove = [](LPCWSTR from, LPCWSTR) { return DeleteFileW(from); };
  const Call move = [](LPCWSTR from, LPCWSTR to) { return MoveFileExW(from, to, 0); };
  const Call replace = [](LPCWSTR from, LPCWSTR to) {
    return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING);
  };
  const Call copyNew = [](LPCWSTR from, LPCWSTR to) { return CopyFileW(from, to, TRUE); };
  const Call copy = [](LPCWSTR from, LPCWSTR to) { return CopyFileW(from, to, FALSE); };
  enum Held { kNone, kFrom, kTo };
  struct Case {
    const char* what;
    Call call;
    bool fromExists, toExists;
    Held held;  // a handle open on that file meanwhile, sharing as below
    DWORD share;
    DWORD error;  // 0: the call succeeds
    const char *fromAfter, *toAfter;
  };
  const char* gone = "<error 2>";
  const Case cases[] = {
      {"delete", remove, true, false, kNone, 0, 0, gone, gone},
      {"delete twice", remove, false, false, kNone, 0, ERROR_FILE_NOT_FOUND, gone, gone},
      {"delete while open", remove, true, false, kFrom, FILE_SHARE_READ, ERROR_SHARING_VIOLATION,
       "F", gone},
      {"delete while open for deletion", remove, true, false, kFrom, kAllShare, 0, gone, gone},
      {"move onto a file", move, true, true, kNone, 0, ERROR_ALREADY_EXISTS, "F", "T"},
      {"replacing move", replace, true, true, kNone, 0, 0, gone, "F"},
      {"move a missing file", move, false, false, kNone, 0, ERROR_FILE_NOT_FOUND, gone, gone},
      {"move to a new name", move, true, false, kNone, 0, 0, gone, "F"},
      {"move while open", move, true, false, kFrom, FILE_SHARE_READ, ERROR_SHARING_VIOLATION, "F",
       gone},
      {"copy", copyNew, true, false, kNone, 0, 0, "F", "F"},
      {"copy onto a file", copyNew, true, true, kNone, 0, ERROR_FILE_EXISTS, "F", "T"},
      {"copy a missing file", copy, false, false, kNone, 0, ERROR_FILE_NOT_FOUND, gone, gone},
      {"copy onto a file open without write sharing", copy, true, true, kTo, FILE_SHARE_READ,
       ERROR_SHARING_VIOLATION, "F", "T"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WString from = Path(W("from") + Number(n)), to = Path(W("to") + Number(n++));
    if (c.fromExists) Put(from, "F");
    if (c.toExists) Put(to, "T");
    HANDLE h = INVALID_HANDLE_VALUE;
    if (c.held != kNone) {
      h = CreateFileW((c.held == kFrom ? from : to).c_str(), GENERIC_READ, c.share, nullptr,
                      OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(h, INVALID_HANDLE_VALUE);
    }
    SetLastError(0xdeadbeef);
    EXPECT_EQ(c.call(from.c_str(), to.c_str()) != FALSE, c.error == 0);
    if (c.error) {
      EXPECT_EQ(GetLastError(), c.error);
    }
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    EXPECT_EQ(Get(from), c.fromAfter);
    EXPECT_EQ(Get(to), c.toAfter);
  }
  EXPECT_FAILS(DeleteFileW((dir_ + W("\\nodir\\x.txt")).c_str()), ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS(DeleteFileW(dir_.c_str()), ERROR_ACCESS_DENIED);  // a directory
}

TEST_F(Files, ReadOnlyFilesRefuseWritesAndDeletion) {
  WString path = Path(W("ro.txt"));
  Put(path, "keep");
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY,
            DWORD(FILE_ATTRIBUTE_READONLY));
  // Wine checks only the Unix permission bits, which a Wine run as root does not heed.
  const bool enforced = !OnWine();
  for (DWORD disposition : {DWORD(OPEN_EXISTING), DWORD(CREATE_ALWAYS)}) {
    SetLastError(0xdeadbeef);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr);
    DWORD error = GetLastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (enforced) {
      EXPECT_EQ(h, INVALID_HANDLE_VALUE);
      EXPECT_EQ(error, DWORD(ERROR_ACCESS_DENIED));
    }
  }
  EXPECT_FAILS(DeleteFileW(path.c_str()), ERROR_ACCESS_DENIED);
  if (enforced) {
    EXPECT_EQ(Get(path), "keep");
    WString source = Path(W("source.txt"));
    Put(source, "new");
    EXPECT_FAILS(CopyFileW(source.c_str(), path.c_str(), FALSE), ERROR_ACCESS_DENIED);
  }
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(DeleteFileW(path.c_str()));
}

TEST_F(Files, AttributesAndDirectories) {
  EXPECT_NE(GetFileAttributesW(dir_.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  struct Case {
    WString path;
    DWORD error;
  };
  const Case missing[] = {{dir_ + W("\\none.txt"), ERROR_FILE_NOT_FOUND},
                          {dir_ + W("\\none\\none.txt"), ERROR_PATH_NOT_FOUND}};
  for (const auto& c : missing) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetFileAttributesW(c.path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), c.error);
  }
  WString sub = dir_ + W("\\sub");
  SetLastError(0xdeadbeef);
  EXPECT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
  EXPECT_FAILS(CreateDirectoryW(sub.c_str(), nullptr), ERROR_ALREADY_EXISTS);  // twice
  EXPECT_FAILS(CreateDirectoryW((dir_ + W("\\a\\b")).c_str(), nullptr), ERROR_PATH_NOT_FOUND);
  // Either separator, "." and "..", and any letter case name the same file.
  WString path = Path(W("Mixed.TXT"));
  Put(path, "same");
  WString other = dir_ + W("/sub/../.\\mixed.txt");
  EXPECT_EQ(Get(other), "same");
}

// The list of operations the system carries out at its next start, kept in the registry.
class PendingRenames : public Files {
 protected:
  static constexpr const WCHAR* kKey = W("SYSTEM\\CurrentControlSet\\Control\\Session Manager");
  static constexpr const WCHAR* kValue = W("PendingFileRenameOperations");
  void SetUp() override {
    Files::SetUp();
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key_),
              ERROR_SUCCESS);
    DWORD size = 0;
    had_ = RegQueryValueExW(key_, kValue, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
    saved_.resize(size);
    if (had_ && size) {
      RegQueryValueExW(key_, kValue, nullptr, nullptr, saved_.data(), &size);
    }
    RegDeleteValueW(key_, kValue);
  }
  void TearDown() override {
    RegDeleteValueW(key_, kValue);
    if (had_) {
      RegSetValueExW(key_, kValue, 0, REG_MULTI_SZ, saved_.data(), DWORD(saved_.size()));
    }
    RegCloseKey(key_);
    Files::TearDown();
  }
  std::vector<BYTE> Value() {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key_, kValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
    std::vector<BYTE> data(size);
    RegQueryValueExW(key_, kValue, nullptr, &type, data.data(), &size);
    EXPECT_EQ(type, DWORD(REG_MULTI_SZ));
    return data;
  }
  static std::vector<BYTE> Strings(const std::vector<WString>& strings) {
    std::vector<BYTE> out;
    for (const auto& s : strings) {
      for (WCHAR c : s) {
        out.push_back(BYTE(c & 0xFF));
        out.push_back(BYTE(c >> 8));
      }
      out.push_back(0);
      out.push_back(0);
    }
    return out;
  }
  HKEY key_ = nullptr;
  bool had_ = false;
  std::vector<BYTE> saved_;
};

TEST_F(PendingRenames, DelayedOperationsAppendWhatWindowsWrites) {
  WString gone = dir_ + W("\\gone.dll"), from = dir_ + W("\\new.dll"), to = dir_ + W("\\old.dll");
  // Only recorded: neither file has to exist.
  SetLastError(0xdeadbeef);
  ASSERT_TRUE(MoveFileExW(gone.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(Value(), Strings({W("\\??\\") + gone, W(""), W("")}));
  ASSERT_TRUE(MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT));
  ASSERT_TRUE(MoveFileExW(from.c_str(), to.c_str(),
                          MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(Value(), Strings({W("\\??\\") + gone, W(""), W("\\??\\") + from, W("\\??\\") + to,
                              W("\\??\\") + from, W("!\\??\\") + to, W("")}));
  EXPECT_EQ(GetFileAttributesW(gone.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(PendingRenames, DelayedPathsAreWrittenFullAndNormalized) {
  WString crooked = dir_ + W("/x/../y.dll");
  ASSERT_TRUE(MoveFileExW(crooked.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(Value(), Strings({W("\\??\\") + dir_ + W("\\y.dll"), W(""), W("")}));
  // Windows refuses a copy at the next start; Wine 8.0 records it like any other operation.
  SetLastError(0xdeadbeef);
  BOOL copyAtStart =
      MoveFileExW(crooked.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED);
  if (!OnWine()) {
    EXPECT_FALSE(copyAtStart);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  }
}

#ifndef _WIN32
// Other processes' hold on files, the spooler's modules and I/O faults exist only on the
// simulated machine.
TEST_F(Files, OtherProcessesLocksDecideLikeOpenHandles) {
  WString data = Path(W("held.dat")), module = Path(W("held.dll"));
  Put(data, "d");
  Put(module, "m");
  sim::LockFile(machine_, data, GENERIC_READ, 0);
  sim::LockFile(machine_, module, GENERIC_READ, FILE_SHARE_READ, true);
  struct Case {
    WString path;
    DWORD deleteError;
    bool renames;
  };
  const Case cases[] = {{data, ERROR_SHARING_VIOLATION, false},
                        {module, ERROR_ACCESS_DENIED, true}};
  for (const auto& c : cases) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(
        CreateFileW(c.path.c_str(), GENERIC_WRITE, kAllShare, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_FAILS(DeleteFileW(c.path.c_str()), c.deleteError);
    WString moved = c.path + W(".moved");
    EXPECT_EQ(MoveFileExW(c.path.c_str(), moved.c_str(), 0) != FALSE, c.renames);
  }
  // The lock follows the module to its new name; the old name is free.
  EXPECT_FALSE(DeleteFileW((module + W(".moved")).c_str()));
  sim::UnlockFile(machine_, module + W(".moved"));
  EXPECT_TRUE(DeleteFileW((module + W(".moved")).c_str()));
}

TEST_F(Files, ModulesTheRunningSpoolerHoldsRefuseDeletionAndWriting) {
  const WCHAR* path = W("C:\\Windows\\system32\\kvxmon64.dll");
  sim::PutFile(machine_, path, {1, 2, 3});
  sim::SimMonitor monitor;
  monitor.name = u"Orvalstone:";
  monitor.dllName = u"kvxmon64.dll";
  machine_.spooler.monitors.push_back(monitor);
  EXPECT_FAILS(DeleteFileW(path), ERROR_ACCESS_DENIED);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(CopyFileW(W("C:\\Program Files\\Orvalstone\\Setup\\kvxmon64.dll"), path, FALSE));
  for (auto& service : machine_.services.services) {
    if (sim::EqualFold(service.name, u"spooler")) service.state = SERVICE_STOPPED;
  }
  EXPECT_TRUE(DeleteFileW(path));
}

TEST_F(Files, IoFaultsFailOrShortenTransfers) {
  WString path = Path(W("faulty.bin"));
  Put(path, std::string(100, 'x'));
  machine_.fs.ioFaults.push_back({path, "read", "short", 0, 60, 1});
  machine_.fs.ioFaults.push_back({path, "write", "fail", 112, 10, -1});
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  char buffer[100];
  DWORD n = 0;
  EXPECT_TRUE(ReadFile(h, buffer, 100, &n, nullptr));
  EXPECT_EQ(n, 60u);
  EXPECT_TRUE(ReadFile(h, buffer, 100, &n, nullptr));  // the fault was for one read
  EXPECT_EQ(n, 40u);
  EXPECT_FAILS(WriteFile(h, buffer, 1, &n, nullptr), 112u);
  EXPECT_EQ(n, 0u);
  CloseHandle(h);
}

TEST_F(Files, NamesWindowsRefuses) {
  struct Case {
    const WCHAR* name;
    DWORD error;
  };
  const Case cases[] = {
      {W(""), ERROR_PATH_NOT_FOUND},
      {W("\\\\?\\"), ERROR_PATH_NOT_FOUND},
      {W("\\??\\C:\\Windows\\system32\\kernel32.dll"), ERROR_INVALID_NAME},  // an NT path
      {W("C:\\Windows\\a*b"), ERROR_INVALID_NAME},
      {W("Q:\\file"), ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(sim::ToUtf8(c.name));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(
        CreateFileW(c.name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
  }
  // A bare name is relative to the program's directory.
  EXPECT_NE(GetFileAttributesW(W("kvxmon64.dll")), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Files, DefaultMachineHasTheSetupFilesInPlace) {
  for (const WCHAR* path : {W("C:\\Program Files\\Orvalstone\\Setup\\orvinst.exe"),
                            W("C:\\Program Files\\Orvalstone\\Setup\\kvxmon64.dll"),
                            W("C:\\Program Files\\Orvalstone\\Setup\\kvxdrv64.dll"),
                            W("C:\\Program Files\\Orvalstone\\Setup\\kvxui64.dll"),
                            W("C:\\Program Files\\Orvalstone\\Setup\\kvxhelp.chm"),
                            W("C:\\Program Files\\Orvalstone\\orvtray.exe")}) {
    SCOPED_TRACE(sim::ToUtf8(path));
    DWORD a = GetFileAttributesW(path);
    EXPECT_NE(a, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(a & FILE_ATTRIBUTE_DIRECTORY, 0u);
  }
  for (const WCHAR* dir : {W("C:\\Windows\\system32\\spool\\drivers\\x64\\3"),
                           W("C:\\Windows\\system32\\spool\\drivers\\W32X86\\3")}) {
    EXPECT_NE(GetFileAttributesW(dir) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  }
  EXPECT_EQ(sim::FindRegValue(machine_, HKEY_LOCAL_MACHINE,
                              u"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                              u"PendingFileRenameOperations"),
            nullptr);
}
#endif

// A directory opens as a file only with backup semantics. Such a handle that does not share
// deletion keeps the directory from being renamed, while files are made in it; a new file is
// never made over one that is there.
TEST_F(Files, DirectoryHandlesHoldTheDirectoryInPlace) {
  const WString sub = dir_ + W("\\held");
  ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(CreateFileW(sub.c_str(), GENERIC_READ, kAllShare, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  HANDLE held = CreateFileW(sub.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  BY_HANDLE_FILE_INFORMATION info = {};
  ASSERT_TRUE(GetFileInformationByHandle(held, &info));
  EXPECT_EQ(info.dwFileAttributes, DWORD(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_FAILS(MoveFileExW(sub.c_str(), (dir_ + W("\\moved")).c_str(), 0), ERROR_SHARING_VIOLATION);

  const WString log = Path(W("held\\run.log"));
  for (DWORD error : {DWORD(0), DWORD(ERROR_FILE_EXISTS)}) {
    SetLastError(0xdeadbeef);
    HANDLE file = CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    ASSERT_EQ(file == INVALID_HANDLE_VALUE, error != 0);
    if (error) {
      EXPECT_EQ(GetLastError(), error);
    } else {
      DWORD written = 0;
      EXPECT_TRUE(WriteFile(file, "12345", 5, &written, nullptr));
      ASSERT_TRUE(GetFileInformationByHandle(file, &info));
      EXPECT_EQ(info.dwFileAttributes, DWORD(FILE_ATTRIBUTE_ARCHIVE));
      EXPECT_EQ(info.nFileSizeLow, 5u);
      EXPECT_EQ(info.nNumberOfLinks, 1u);
      CloseHandle(file);
    }
  }
  CloseHandle(held);
  EXPECT_TRUE(MoveFileExW(sub.c_str(), (dir_ + W("\\moved")).c_str(), 0));
  EXPECT_TRUE(MoveFileExW((dir_ + W("\\moved")).c_str(), sub.c_str(), 0));
}

// A listing gives each entry that matches the pattern once, "." and ".." too, then
// ERROR_NO_MORE_FILES; nothing that matches, or no such directory, fails at once.
TEST_F(Files, FindFirstFileListsWhatMatches) {
  Put(Path(W("b.log")), "bb");
  Put(Path(W("a.LOG")), "a");
  Put(Path(W("c.txt")), "c");
  ASSERT_TRUE(CreateDirectoryW((dir_ + W("\\d.log")).c_str(), nullptr));
  const auto list = [&](const WString& pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((dir_ + pattern).c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      std::string name;
      for (const WCHAR* c = found.cFileName; *c; ++c) name += char(*c);
      const bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      if (directory) {
        name += '/';
      } else {
        name.append(1, ' ').append(std::to_string(found.nFileSizeLow));
      }
      names.push_back(name);
    } while (FindNextFileW(find, &found));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_FILES));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_EQ(list(W("\\*.log")), (std::vector<std::string>{"a.LOG 1", "b.log 2", "d.log/"}));
  EXPECT_EQ(list(W("\\*")),
            (std::vector<std::string>{"../", "./", "a.LOG 1", "b.log 2", "c.txt 1", "d.log/"}));
  WIN32_FIND_DATAW found;
  for (const auto& [pattern, error] : {std::pair{W("\\*.zip"), ERROR_FILE_NOT_FOUND},
                                       std::pair{W("\\none\\*"), ERROR_PATH_NOT_FOUND}}) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(FindFirstFileW((dir_ + pattern).c_str(), &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(error));
  }
}

#ifndef _WIN32
// A junction is a directory entry of its own that leads elsewhere: paths beneath it reach
// the target, and a directory opened through it is the target unless the junction is asked for.
TEST_F(Files, SimJunctionsLeadToTheirTarget) {
  const WString target = dir_ + W("\\target");
  const WString link = dir_ + W("\\link");
  ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
  sim::MakeMountPoint(machine_, link, target);
  const DWORD junction = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  EXPECT_EQ(GetFileAttributesW(link.c_str()), junction);
  for (const auto& [flags, attributes] :
       {std::pair{DWORD(FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT), junction},
        std::pair{DWORD(FILE_FLAG_BACKUP_SEMANTICS), DWORD(FILE_ATTRIBUTE_DIRECTORY)}}) {
    HANDLE h = CreateFileW(link.c_str(), FILE_LIST_DIRECTORY, kAllShare, nullptr, OPEN_EXISTING,
                           flags, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION info = {};
    ASSERT_TRUE(GetFileInformationByHandle(h, &info));
    EXPECT_EQ(info.dwFileAttributes, attributes);
    CloseHandle(h);
  }
  Put(Path(W("link\\through.txt")), "x");
  EXPECT_EQ(Get(target + W("\\through.txt")), "x");
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(link.c_str(), &found);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(found.dwFileAttributes, junction);
  FindClose(find);
  find = FindFirstFileW((link + W("\\*.txt")).c_str(), &found);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(found.cFileName), u"through.txt");
  FindClose(find);
}
#endif

}  // namespace
