// How the version.dll calls answer: the size query, the block and its fixed information, and
// the failures for a missing file and for a file without a version resource.
#include <string>
#include <vector>

#include "contract.h"

namespace {

using WString = std::basic_string<WCHAR>;

WString SystemFile(const WCHAR* name) {
  WCHAR dir[MAX_PATH];
  UINT n = GetSystemDirectoryW(dir, MAX_PATH);
  return WString(dir, n) + W("\\") + name;
}

// The fixed information of a file's version resource, or none (and the last error).
bool FixedInfo(const WString& path, VS_FIXEDFILEINFO* out) {
  DWORD handle = 0xdeadbeef;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  if (!size) return false;
  EXPECT_EQ(handle, 0u);
  std::vector<BYTE> block(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return false;
  LPVOID fixed = nullptr;
  UINT len = 0;
  if (!VerQueryValueW(block.data(), W("\\"), &fixed, &len)) return false;
  EXPECT_EQ(len, sizeof(VS_FIXEDFILEINFO));
  *out = *static_cast<VS_FIXEDFILEINFO*>(fixed);
  return true;
}

TEST_F(Contract, MissingFileHasNoVersionSizeAndError2) {
  WString path = SystemFile(W("no-such-module.dll"));
  DWORD handle = 0;
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetFileVersionInfoSizeW(path.c_str(), &handle), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(Contract, SystemModuleCarriesAFixedFileInfo) {
  VS_FIXEDFILEINFO info{};
  ASSERT_TRUE(FixedInfo(SystemFile(W("kernel32.dll")), &info));
  EXPECT_EQ(info.dwSignature, DWORD(VS_FFI_SIGNATURE));
  EXPECT_EQ(info.dwStrucVersion, DWORD(VS_FFI_STRUCVERSION));
  EXPECT_NE(info.dwProductVersionMS, 0u);
}

#ifndef _WIN32
TEST_F(Contract, PackageModulesReadAsProductVersionParts) {
  struct Case {
    sim::VersionInfo version;
    DWORD ms, ls;
  };
  const Case cases[] = {
      {{{1, 0, 0, 2300}, {1, 0, 0, 2300}}, 0x00010000, 2300},
      {{{9, 9, 9, 9}, {1, 2, 3, 2300}}, 0x00010002, 0x000308FC},
      {{{0, 0, 0, 0}, {0, 0, 0, 65535}}, 0, 65535},
  };
  WString path = W("C:\\Windows\\Temp\\m.dll");
  for (const auto& c : cases) {
    sim::PutFile(machine_, path, std::vector<uint8_t>(301, 0x5A), c.version);
    VS_FIXEDFILEINFO info{};
    ASSERT_TRUE(FixedInfo(path, &info));
    EXPECT_EQ(info.dwProductVersionMS, c.ms);
    EXPECT_EQ(info.dwProductVersionLS, c.ls);
    EXPECT_EQ(info.dwFileVersionMS, (DWORD(c.version.file[0]) << 16) | c.version.file[1]);
  }
  VS_FIXEDFILEINFO info{};
  ASSERT_TRUE(FixedInfo(W("C:\\Program Files\\Orvalstone\\Setup\\kvxui64.dll"), &info));
  EXPECT_EQ(info.dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(info.dwProductVersionLS, 2300u);
}

TEST_F(Contract, FileWithoutVersionResourceHasSizeZeroAndError1813) {
  sim::PutFile(machine_, u"C:\\Windows\\Temp\\plain.dll", std::vector<uint8_t>(64, 1));
  for (const WCHAR* path : {W("C:\\Windows\\Temp\\plain.dll"),
                            W("C:\\Program Files\\Orvalstone\\Setup\\kvxhelp.chm")}) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetFileVersionInfoSizeW(path, nullptr), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
  }
}

TEST_F(Contract, CopyMadeByReadingAndWritingKeepsTheVersion) {
  const WCHAR* from = W("C:\\Program Files\\Orvalstone\\Setup\\kvxmon64.dll");
  const WCHAR* to = W("C:\\Windows\\system32\\kvxmon64.dll");
  HANDLE in = CreateFileW(from, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE out = CreateFileW(to, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(in, INVALID_HANDLE_VALUE);
  ASSERT_NE(out, INVALID_HANDLE_VALUE);
  std::vector<char> buffer(8192);
  DWORD got = 0, put = 0;
  while (ReadFile(in, buffer.data(), DWORD(buffer.size()), &got, nullptr) && got) {
    WriteFile(out, buffer.data(), got, &put, nullptr);
  }
  CloseHandle(in);
  CloseHandle(out);
  VS_FIXEDFILEINFO info{};
  ASSERT_TRUE(FixedInfo(to, &info));
  EXPECT_EQ(info.dwProductVersionLS, 2300u);
  ASSERT_TRUE(sim::FindFile(machine_, to)->version.has_value());
  EXPECT_EQ(sim::FindFile(machine_, to)->version->product[3], 2300);
}

TEST_F(Contract, PuttingTheSameVersionAgainLeavesTheBytesAlone) {
  const std::u16string path = u"C:\\Windows\\Temp\\again.dll";
  sim::VersionInfo v{{1, 0, 0, 1}, {1, 0, 0, 2073}};
  auto first = sim::PutFile(machine_, path, std::vector<uint8_t>(100, 7), v).data;
  auto second = sim::PutFile(machine_, path, first, v).data;
  EXPECT_EQ(first, second);
  v.product[3] = 2072;
  auto third = sim::PutFile(machine_, path, first, v);
  EXPECT_EQ(third.data.size(), first.size());
  EXPECT_EQ(third.version->product[3], 2072);
}

TEST_F(Contract, ShortBlockNeverLetsTheQueryReadPastIt) {
  const WCHAR* path = W("C:\\Program Files\\Orvalstone\\Setup\\kvxmon64.dll");
  DWORD size = GetFileVersionInfoSizeW(path, nullptr);
  ASSERT_GT(size, 40u);
  std::vector<BYTE> block(40);
  ASSERT_TRUE(GetFileVersionInfoW(path, 0, DWORD(block.size()), block.data()));
  LPVOID fixed = nullptr;
  UINT len = 0;
  EXPECT_FALSE(VerQueryValueW(block.data(), W("\\"), &fixed, &len));
}
#endif

}  // namespace
