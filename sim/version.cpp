// version.dll: a module's version resource. The block lives inside the file's bytes in the
// layout modules carry (VS_VERSIONINFO: header, the key "VS_VERSION_INFO", VS_FIXEDFILEINFO),
// and the three calls hand it out and read it the way Windows does.
#include <algorithm>
#include <cstring>

#include "sim/machine.h"

namespace sim {

namespace {

constexpr size_t kKeyOffset = 6;     // after wLength, wValueLength, wType
constexpr size_t kFixedOffset = 40;  // the key (16 UTF-16 units) padded to 32 bits
constexpr size_t kBlockSize = kFixedOffset + sizeof(VS_FIXEDFILEINFO);
constexpr char16_t kKey[] = u"VS_VERSION_INFO";

uint16_t Word(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
uint32_t Dword(const uint8_t* p) {
  return uint32_t(Word(p)) | (uint32_t(Word(p + 2)) << 16);
}
void PutWord(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void PutDword(uint8_t* p, uint32_t v) {
  PutWord(p, uint16_t(v));
  PutWord(p + 2, uint16_t(v >> 16));
}

// Whether a well-formed block of at most `size` bytes starts at p.
bool IsBlock(const uint8_t* p, size_t size) {
  if (size < kBlockSize) return false;
  for (size_t i = 0; i < 16; ++i) {
    if (Word(p + kKeyOffset + 2 * i) != uint16_t(kKey[i])) return false;
  }
  size_t length = Word(p);
  return length >= kBlockSize && length <= size && Word(p + 2) == sizeof(VS_FIXEDFILEINFO) &&
         Dword(p + kFixedOffset) == VS_FFI_SIGNATURE;
}

void FillBlock(uint8_t* p, const VersionInfo& v) {
  PutWord(p, uint16_t(kBlockSize));
  PutWord(p + 2, uint16_t(sizeof(VS_FIXEDFILEINFO)));
  PutWord(p + 4, 0);  // binary value
  for (size_t i = 0; i < 16; ++i) PutWord(p + kKeyOffset + 2 * i, uint16_t(kKey[i]));
  PutWord(p + kKeyOffset + 32, 0);  // padding
  uint8_t* f = p + kFixedOffset;
  std::memset(f, 0, sizeof(VS_FIXEDFILEINFO));
  PutDword(f + offsetof(VS_FIXEDFILEINFO, dwSignature), VS_FFI_SIGNATURE);
  PutDword(f + offsetof(VS_FIXEDFILEINFO, dwStrucVersion), VS_FFI_STRUCVERSION);
  PutDword(f + offsetof(VS_FIXEDFILEINFO, dwFileVersionMS),
           (uint32_t(v.file[0]) << 16) | v.file[1]);
  PutDword(f + offsetof(VS_FIXEDFILEINFO, dwFileVersionLS),
           (uint32_t(v.file[2]) << 16) | v.file[3]);
  PutDword(f + offsetof(VS_FIXEDFILEINFO, dwProductVersionMS),
           (uint32_t(v.product[0]) << 16) | v.product[1]);
  PutDword(f + offsetof(VS_FIXEDFILEINFO, dwProductVersionLS),
           (uint32_t(v.product[2]) << 16) | v.product[3]);
  PutDword(f + offsetof(VS_FIXEDFILEINFO, dwFileFlagsMask), 0x3F);
  PutDword(f + offsetof(VS_FIXEDFILEINFO, dwFileOS), 0x40004);  // VOS_NT_WINDOWS32
  PutDword(f + offsetof(VS_FIXEDFILEINFO, dwFileType), 2);      // VFT_DLL
}

}  // namespace

std::optional<std::pair<size_t, size_t>> FindVersionResource(const std::vector<uint8_t>& data) {
  const uint8_t* p = data.data();
  for (size_t at = kKeyOffset; at + kBlockSize - kKeyOffset <= data.size(); ++at) {
    if (p[at] != 'V' || p[at + 1] != 0) continue;
    if (IsBlock(p + at - kKeyOffset, data.size() - (at - kKeyOffset))) {
      return std::make_pair(at - kKeyOffset, size_t(Word(p + at - kKeyOffset)));
    }
  }
  return std::nullopt;
}

std::optional<VersionInfo> ReadVersionResource(const std::vector<uint8_t>& data) {
  auto block = FindVersionResource(data);
  if (!block) return std::nullopt;
  const uint8_t* f = data.data() + block->first + kFixedOffset;
  VersionInfo v;
  uint32_t fms = Dword(f + offsetof(VS_FIXEDFILEINFO, dwFileVersionMS));
  uint32_t fls = Dword(f + offsetof(VS_FIXEDFILEINFO, dwFileVersionLS));
  uint32_t pms = Dword(f + offsetof(VS_FIXEDFILEINFO, dwProductVersionMS));
  uint32_t pls = Dword(f + offsetof(VS_FIXEDFILEINFO, dwProductVersionLS));
  v.file[0] = uint16_t(fms >> 16);
  v.file[1] = uint16_t(fms);
  v.file[2] = uint16_t(fls >> 16);
  v.file[3] = uint16_t(fls);
  v.product[0] = uint16_t(pms >> 16);
  v.product[1] = uint16_t(pms);
  v.product[2] = uint16_t(pls >> 16);
  v.product[3] = uint16_t(pls);
  return v;
}

void WriteVersionResource(std::vector<uint8_t>& data, const VersionInfo& version) {
  size_t at;
  if (auto block = FindVersionResource(data)) {
    at = block->first;
  } else {
    // Appended on a 32-bit boundary, as resource data is aligned in a module.
    at = (data.size() + 3) & ~size_t(3);
    data.resize(at + kBlockSize, 0);
  }
  FillBlock(data.data() + at, version);
}

}  // namespace sim

using namespace sim;

DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR filename, LPDWORD handle) {
  if (handle) *handle = 0;
  if (DWORD e = Enter("GetFileVersionInfoSizeW", CallArg(filename))) return Fail(e, 0);
  Machine& m = M();
  DWORD error = 0;
  const SimFile* f = LookupFile(m, filename, &error);
  if (!f) return Fail(error, 0);
  auto block = FindVersionResource(f->data);
  if (!block) return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND, 0);
  return DWORD(block->second);
}

BOOL WINAPI GetFileVersionInfoW(LPCWSTR filename, DWORD handle, DWORD size, LPVOID data) {
  (void)handle;
  if (DWORD e = Enter("GetFileVersionInfoW", CallArg(filename))) return Fail(e);
  if (!data) return Fail(ERROR_INVALID_PARAMETER);
  Machine& m = M();
  DWORD error = 0;
  const SimFile* f = LookupFile(m, filename, &error);
  if (!f) return Fail(error);
  auto block = FindVersionResource(f->data);
  if (!block) return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
  // A short buffer gets what fits; its length is corrected so a query never reads past it.
  size_t n = std::min<size_t>(size, block->second);
  std::memcpy(data, f->data.data() + block->first, n);
  if (n >= 2 && n < block->second) PutWord(static_cast<uint8_t*>(data), uint16_t(n));
  return TRUE;
}

BOOL WINAPI VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* len) {
  if (Enter("VerQueryValueW", CallArg(subBlock))) return FALSE;
  if (!block || !subBlock || !buffer) return FALSE;
  std::u16string_view sub(subBlock);
  // The root is the fixed information; the block carries no string or translation tables.
  if (!sub.empty() && sub != u"\\") return FALSE;
  const auto* p = static_cast<const uint8_t*>(block);
  if (Word(p) < kBlockSize || Word(p + 2) != sizeof(VS_FIXEDFILEINFO)) return FALSE;
  *buffer = const_cast<uint8_t*>(p + kFixedOffset);
  if (len) *len = sizeof(VS_FIXEDFILEINFO);
  return TRUE;
}
