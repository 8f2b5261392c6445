// kernel32 and advapi32: the machine's architecture and the running program's identity. The
// program runs as a user, or as the local system account (S-1-5-18), as a deployment agent or
// a service starts it.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "sim/machine.h"

using namespace sim;

namespace {
// The pseudo handle the system hands out for the calling process.
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(intptr_t(-1));
constexpr DWORD kErrorNoAccess = 998;

// A handle on the running program's access token.
struct TokenObject : KernelObject {};

// S-1-5-18, and an ordinary local user's S-1-5-21-…-1001, as the system lays SIDs out.
struct SidBytes {
  BYTE revision = 1;
  BYTE subAuthorities = 0;
  BYTE authority[6] = {0, 0, 0, 0, 0, 5};
  DWORD sub[5] = {};
};

SidBytes RunningSid(const Machine& m) {
  SidBytes sid;
  if (m.kernel.localSystem) {
    sid.subAuthorities = 1;
    sid.sub[0] = 18;
  } else {
    sid.subAuthorities = 5;
    const DWORD user[5] = {21, 1004336348, 1177238915, 682003330, 1001};
    std::memcpy(sid.sub, user, sizeof user);
  }
  return sid;
}

DWORD SidLength(const SidBytes& sid) {
  return DWORD(8 + sid.subAuthorities * sizeof(DWORD));
}

WORD Architecture(USHORT machine) {
  switch (machine) {
    case IMAGE_FILE_MACHINE_I386:
      return PROCESSOR_ARCHITECTURE_INTEL;
    case IMAGE_FILE_MACHINE_ARMNT:
      return PROCESSOR_ARCHITECTURE_ARM;
    case IMAGE_FILE_MACHINE_IA64:
      return PROCESSOR_ARCHITECTURE_IA64;
    case IMAGE_FILE_MACHINE_AMD64:
      return PROCESSOR_ARCHITECTURE_AMD64;
    case IMAGE_FILE_MACHINE_ARM64:
      return PROCESSOR_ARCHITECTURE_ARM64;
    default:
      return PROCESSOR_ARCHITECTURE_UNKNOWN;
  }
}
}  // namespace

HANDLE WINAPI GetCurrentProcess() {
  return kCurrentProcess;
}

// The installer is a 64-bit x64 program: on an x64 machine it runs natively; on ARM64 under
// emulation, which IsWow64Process2 does not count as WOW64 (the process machine is unknown).
BOOL WINAPI IsWow64Process2(HANDLE process, USHORT* processMachine, USHORT* nativeMachine) {
  if (DWORD e = Enter("IsWow64Process2")) return Fail(e);
  if (process != kCurrentProcess) return Fail(ERROR_INVALID_HANDLE);
  if (!processMachine) return Fail(ERROR_INVALID_PARAMETER);
  *processMachine = IMAGE_FILE_MACHINE_UNKNOWN;
  if (nativeMachine) *nativeMachine = M().kernel.nativeMachine;
  return TRUE;
}

// An x64 program on ARM64 is told of an x64 machine here, as the emulation presents it; only
// IsWow64Process2 tells the truth there. Other architectures are reported as they are.
void WINAPI GetNativeSystemInfo(LPSYSTEM_INFO info) {
  Enter("GetNativeSystemInfo");
  std::memset(info, 0, sizeof *info);
  const USHORT machine = M().kernel.nativeMachine;
  info->wProcessorArchitecture =
      Architecture(machine == IMAGE_FILE_MACHINE_ARM64 ? IMAGE_FILE_MACHINE_AMD64 : machine);
  info->dwPageSize = 4096;
  info->dwNumberOfProcessors = 2;
  info->dwAllocationGranularity = 65536;
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
  if (DWORD e = Enter("OpenProcessToken", std::to_string(access))) return Fail(e);
  if (process != kCurrentProcess) return Fail(ERROR_INVALID_HANDLE);
  if (!token) return Fail(kErrorNoAccess);
  *token = M().kernelHandles.Add(std::make_shared<TokenObject>());
  return TRUE;
}

// TOKEN_USER followed by the SID it points to, in the caller's buffer; the size needed is
// always told.
BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info,
                                DWORD length, PDWORD returnLength) {
  if (DWORD e = Enter("GetTokenInformation", std::to_string(infoClass))) return Fail(e);
  Machine& m = M();
  if (!m.kernelHandles.GetAs<TokenObject>(token)) return Fail(ERROR_INVALID_HANDLE);
  if (infoClass != TokenUser || !returnLength) return Fail(ERROR_INVALID_PARAMETER);
  const SidBytes sid = RunningSid(m);
  const DWORD size = DWORD(sizeof(TOKEN_USER)) + SidLength(sid);
  *returnLength = size;
  if (length < size) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (!info) return Fail(kErrorNoAccess);
  auto* user = static_cast<TOKEN_USER*>(info);
  BYTE* bytes = static_cast<BYTE*>(info) + sizeof(TOKEN_USER);
  std::memcpy(bytes, &sid, SidLength(sid));
  user->User.Sid = bytes;
  user->User.Attributes = 0;
  return TRUE;
}

BOOL WINAPI IsWellKnownSid(PSID sid, WELL_KNOWN_SID_TYPE type) {
  Enter("IsWellKnownSid", std::to_string(type));
  if (!sid || type != WinLocalSystemSid) return FALSE;
  const auto* bytes = static_cast<const BYTE*>(sid);
  SidBytes system;
  system.subAuthorities = 1;
  system.sub[0] = 18;
  return bytes[1] == 1 && std::memcmp(bytes, &system, SidLength(system)) == 0;
}

namespace {
// The end of the part at `offset` (a SID or an ACL) of a self-relative descriptor, or 0 when
// it does not lie inside the `limit` bytes the caller vouches for.
size_t PartEnd(const BYTE* sd, DWORD offset, bool acl, size_t limit) {
  if (!offset) return 0;
  if (offset + 8 > limit) return SIZE_MAX;
  const BYTE* part = sd + offset;
  const size_t size = acl ? size_t(part[2] | (part[3] << 8)) : 8 + 4 * size_t(part[1]);
  return offset + size;
}

}  // namespace

DWORD sim::SelfRelativeLength(const void* sd, size_t limit) {
  const auto* bytes = static_cast<const BYTE*>(sd);
  if (!bytes || limit < 20 || bytes[0] != 1 || !(bytes[3] & 0x80)) return 0;
  size_t end = 20;
  for (int i = 0; i < 4; ++i) {
    DWORD offset;
    std::memcpy(&offset, bytes + 4 + 4 * i, 4);
    const size_t partEnd = PartEnd(bytes, offset, i >= 2, limit);
    if (partEnd == SIZE_MAX || partEnd > limit) return 0;
    end = std::max(end, partEnd);
  }
  return DWORD(end);
}

namespace {
constexpr size_t kLargestDescriptor = 65536;
}  // namespace

BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR sd) {
  Enter("IsValidSecurityDescriptor");
  return sim::SelfRelativeLength(sd, kLargestDescriptor) != 0;
}

DWORD WINAPI GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR sd) {
  Enter("GetSecurityDescriptorLength");
  return sim::SelfRelativeLength(sd, kLargestDescriptor);
}
