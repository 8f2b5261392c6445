// How the advapi32 registry calls answer: keys ignoring case, values kept as the bytes written,
// the two-call size pattern, access checked per handle, and the last error left alone.
#include <cstring>

#include "contract.h"

namespace {

const WCHAR* const kKey = W("Software\\OrvContractTest");

// A status as a row's answer; a Reg* call never touches the last error.
BOOL Reg(LSTATUS status) {
  EXPECT_EQ(GetLastError(), kAnyError) << "the last error changed";
  if (status != ERROR_SUCCESS) SetLastError(DWORD(status));
  return status == ERROR_SUCCESS;
}

std::vector<BYTE> Bytes(const WString& s, bool terminated = true) {
  std::vector<BYTE> out(reinterpret_cast<const BYTE*>(s.data()),
                        reinterpret_cast<const BYTE*>(s.data() + s.size()));
  if (terminated) out.insert(out.end(), {0, 0});
  return out;
}

class Registry : public Contract {
 protected:
  void SetUp() override {
    Contract::SetUp();
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(key_);
    for (const WCHAR* sub : {W("\\a\\b"), W("\\a"), W("\\Sub"), W("")}) {
      RegDeleteKeyW(HKEY_CURRENT_USER, (WString(kKey) + sub).c_str());
    }
  }
  // Windows extends a string's size by a terminator the caller left out when one follows the
  // data in memory; bytes that are not zero after the data make it store exactly what it got.
  LSTATUS Set(const WCHAR* name, DWORD type, std::vector<BYTE> data, HKEY key = nullptr) {
    const DWORD size = DWORD(data.size());
    data.insert(data.end(), {0x7F, 0x7F});
    return RegSetValueExW(key ? key : key_, name, 0, type, data.data(), size);
  }
  HKEY key_ = nullptr;
};

TEST_F(Registry, KeysAndValuesAnswerByNameAndHandle) {
  ASSERT_EQ(Set(W("Path"), REG_SZ, Bytes(W("abc"), false)), ERROR_SUCCESS);
  ASSERT_EQ(Set(W("Long"), REG_SZ, Bytes(W("0123456789"))), ERROR_SUCCESS);
  HKEY k = nullptr, reader = nullptr, writer = nullptr;
  DWORD disposition = 0, size = 0;
  WCHAR text[8];
  const auto query = [&](HKEY key, const WCHAR* name, DWORD room) {
    std::memset(text, 0x55, sizeof text);
    size = room;
    return Reg(RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size));
  };
  const auto create = [&](const WCHAR* name, DWORD expected) {
    return Reg(RegCreateKeyExW(key_, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                               &disposition)) &&
           disposition == expected && !RegCloseKey(k);
  };
  const DWORD number = 0x12345678;
  // Values come back as the bytes written, with their type.
  const auto roundTrip = [&](DWORD type, const std::vector<BYTE>& data) {
    DWORD got = 0;
    std::vector<BYTE> back(data.size() + 8);
    size = DWORD(back.size());
    bool same = Reg(Set(W("T"), type, data)) &&
                Reg(RegQueryValueExW(key_, W("T"), nullptr, &got, back.data(), &size));
    back.resize(size);
    return same && got == type && back == data;
  };
  ExpectRows({
      {"REG_SZ", [&] { return roundTrip(REG_SZ, Bytes(W("C:\\x\\orvtray.exe"))); }},
      {"REG_SZ, empty", [&] { return roundTrip(REG_SZ, {}); }},
      {"REG_MULTI_SZ",
       [&] { return roundTrip(REG_MULTI_SZ, Bytes(WString(W("a\0bc\0\0"), 6), false)); }},
      {"REG_DWORD",
       [&] {
         return roundTrip(REG_DWORD, {(BYTE*)&number, (BYTE*)&number + 4});
       }},
      {"REG_BINARY",
       [&] {
         return roundTrip(REG_BINARY, {0, 1, 2, 0xFF, 0});
       }},
      // An unterminated string gets a terminator when the buffer has room, the size its own.
      {"RegQueryValueExW, unterminated",
       [&] {
         return query(key_, W("Path"), sizeof text) && size == 6 && WString(text) == W("abc");
       }},
      {"RegQueryValueExW, too small", [&] { return query(key_, W("Long"), 8) || size != 22; },
       ERROR_MORE_DATA},
      {"RegQueryValueExW, missing", [&] { return query(key_, W("None"), 16); },
       ERROR_FILE_NOT_FOUND},
      {"RegOpenKeyExW, missing",
       [&] { return Reg(RegOpenKeyExW(key_, W("None"), 0, KEY_READ, &k)); }, ERROR_FILE_NOT_FOUND},
      {"RegOpenKeyExA, missing", [&] { return Reg(RegOpenKeyExA(key_, "None", 0, KEY_READ, &k)); },
       ERROR_FILE_NOT_FOUND},
      {"RegCreateKeyExW", [&] { return create(W("Sub"), REG_CREATED_NEW_KEY); }},
      {"RegCreateKeyExW, other case", [&] { return create(W("SUB"), REG_OPENED_EXISTING_KEY); }},
      {"RegOpenKeyExA, other case",
       [&] {
         return Reg(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\orvcontracttest\\sub", 0, KEY_READ,
                                  &k)) &&
                !RegCloseKey(k);
       }},
      {"RegOpenKeyExW, leading backslash",
       [&] { return Reg(RegOpenKeyExW(HKEY_CURRENT_USER, W("\\Software"), 0, KEY_READ, &k)); },
       161 /* ERROR_BAD_PATHNAME */},
      {"RegDeleteKeyW", [&] { return Reg(RegDeleteKeyW(key_, W("Sub"))); }},
      {"RegDeleteKeyW, again", [&] { return Reg(RegDeleteKeyW(key_, W("Sub"))); },
       ERROR_FILE_NOT_FOUND},
      {"RegDeleteKeyW, with a sub-key",
       [&] { return create(W("a\\b"), REG_CREATED_NEW_KEY) && Reg(RegDeleteKeyW(key_, W("a"))); },
       ERROR_ACCESS_DENIED},
      {"RegDeleteValueW, other case", [&] { return Reg(RegDeleteValueW(key_, W("path"))); }},
      {"RegDeleteValueW, again", [&] { return Reg(RegDeleteValueW(key_, W("Path"))); },
       ERROR_FILE_NOT_FOUND},
      {"RegDeleteValueA", [&] { return Reg(RegDeleteValueA(key_, "LONG")); }},
      {"RegDeleteValueA, again", [&] { return Reg(RegDeleteValueA(key_, "Long")); },
       ERROR_FILE_NOT_FOUND},
      {"RegCloseKey, unknown key",
       [&] { return Reg(RegCloseKey(reinterpret_cast<HKEY>(uintptr_t(0x7FFF0)))); },
       ERROR_INVALID_HANDLE},
      // Each handle may do only what it was opened for.
      {"RegOpenKeyExW, two handles",
       [&] {
         return Reg(RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, &reader)) &&
                Reg(RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_SET_VALUE, &writer));
       }},
      {"RegSetValueExW, query only", [&] { return Reg(Set(W("V"), REG_SZ, {}, reader)); }, 5},
      {"RegSetValueExW, set only", [&] { return Reg(Set(W("V"), REG_SZ, Bytes(W("y")), writer)); }},
      {"RegQueryValueExW, query only", [&] { return query(reader, W("V"), sizeof text); }},
      {"RegQueryValueExW, set only", [&] { return query(writer, W("V"), sizeof text); }, 5},
      {"RegDeleteValueW, query only", [&] { return Reg(RegDeleteValueW(reader, W("V"))); }, 5},
      {"RegDeleteValueW, set only", [&] { return Reg(RegDeleteValueW(writer, W("V"))); }},
      {"RegCloseKey", [&] { return Reg(RegCloseKey(reader)) && Reg(RegCloseKey(writer)); }},
  });
}

}  // namespace
