// How the kernel32 file calls answer: dispositions, reading and writing, sharing, read-only
// files, deletion, directories and their listings, and operations for the next start. Answers
// show the test's own folder as "<dir>".
#include <algorithm>
#include <set>

#include "contract.h"

namespace {

constexpr DWORD kAllShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Each test works in a folder of its own and removes its files afterwards.
class Files : public Contract {
 protected:
  void SetUp() override {
    Contract::SetUp();
    static int made = 0;  // tests can start within one tick
    dir_ = TestDir((W("orvfiles") + Wid(std::to_string(GetTickCount() * 100 + ++made))).c_str());
  }
  void TearDown() override {
    for (const auto& p : made_) {
      SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(p.c_str());
    }
    Contract::TearDown();
  }
  WString Path(const WString& name) { return made_.emplace_back(dir_ + W("\\") + name); }
  // The whole contents, or "<error n>" when the file cannot be read.
  static std::string Get(const WString& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<error " + std::to_string(GetLastError()) + ">";
    char buffer[64];
    DWORD got = 0;
    ReadFile(h, buffer, sizeof buffer, &got, nullptr);
    CloseHandle(h);
    return std::string(buffer, got);
  }
  WString dir_;
  std::vector<WString> made_;
};

// Every disposition on a missing and on a present file: whether it opens, the last error, and
// what the file holds once the handle is closed.
TEST_F(Files, CreateFileDispositionsOnPresentAndMissingFiles) {
  for (DWORD disposition = CREATE_NEW; disposition <= TRUNCATE_EXISTING; ++disposition) {
    for (bool exists : {false, true}) {
      const WString path = Path(Wid("d" + std::to_string(disposition * 2 + exists)));
      EXPECT_TRUE(!exists || PutFile(path, "old"));
      SetLastError(kAnyError);
      const BOOL opened = Gave(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
      const std::string error = Error(GetLastError());
      Answer("disposition " + std::to_string(disposition) + (exists ? ", a file there" : ""),
             (opened ? "opened, " : "refused, ") + error + ", holds " + Get(path));
    }
  }
  Answer("no such folder",
         Result(Gave(CreateFileW((dir_ + W("\\none\\file")).c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, 0, nullptr))));
}

TEST_F(Files, HandlesReadInChunksAndShareByTheirModes) {
  const WString path = Path(W("data.bin"));
  ASSERT_TRUE(PutFile(path, std::string(8192, 'x') + "tail"));
  HANDLE h =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  std::vector<char> buffer(8192);
  std::string reads;
  for (DWORD got = 1; got && ReadFile(h, buffer.data(), DWORD(buffer.size()), &got, nullptr);) {
    reads += std::to_string(got) + " ";
  }
  Answer("ReadFile by 8192 bytes", reads.substr(0, reads.size() - 1));
  DWORD written = 7;
  const std::string wrote = Result(WriteFile(h, "x", 1, &written, nullptr));
  Answer("WriteFile, a handle for reading", wrote + ", wrote " + std::to_string(written));
  CloseHandle(h);
  // A second handle beside a first, each shown as access/sharing: r(ead), w(rite), d(elete).
  const auto modes = [](DWORD access, DWORD share) {
    return std::string(access & GENERIC_READ ? "r" : "") + (access & GENERIC_WRITE ? "w" : "") +
           "/" + (share & 1 ? "r" : "") + (share & 2 ? "w" : "") + (share & 4 ? "d" : "");
  };
  const DWORD cases[][4] = {
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ},
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, FILE_SHARE_READ},
      {GENERIC_READ, 0, GENERIC_READ, kAllShare},
      {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ},
      {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, kAllShare},
      {0, 0, GENERIC_READ | GENERIC_WRITE, 0},  // attributes only: no part in sharing
  };
  for (const auto& c : cases) {
    h = CreateFileW(path.c_str(), c[0], c[1], nullptr, OPEN_EXISTING, 0, nullptr);
    Answer(modes(c[0], c[1]) + " then " + modes(c[2], c[3]),
           Result(Gave(CreateFileW(path.c_str(), c[2], c[3], nullptr, OPEN_EXISTING, 0, nullptr))));
    CloseHandle(h);
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
  Answer("DeleteFileW, while open", Result(hold(FILE_SHARE_READ)));
  Answer("DeleteFileW, while open for deletion",
         Result(Gave(held) && hold(kAllShare) && Gave(held) && Get(file) == "<error 2>"));
  Answer("DeleteFileW, deleted before", Result(DeleteFileW(file.c_str())));
  Answer("DeleteFileW, no such folder", Result(DeleteFileW((sub + W("\\x")).c_str())));
  Answer("DeleteFileW, read-only", Result(DeleteFileW(readOnly.c_str())));
  Answer("CreateFileW, read-only, for writing", Result(open(readOnly, OPEN_EXISTING)));
  Answer("CreateFileW, read-only, CREATE_ALWAYS", Result(open(readOnly, CREATE_ALWAYS)));
  Answer("GetFileAttributesW, missing",
         Result(GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES));
  Answer("CreateDirectoryW", Result(CreateDirectoryW(sub.c_str(), nullptr)));
  Answer("CreateDirectoryW, again", Result(CreateDirectoryW(sub.c_str(), nullptr)));
}

// The log file: made new in a folder held open (without sharing deletion, so that nobody
// renames it meanwhile), never over one that is there; and found again by listing.
TEST_F(Files, DirectoryHandlesHoldTheFolderAndListingsFindWhatMatches) {
  const WString sub = dir_ + W("\\held"), moved = dir_ + W("\\moved");
  ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
  BY_HANDLE_FILE_INFORMATION info = {};
  const auto opened = [&](HANDLE h) {
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) return Result(FALSE);
    return "attributes " + std::to_string(info.dwFileAttributes) + ", " +
           std::to_string(info.nFileSizeLow) + " bytes, " + std::to_string(info.nNumberOfLinks) +
           " links";
  };
  Answer("a folder", opened(CreateFileW(sub.c_str(), GENERIC_READ, kAllShare, nullptr,
                                        OPEN_EXISTING, 0, nullptr)));
  HANDLE held = CreateFileW(sub.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  Answer("a folder, backup semantics", opened(held));
  Answer("renamed while held", Result(MoveFileExW(sub.c_str(), moved.c_str(), 0)));
  const WString log = Path(W("held\\run.log"));
  for (const char* what : {"the log", "the log again"}) {
    HANDLE file = CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE) WriteFile(file, "12345", 5, &written, nullptr);
    Answer(what, opened(file));
    Gave(file);
  }
  CloseHandle(held);
  Answer("renamed once closed", Result(MoveFileExW(sub.c_str(), moved.c_str(), 0)));

  ASSERT_TRUE(PutFile(Path(W("b.log")), "bb") && PutFile(Path(W("a.LOG")), "a"));
  ASSERT_TRUE(CreateDirectoryW((dir_ + W("\\d.log")).c_str(), nullptr));
  // Each entry that matches once, "." and ".." too, sizes of files, then the error that ends
  // the listing; nothing that matches, or no such folder, fails at once.
  for (const WCHAR* pattern : {W("\\*"), W("\\*.log"), W("\\*.zip"), W("\\none\\*")}) {
    std::multiset<std::string> names;  // sorted, each entry as often as it came
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((dir_ + pattern).c_str(), &found);
    for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found)) {
      const bool folder = found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
      names.insert(Narrow(found.cFileName) + "/" +
                   (folder ? "" : std::to_string(found.nFileSizeLow)));
    }
    std::string shown;
    for (const auto& name : names) shown += name + " ";
    Answer(Narrow(pattern), shown + Result(FALSE));
    FindClose(find);
  }
}

// MoveFileExW(…, MOVEFILE_DELAY_UNTIL_REBOOT) appends to the list of operations the system
// carries out at its next start, with full, normalized NT paths, as the product reads them
// (shown with "|" for each terminator). Only recorded: neither file has to exist.
TEST_F(Files, DelayedOperationsAppendWhatWindowsWrites) {
  const WCHAR* key = W("SYSTEM\\CurrentControlSet\\Control\\Session Manager");
  const WCHAR* name = W("PendingFileRenameOperations");
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &k), 0);
  DWORD size = 0, type = 0;
  const bool had = RegQueryValueExW(k, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
  std::vector<BYTE> saved(size);
  RegQueryValueExW(k, name, nullptr, nullptr, saved.data(), &size);
  RegDeleteValueW(k, name);
  const WString from = dir_ + W("\\new.dll"), to = dir_ + W("\\old.dll");
  const DWORD later = MOVEFILE_DELAY_UNTIL_REBOOT;
  Answer("delete", Result(MoveFileExW((dir_ + W("/x/../gone.dll")).c_str(), nullptr, later)));
  Answer("rename", Result(MoveFileExW(from.c_str(), to.c_str(), later)));
  Answer("replace",
         Result(MoveFileExW(from.c_str(), to.c_str(), later | MOVEFILE_REPLACE_EXISTING)));
  size = 0;
  RegQueryValueExW(k, name, nullptr, &type, nullptr, &size);
  WString value(size / sizeof(WCHAR), 0);
  RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size);
  std::replace(value.begin(), value.end(), WCHAR(0), W('|'));
  std::string shown = Narrow(value.c_str());
  for (size_t at; (at = shown.find(Narrow(dir_.c_str()))) != std::string::npos;) {
    shown.replace(at, dir_.size(), "<dir>");
  }
  Answer("the value", "type " + std::to_string(type) + ": " + shown);
  Answer("a copy", Result(MoveFileExW(from.c_str(), nullptr, later | MOVEFILE_COPY_ALLOWED)));
  RegDeleteValueW(k, name);
  if (had) RegSetValueExW(k, name, 0, REG_MULTI_SZ, saved.data(), DWORD(saved.size()));
  RegCloseKey(k);
}

}  // namespace
