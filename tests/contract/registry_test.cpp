// How the advapi32 registry calls answer: keys ignoring case, values kept as the bytes written,
// the two-call size pattern, access checked per handle, and the last error left alone.
#include "contract.h"

namespace {

const WCHAR* const kKey = W("Software\\OrvContractTest");

std::vector<BYTE> Bytes(const WString& s, bool terminated = true) {
  return {(const BYTE*)s.data(), (const BYTE*)(s.data() + s.size() + terminated)};
}

class Registry : public Contract {
 protected:
  void TearDown() override {
    RegCloseKey(key_);
    for (const WCHAR* sub : {W("\\Sub"), W("")}) {
      RegDeleteKeyW(HKEY_CURRENT_USER, (WString(kKey) + sub).c_str());
    }
    Contract::TearDown();
  }
  // A status as an answer ("; ..." adds what came back); no Reg* call touches the last error.
  void Status(const char* what, LSTATUS status, const std::string& more = "") {
    EXPECT_EQ(GetLastError(), kAnyError) << what;
    Answer(what, Error(DWORD(status)) + more);
  }
  // Windows extends a string's size by a terminator the caller left out when one follows the
  // data in memory; bytes that are not zero after the data make it store exactly what it got.
  LSTATUS Set(HKEY key, const WCHAR* name, DWORD type, std::vector<BYTE> data) {
    const DWORD size = DWORD(data.size());
    data.insert(data.end(), {0x7F, 0x7F});
    return RegSetValueExW(key, name, 0, type, data.data(), size);
  }
  // A value read into a buffer of `room` bytes: its status, type, size and bytes (as hex).
  void Query(const char* what, HKEY key, const WCHAR* name, DWORD room) {
    std::vector<BYTE> data(room + 4, 0x55);
    DWORD type = 0, size = room;
    const LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
    std::string shown = "; type " + std::to_string(type) + ", " + std::to_string(size) + " bytes:";
    if (status && status != ERROR_MORE_DATA) shown.clear();
    for (DWORD i = 0; i < std::min(room + 2, size + 2) && !status; ++i) {
      shown += " " + std::to_string(data[i]);
    }
    Status(what, status, shown);
  }
  HKEY key_ = nullptr, k_ = nullptr;
};

TEST_F(Registry, KeysAndValuesAnswerByNameAndHandle) {
  SetLastError(kAnyError);
  DWORD made = 0;
  const auto create = [&](const char* what, const WCHAR* name) {
    const LSTATUS status =
        RegCreateKeyExW(key_, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k_, &made);
    Status(what, status, "; disposition " + std::to_string(made));
    RegCloseKey(k_);
  };
  Status("RegCreateKeyExW", RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                            nullptr, &key_, nullptr));
  // Values come back as written, with their type; a string written without its terminator
  // gets one when the buffer has room, the size its own.
  Status("REG_SZ", Set(key_, W("Text"), REG_SZ, Bytes(W("ab"))));
  Status("REG_SZ, unterminated", Set(key_, W("Raw"), REG_SZ, Bytes(W("ab"), false)));
  Status("REG_MULTI_SZ", Set(key_, W("List"), REG_MULTI_SZ, Bytes(WString(W("a\0b\0"), 4))));
  Status("REG_SZ, empty", Set(key_, W("Empty"), REG_SZ, {}));
  for (const WCHAR* name : {W("Text"), W("raw"), W("List"), W("Empty")}) {
    Query(("RegQueryValueExW " + Narrow(name)).c_str(), key_, name, 16);
  }
  Query("RegQueryValueExW, too small", key_, W("List"), 4);
  Query("RegQueryValueExW, missing", key_, W("None"), 16);
  Status("RegOpenKeyExW, missing", RegOpenKeyExW(key_, W("None"), 0, KEY_READ, &k_));
  create("RegCreateKeyExW Sub", W("Sub"));
  create("RegCreateKeyExW SUB", W("SUB"));
  Status("RegOpenKeyExA, other case",
         RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\orvcontracttest\\sub", 0, KEY_READ, &k_));
  Status("RegCloseKey", RegCloseKey(k_));
  Status("RegDeleteValueW, other case", RegDeleteValueW(key_, W("text")));
  Status("RegDeleteValueW, again", RegDeleteValueW(key_, W("Text")));
  Status("RegDeleteValueA", RegDeleteValueA(key_, "EMPTY"));
  // Each handle may do only what it was opened for.
  HKEY reader = nullptr, writer = nullptr;
  Status("open for querying", RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, &reader));
  Status("open for setting", RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_SET_VALUE, &writer));
  Status("RegSetValueExW, for querying", Set(reader, W("V"), REG_SZ, {}));
  Status("RegSetValueExW, for setting", Set(writer, W("V"), REG_SZ, {}));
  Query("RegQueryValueExW, for querying", reader, W("V"), 16);
  Query("RegQueryValueExW, for setting", writer, W("V"), 16);
  RegCloseKey(reader);
  RegCloseKey(writer);
}

}  // namespace
