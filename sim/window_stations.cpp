// user32: window stations. The program runs on the interactive station "WinSta0", whose
// windows the user sees, or on a hidden one, as under a service or a deployment agent running
// as the local system account ("Service-0x0-3e7$"). Only the interactive station is visible:
// a station the program makes itself never is.
#include <cstring>
#include <map>

#include "sim/machine.h"

using namespace sim;

namespace {
constexpr uint64_t kProcessStation = 0x3A00;
constexpr char16_t kInteractiveName[] = u"WinSta0";
constexpr char16_t kServiceName[] = u"Service-0x0-3e7$";
constexpr DWORD kErrorNoAccess = 998;

// Stations the running program made or opened, by handle, with their names (in-process, never
// saved).
std::map<uint64_t, U16> stations;
uint64_t nextStation = kProcessStation + 4;

U16 ProcessStationName(const Machine& m) {
  return m.user.windowStationVisible ? kInteractiveName : kServiceName;
}

// Copies a record into the caller's buffer the way the user-object queries do: the size
// needed is always told, and nothing is written unless all of it fits.
BOOL Answer(const void* data, DWORD size, PVOID info, DWORD length, LPDWORD needed) {
  if (needed) *needed = size;
  if (length < size) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (!info) return Fail(kErrorNoAccess);
  std::memcpy(info, data, size);
  return TRUE;
}
}  // namespace

HWINSTA WINAPI GetProcessWindowStation() {
  if (DWORD e = Enter("GetProcessWindowStation")) return Fail(e, nullptr);
  return reinterpret_cast<HWINSTA>(kProcessStation);
}

BOOL WINAPI GetUserObjectInformationW(HANDLE object, int index, PVOID info, DWORD length,
                                      LPDWORD needed) {
  if (DWORD e = Enter("GetUserObjectInformationW", std::to_string(index))) return Fail(e);
  const Machine& m = M();
  const uint64_t h = reinterpret_cast<uint64_t>(object);
  U16 name;
  if (h == kProcessStation) {
    name = ProcessStationName(m);
  } else if (auto it = stations.find(h); it != stations.end()) {
    name = it->second;
  } else {
    if (needed) *needed = 0;
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (index == UOI_FLAGS) {
    USEROBJECTFLAGS flags = {};
    if (EqualFold(name, kInteractiveName) && m.user.windowStationVisible) {
      flags.dwFlags = WSF_VISIBLE;
    }
    return Answer(&flags, sizeof flags, info, length, needed);
  }
  if (index == UOI_NAME) {
    return Answer(name.c_str(), DWORD((name.size() + 1) * sizeof(WCHAR)), info, length, needed);
  }
  if (needed) *needed = 0;
  return Fail(ERROR_INVALID_PARAMETER);
}

HWINSTA WINAPI CreateWindowStationW(LPCWSTR name, DWORD flags, ACCESS_MASK access,
                                    LPSECURITY_ATTRIBUTES sa) {
  (void)flags;
  (void)access;
  (void)sa;
  if (DWORD e = Enter("CreateWindowStationW", name ? ToUtf8(name) : "(null)")) {
    return Fail(e, nullptr);
  }
  U16 station = name ? U16(name) : U16();
  if (station.find(u'\\') != U16::npos) return Fail(ERROR_INVALID_NAME, nullptr);
  // No name: the station of the caller's logon session, named after it; the system
  // account's here.
  if (station.empty()) station = kServiceName;
  const uint64_t h = nextStation;
  nextStation += 4;
  stations[h] = station;
  return reinterpret_cast<HWINSTA>(h);
}

BOOL WINAPI CloseWindowStation(HWINSTA station) {
  if (!stations.erase(reinterpret_cast<uint64_t>(station))) return Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}
