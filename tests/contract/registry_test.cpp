// How the advapi32 registry calls answer: keys ignoring case, values kept as the bytes
// written, the two-call size pattern, access checked per handle, and the last error left
// alone by every Reg* call.
#include <cstring>
#include <string>
#include <vector>

#include "contract.h"

namespace {

using WString = std::basic_string<WCHAR>;

constexpr const WCHAR* kTestKey = W("Software\\OrvContractTest");

// Each test works under a key of its own in HKEY_CURRENT_USER and removes it afterwards.
class Registry : public Contract {
 protected:
  void SetUp() override {
    Contract::SetUp();
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(key_);
    for (const WCHAR* sub : {W("\\a\\b"), W("\\a"), W("\\Sub"), W("")}) {
      RegDeleteKeyW(HKEY_CURRENT_USER, (WString(kTestKey) + sub).c_str());
    }
    Contract::TearDown();
  }
  static std::vector<BYTE> Bytes(const WString& s, bool terminated) {
    std::vector<BYTE> out(reinterpret_cast<const BYTE*>(s.data()),
                          reinterpret_cast<const BYTE*>(s.data() + s.size()));
    if (terminated) out.insert(out.end(), {0, 0});
    return out;
  }
  // Windows extends a string's size by a terminator the caller left out when one follows the
  // data in memory; bytes that are not zero after the data make it store exactly what it got.
  LSTATUS Set(const WCHAR* name, DWORD type, const std::vector<BYTE>& data) {
    std::vector<BYTE> padded = data;
    padded.insert(padded.end(), {0x7F, 0x7F});
    return RegSetValueExW(key_, name, 0, type, padded.data(), DWORD(data.size()));
  }
  HKEY key_ = nullptr;
};

TEST_F(Registry, ValuesComeBackAsWrittenWithTheirType) {
  DWORD number = 0x12345678;
  std::vector<BYTE> dword(4);
  std::memcpy(dword.data(), &number, 4);
  struct Case {
    const WCHAR* name;
    DWORD type;
    std::vector<BYTE> data;
  };
  const Case cases[] = {
      {W("Text"), REG_SZ, Bytes(W("C:\\x\\orvtray.exe"), true)},
      {W("Unterminated"), REG_SZ, Bytes(W("abc"), false)},
      {W("Empty"), REG_SZ, {}},
      {W("List"), REG_MULTI_SZ, Bytes(WString(W("a\0bc\0\0"), 6), false)},
      {W("Number"), REG_DWORD, dword},
      {W("Blob"), REG_BINARY, {0, 1, 2, 0xFF, 0}},
      {W(""), REG_SZ, Bytes(W("default"), true)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "value of type " << c.type << " size " << c.data.size());
    SetLastError(0xdeadbeef);
    ASSERT_EQ(Set(c.name, c.type, c.data), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExW(key_, c.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(size, c.data.size());
    std::vector<BYTE> back(size + 8, 0xAA);
    DWORD exact = size;
    ASSERT_EQ(RegQueryValueExW(key_, c.name, nullptr, &type, back.data(), &exact), ERROR_SUCCESS);
    EXPECT_EQ(exact, c.data.size());
    EXPECT_EQ(std::vector<BYTE>(back.begin(), back.begin() + exact), c.data);
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
  }
}

TEST_F(Registry, StringWithoutTerminatorGetsOneWhenTheBufferHasRoom) {
  ASSERT_EQ(Set(W("Path"), REG_SZ, Bytes(W("abc"), false)), ERROR_SUCCESS);
  WCHAR buffer[8];
  std::memset(buffer, 0x55, sizeof buffer);
  DWORD size = sizeof buffer;
  ASSERT_EQ(
      RegQueryValueExW(key_, W("Path"), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);  // the data's own size
  EXPECT_EQ(WString(buffer), W("abc"));
}

TEST_F(Registry, SmallBufferGetsMoreDataAndTheSizeNeeded) {
  std::vector<BYTE> data = Bytes(W("0123456789"), true);
  ASSERT_EQ(Set(W("Long"), REG_SZ, data), ERROR_SUCCESS);
  std::vector<BYTE> small(8, 0x77);
  DWORD size = DWORD(small.size());
  SetLastError(0xdeadbeef);
  EXPECT_EQ(RegQueryValueExW(key_, W("Long"), nullptr, nullptr, small.data(), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, data.size());
  EXPECT_EQ(GetLastError(), 0xdeadbeefu);
}

TEST_F(Registry, MissingKeysAndValuesAndDeletingTwice) {
  HKEY k = nullptr;
  SetLastError(0xdeadbeef);
  EXPECT_EQ(RegOpenKeyExW(key_, W("NoSuchKey"), 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(key_, "NoSuchKey", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key_, W("NoSuchValue"), nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(Set(W("Once"), REG_SZ, Bytes(W("x"), true)), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key_, W("once")), ERROR_SUCCESS);  // names ignore case
  EXPECT_EQ(RegDeleteValueW(key_, W("Once")), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(Set(W("Narrow"), REG_SZ, Bytes(W("x"), true)), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key_, "NARROW"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key_, "Narrow"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x7FFF0))),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetLastError(), 0xdeadbeefu);
}

TEST_F(Registry, KeysIgnoreCaseAndCreatingTwiceOpens) {
  HKEY sub = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(
      RegCreateKeyExW(key_, W("Sub"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, &disposition),
      ERROR_SUCCESS);
  EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
  RegCloseKey(sub);
  ASSERT_EQ(
      RegCreateKeyExW(key_, W("SUB"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, &disposition),
      ERROR_SUCCESS);
  EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
  RegCloseKey(sub);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\orvcontracttest\\sub", 0, KEY_READ, &sub),
            ERROR_SUCCESS);
  RegCloseKey(sub);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, W("\\Software"), 0, KEY_READ, &sub), 161);
  EXPECT_EQ(RegDeleteKeyW(key_, W("Sub")), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(key_, W("Sub")), ERROR_FILE_NOT_FOUND);
  // A key with sub-keys stays.
  ASSERT_EQ(RegCreateKeyExW(key_, W("a\\b"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(sub);
  EXPECT_EQ(RegDeleteKeyW(key_, W("a")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetLastError(), 0xdeadbeefu);
}

TEST_F(Registry, HandlesMayOnlyDoWhatTheyWereOpenedFor) {
  ASSERT_EQ(Set(W("V"), REG_SZ, Bytes(W("x"), true)), ERROR_SUCCESS);
  std::vector<BYTE> data = Bytes(W("y"), true);
  DWORD size = 0;
  HKEY reader = nullptr, writer = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_QUERY_VALUE, &reader), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_SET_VALUE, &writer), ERROR_SUCCESS);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(RegSetValueExW(reader, W("V"), 0, REG_SZ, data.data(), DWORD(data.size())),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(reader, W("V")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegQueryValueExW(reader, W("V"), nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(writer, W("V"), nullptr, nullptr, nullptr, &size),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(writer, W("V")), ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), 0xdeadbeefu);
  EXPECT_EQ(RegCloseKey(reader), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(writer), ERROR_SUCCESS);
}

TEST_F(Registry, NarrowQueryConvertsThroughTheAnsiCodePage) {
  // "Café €" in Windows-1252 is 43 61 66 E9 20 80.
  ASSERT_EQ(Set(W("Text"), REG_SZ, Bytes(W("Caf\u00e9 \u20ac"), true)), ERROR_SUCCESS);
  char buffer[32] = {};
  DWORD size = sizeof buffer;
  ASSERT_EQ(
      RegQueryValueExA(key_, "Text", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(size, 7u);
  EXPECT_STREQ(buffer, "Caf\xE9 \x80");
}

#ifndef _WIN32
TEST_F(Registry, KeyMarkedDeniedRefusesEveryOpen) {
  sim::FindRegKey(machine_, HKEY_CURRENT_USER, kTestKey)->accessDenied = true;
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_QUERY_VALUE, &k),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\OrvContractTest", 0, KEY_ALL_ACCESS, &k),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(k, nullptr);
  sim::FindRegKey(machine_, HKEY_CURRENT_USER, kTestKey)->accessDenied = false;
}

TEST_F(Registry, DefaultMachineHasTheKeysTheInstallerOpens) {
  for (auto [root, path] :
       {std::pair{HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager"},
        std::pair{HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"},
        std::pair{HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Run"}}) {
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, &k), ERROR_SUCCESS) << path;
    RegCloseKey(k);
  }
}
#endif

}  // namespace
