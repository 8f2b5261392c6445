// How the kernel32 file calls answer: dispositions, reading and writing, sharing, read-only
// files, deletion, directories and their listings, and operations for the next start.
#include <algorithm>

#include "contract.h"

namespace {

constexpr DWORD kAllShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Each test works in a directory of its own and removes its files afterwards.
class Files : public Contract {
 protected:
  void SetUp() override {
    Contract::SetUp();
    static int made = 0;  // tests can start within one tick
    dir_ = TestDir((W("orvfiles") + Text(GetTickCount()) + W("_") + Text(++made)).c_str());
    ASSERT_NE(GetFileAttributesW(dir_.c_str()), INVALID_FILE_ATTRIBUTES);
  }
  void TearDown() override {
    for (const auto& p : made_) {
      SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(p.c_str());
    }
  }
  static WString Text(DWORD n) {
    const std::string s = std::to_string(n);
    return WString(s.begin(), s.end());
  }
  WString Path(const WString& name) { return made_.emplace_back(dir_ + W("\\") + name); }
  // The whole contents, or "<error n>" when the file cannot be read.
  static std::string Get(const WString& path) {
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
    DWORD error;        // after the call; ERROR_FILE_NOT_FOUND and ERROR_FILE_EXISTS: it failed
    const char* after;  // the contents once the handle is closed
  };
  const Case cases[] = {
      {CREATE_NEW, false, 0, ""},
      {CREATE_NEW, true, ERROR_FILE_EXISTS, "old"},
      {CREATE_ALWAYS, false, 0, ""},
      {CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS, ""},
      {OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, "<error 2>"},
      {OPEN_EXISTING, true, 0, "old"},
      {OPEN_ALWAYS, false, 0, ""},
      {OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS, "old"},
      {TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, "<error 2>"},
      {TRUNCATE_EXISTING, true, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "disposition " << c.disposition << " exists " << c.exists);
    const WString path = Path(W("d") + Text(DWORD(&c - cases)));
    ASSERT_TRUE(!c.exists || PutFile(path, "old"));
    SetLastError(kAnyError);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, c.disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(Gave(h), c.error != ERROR_FILE_EXISTS && c.error != ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Get(path), c.after);
  }
  EXPECT_FAILS(Gave(CreateFileW((dir_ + W("\\none\\file")).c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, 0, nullptr)),
               ERROR_PATH_NOT_FOUND);
}

TEST_F(Files, HandlesReadInChunksAndShareByTheirModes) {
  const WString path = Path(W("data.bin"));
  ASSERT_TRUE(PutFile(path, std::string(8192, 'x') + "tail"));
  HANDLE h =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  std::vector<char> buffer(8192);
  std::vector<DWORD> reads;
  for (DWORD got = 1; got && ReadFile(h, buffer.data(), DWORD(buffer.size()), &got, nullptr);) {
    reads.push_back(got);
  }
  EXPECT_EQ(reads, (std::vector<DWORD>{8192, 4, 0}));
  DWORD written = 7;
  EXPECT_FAILS(WriteFile(h, "x", 1, &written, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(written, 0u);
  CloseHandle(h);
  struct Case {
    DWORD firstAccess, firstShare, secondAccess, secondShare;
    bool secondOpens;  // otherwise ERROR_SHARING_VIOLATION
  };
  const Case cases[] = {
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, FILE_SHARE_READ, false},
      {GENERIC_READ, 0, GENERIC_READ, kAllShare, false},
      {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, false},  // must share write
      {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, kAllShare, true},
      {0, 0, GENERIC_READ | GENERIC_WRITE, 0, true},  // attributes only: no part in sharing
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    h = CreateFileW(path.c_str(), c.firstAccess, c.firstShare, nullptr, OPEN_EXISTING, 0, nullptr);
    SetLastError(kAnyError);
    EXPECT_EQ(Gave(CreateFileW(path.c_str(), c.secondAccess, c.secondShare, nullptr, OPEN_EXISTING,
                               0, nullptr)),
              c.secondOpens);
    EXPECT_TRUE(c.secondOpens || GetLastError() == ERROR_SHARING_VIOLATION) << GetLastError();
    EXPECT_TRUE(Gave(h));
  }
}

TEST_F(Files, DeletionAndDirectories) {
  const WString file = Path(W("f.txt")), readOnly = Path(W("ro.txt")), sub = dir_ + W("\\sub");
  ASSERT_TRUE(PutFile(file, "F") && PutFile(readOnly, "keep"));
  ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
  HANDLE held = INVALID_HANDLE_VALUE;
  const auto hold = [&](DWORD share) {
    held = CreateFileW(file.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    return DeleteFileW(file.c_str());
  };
  const auto open = [](const WString& path, DWORD disposition) {
    return Gave(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr));
  };
  const char* asRoot = "the read-only attribute is not heeded by a Wine run as root";
  ExpectRows({
      {"DeleteFileW, while open", [&] { return hold(FILE_SHARE_READ); }, ERROR_SHARING_VIOLATION},
      {"DeleteFileW, while open for deletion",
       [&] { return Gave(held) && hold(kAllShare) && Gave(held) && Get(file) == "<error 2>"; }},
      {"DeleteFileW, deleted before", [&] { return DeleteFileW(file.c_str()); },
       ERROR_FILE_NOT_FOUND},
      {"DeleteFileW, no such folder", [&] { return DeleteFileW((sub + W("\\x")).c_str()); },
       ERROR_PATH_NOT_FOUND},
      {"DeleteFileW, a directory", [&] { return DeleteFileW(dir_.c_str()); }, ERROR_ACCESS_DENIED},
      {"DeleteFileW, read-only", [&] { return DeleteFileW(readOnly.c_str()); },
       ERROR_ACCESS_DENIED},
      {"CreateFileW, read-only, for writing", [&] { return open(readOnly, OPEN_EXISTING); },
       ERROR_ACCESS_DENIED, asRoot, 0},
      {"CreateFileW, read-only, CREATE_ALWAYS", [&] { return open(readOnly, CREATE_ALWAYS); },
       ERROR_ACCESS_DENIED, asRoot, 0},
      {"GetFileAttributesW, missing",
       [&] { return GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES; },
       ERROR_FILE_NOT_FOUND},
      {"GetFileAttributesW, no such folder",
       [&] { return GetFileAttributesW((sub + W("\\x")).c_str()) != INVALID_FILE_ATTRIBUTES; },
       ERROR_PATH_NOT_FOUND},
      {"CreateDirectoryW", [&] { return CreateDirectoryW(sub.c_str(), nullptr); }},
      {"CreateDirectoryW, again", [&] { return CreateDirectoryW(sub.c_str(), nullptr); },
       ERROR_ALREADY_EXISTS},
      {"CreateDirectoryW, no parent",
       [&] { return CreateDirectoryW((dir_ + W("\\a\\b")).c_str(), nullptr); },
       ERROR_PATH_NOT_FOUND},
      // Either separator, "." and "..", and any letter case name the same file.
      {"another spelling",
       [&] { return GetFileAttributesW((dir_ + W("/sub/../.\\SUB")).c_str()) == 0x10; }},
  });
}

// The log file: made new in a folder held open (without sharing deletion, so that nobody
// renames it meanwhile), never over one that is there; and found again by listing.
TEST_F(Files, DirectoryHandlesHoldTheFolderAndListingsFindWhatMatches) {
  const WString sub = dir_ + W("\\held");
  ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
  EXPECT_FAILS(
      Gave(CreateFileW(sub.c_str(), GENERIC_READ, kAllShare, nullptr, OPEN_EXISTING, 0, nullptr)),
      ERROR_ACCESS_DENIED);  // a directory opens only with backup semantics
  HANDLE held = CreateFileW(sub.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  BY_HANDLE_FILE_INFORMATION info = {};
  ASSERT_TRUE(GetFileInformationByHandle(held, &info));
  EXPECT_EQ(info.dwFileAttributes, DWORD(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_FAILS(MoveFileExW(sub.c_str(), (dir_ + W("\\moved")).c_str(), 0), ERROR_SHARING_VIOLATION);
  const WString log = Path(W("held\\run.log"));
  for (DWORD error : {DWORD(0), DWORD(ERROR_FILE_EXISTS)}) {
    SetLastError(kAnyError);
    HANDLE file = CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    ASSERT_EQ(file == INVALID_HANDLE_VALUE, error != 0);
    if (error) {
      EXPECT_EQ(GetLastError(), error);
      continue;
    }
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "12345", 5, &written, nullptr));
    ASSERT_TRUE(GetFileInformationByHandle(file, &info));
    EXPECT_EQ(info.dwFileAttributes, DWORD(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(info.nFileSizeLow + info.nNumberOfLinks, 6u);  // 5 bytes, 1 link
    CloseHandle(file);
  }
  CloseHandle(held);
  EXPECT_TRUE(MoveFileExW(sub.c_str(), (dir_ + W("\\moved")).c_str(), 0));
  EXPECT_TRUE(MoveFileExW((dir_ + W("\\moved")).c_str(), sub.c_str(), 0));

  ASSERT_TRUE(PutFile(Path(W("b.log")), "bb") && PutFile(Path(W("a.LOG")), "a"));
  ASSERT_TRUE(CreateDirectoryW((dir_ + W("\\d.log")).c_str(), nullptr));
  // Each entry that matches once, "." and ".." too, sizes of files, then ERROR_NO_MORE_FILES;
  // nothing that matches, or no such directory, fails at once.
  const auto list = [&](const WCHAR* pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((dir_ + pattern).c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
      return std::vector<std::string>{std::to_string(GetLastError())};
    do {
      std::string entry = Narrow(found.cFileName) + "/";
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        entry += std::to_string(found.nFileSizeLow);
      names.push_back(entry);
    } while (FindNextFileW(find, &found));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_FILES));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_EQ(list(W("\\*.log")), (std::vector<std::string>{"a.LOG/1", "b.log/2", "d.log/"}));
  EXPECT_EQ(list(W("\\*")),
            (std::vector<std::string>{"../", "./", "a.LOG/1", "b.log/2", "d.log/", "held/"}));
  EXPECT_EQ(list(W("\\*.zip")), std::vector<std::string>{"2"});
  EXPECT_EQ(list(W("\\none\\*")), std::vector<std::string>{"3"});
}

// MoveFileExW(…, MOVEFILE_DELAY_UNTIL_REBOOT) appends to the list of operations the system
// carries out at its next start, with full, normalized NT paths, as the product reads them.
TEST_F(Files, DelayedOperationsAppendWhatWindowsWrites) {
  const WCHAR* key = W("SYSTEM\\CurrentControlSet\\Control\\Session Manager");
  const WCHAR* name = W("PendingFileRenameOperations");
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &k), 0);
  DWORD size = 0;
  const bool had = RegQueryValueExW(k, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
  std::vector<BYTE> saved(size);
  if (had) RegQueryValueExW(k, name, nullptr, nullptr, saved.data(), &size);
  RegDeleteValueW(k, name);
  const WString gone = dir_ + W("\\gone.dll"), from = dir_ + W("\\new.dll"),
                to = dir_ + W("\\old.dll");
  // Only recorded: neither file has to exist.
  ASSERT_TRUE(
      MoveFileExW((dir_ + W("/x/../gone.dll")).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  ASSERT_TRUE(MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT));
  ASSERT_TRUE(MoveFileExW(from.c_str(), to.c_str(),
                          MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
  WString expected;
  for (const WString& s : {W("\\??\\") + gone, WString(), W("\\??\\") + from, W("\\??\\") + to,
                           W("\\??\\") + from, W("!\\??\\") + to, WString()}) {
    expected += s + WCHAR(0);
  }
  DWORD type = 0;
  size = 0;
  RegQueryValueExW(k, name, nullptr, &type, nullptr, &size);
  WString value(size / sizeof(WCHAR), 0);
  RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size);
  EXPECT_EQ(type, DWORD(REG_MULTI_SZ));
  for (auto* text : {&value, &expected}) std::replace(text->begin(), text->end(), WCHAR(0), W('|'));
  EXPECT_EQ(Narrow(value.c_str()), Narrow(expected.c_str()));
  ExpectRows({{"a copy at the next start",
               [&] {
                 return MoveFileExW(gone.c_str(), nullptr,
                                    MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED);
               },
               ERROR_INVALID_PARAMETER, "recorded like any other operation", 0}});
  RegDeleteValueW(k, name);
  if (had) RegSetValueExW(k, name, 0, REG_MULTI_SZ, saved.data(), DWORD(saved.size()));
  RegCloseKey(k);
}

}  // namespace
