// kernel32, shell32 and runtime pieces: last error, virtual time, heaps, strings,
// system message texts, the command line and the program's own identity.
#include <malloc.h>

#include <cstring>

#include "sim/machine.h"

using namespace sim;

namespace {
thread_local DWORD lastError = 0;

struct MessageText {
  DWORD code;
  const char16_t* text;
};
// The English system texts, as FormatMessageW returns them (CR LF included).
const MessageText kMessages[] = {
    {0, u"The operation completed successfully.\r\n"},
    {1, u"Incorrect function.\r\n"},
    {2, u"The system cannot find the file specified.\r\n"},
    {3, u"The system cannot find the path specified.\r\n"},
    {5, u"Access is denied.\r\n"},
    {6, u"The handle is invalid.\r\n"},
    {8, u"Not enough memory resources are available to process this command.\r\n"},
    {13, u"The data is invalid.\r\n"},
    {14, u"Not enough memory resources are available to complete this operation.\r\n"},
    {18, u"There are no more files.\r\n"},
    {19, u"The media is write protected.\r\n"},
    {32, u"The process cannot access the file because it is being used by another process.\r\n"},
    {38, u"Reached the end of the file.\r\n"},
    {80, u"The file exists.\r\n"},
    {87, u"The parameter is incorrect.\r\n"},
    {112, u"There is not enough space on the disk.\r\n"},
    {122, u"The data area passed to a system call is too small.\r\n"},
    {123, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {124, u"The system call level is not correct.\r\n"},
    {126, u"The specified module could not be found.\r\n"},
    {127, u"The specified procedure could not be found.\r\n"},
    {145, u"The directory is not empty.\r\n"},
    {206, u"The filename or extension is too long.\r\n"},
    {183, u"Cannot create a file when that file already exists.\r\n"},
    // With its insert left as it stands (FORMAT_MESSAGE_IGNORE_INSERTS).
    {193, u"%1 is not a valid Win32 application.\r\n"},
    {234, u"More data is available.\r\n"},
    {259, u"No more data is available.\r\n"},
    {267, u"The directory name is invalid.\r\n"},
    {1051,
     u"A stop control has been sent to a service that other running services are "
     u"dependent on.\r\n"},
    {1052, u"The requested control is not valid for this service.\r\n"},
    {1053,
     u"The service did not respond to the start or control request in a timely "
     u"fashion.\r\n"},
    {1056, u"An instance of the service is already running.\r\n"},
    {1058,
     u"The service cannot be started, either because it is disabled or because it has "
     u"no enabled devices associated with it.\r\n"},
    {1060, u"The specified service does not exist as an installed service.\r\n"},
    {1061, u"The service cannot accept control messages at this time.\r\n"},
    {1062, u"The service has not been started.\r\n"},
    {1260,
     u"This program is blocked by group policy. For more information, contact your system "
     u"administrator.\r\n"},
    {1400, u"Invalid window handle.\r\n"},
    {1629, u"The data supplied is of the wrong type.\r\n"},
    {1633,
     u"This installation package is not supported by this processor type. Contact your "
     u"product vendor.\r\n"},
    {1722, u"The RPC server is unavailable.\r\n"},
    {1795, u"The printer driver already exists.\r\n"},
    {1796, u"The specified port is unknown.\r\n"},
    {1797, u"The printer driver is unknown.\r\n"},
    {1798, u"The print processor is unknown.\r\n"},
    {1801, u"The printer name is invalid.\r\n"},
    {1802, u"The printer already exists.\r\n"},
    {1804, u"The specified datatype is invalid.\r\n"},
    {1805, u"The environment specified is invalid.\r\n"},
    {1812, u"The specified image file did not contain a resource section.\r\n"},
    {1813, u"The specified resource type cannot be found in the image file.\r\n"},
    {3000, u"The specified print monitor is unknown.\r\n"},
    {3001, u"The specified printer driver is currently in use.\r\n"},
    {3006, u"The specified print monitor has already been installed.\r\n"},
    {3008, u"The specified print monitor is currently in use.\r\n"},
    {0x80004005, u"Unspecified error\r\n"},
    {0x8007000E, u"Not enough memory resources are available to complete this operation.\r\n"},
};

const char16_t* FindMessage(DWORD code) {
  for (const auto& m : kMessages) {
    if (m.code == code) return m.text;
  }
  return nullptr;
}

void* HeapBlock(std::map<const void*, KernelModel::Block>& blocks, UINT flags, SIZE_T bytes) {
  // Blocks without ZEROINIT start with a pattern, as real heaps give no zeros either. A guard
  // follows each block, so that a write past its end is seen when the block is freed.
  void* p = std::malloc((bytes ? bytes : 1) + kHeapGuardBytes);
  if (!p) return nullptr;
  std::memset(p, (flags & GMEM_ZEROINIT) ? 0 : 0xA5, bytes ? bytes : 1);
  std::memset(static_cast<char*>(p) + (bytes ? bytes : 1), kHeapGuard, kHeapGuardBytes);
  blocks[p] = {bytes, CaptureOrigin()};
  return p;
}
}  // namespace

DWORD WINAPI GetLastError() {
  return lastError;
}
void WINAPI SetLastError(DWORD code) {
  lastError = code;
}

void WINAPI Sleep(DWORD milliseconds) {
  Machine& m = M();
  Enter("Sleep", std::to_string(milliseconds));
  m.sleptMs += milliseconds;
  Advance(m, milliseconds);
}

DWORD WINAPI GetTickCount() {
  Machine& m = M();
  return DWORD(m.tickBase + m.now);
}

namespace {
// The global and the local heap work alike, each with its own blocks.
void* AllocateBlock(const char* api, std::map<const void*, KernelModel::Block>& blocks, UINT flags,
                    SIZE_T bytes) {
  if (DWORD e = Enter(api, std::to_string(bytes))) return Fail(e, nullptr);
  void* p = HeapBlock(blocks, flags, bytes);
  if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

// Null when freed; the block itself when it is none of this heap's.
void* FreeBlock(const char* api, std::map<const void*, KernelModel::Block>& blocks, void* mem) {
  if (!mem) return nullptr;
  Machine& m = M();
  m.lastApi = api;
  m.lastArgs.clear();
  auto it = blocks.find(mem);
  if (it == blocks.end()) {
    RecordMisuse(m, std::string(api) + " of a block freed already or never allocated");
    return Fail(ERROR_INVALID_HANDLE, mem);
  }
  if (!HeapGuardIntact(mem, it->second.size)) {
    RecordMisuse(m, std::string(api) + " of a block written past its end, allocated by " +
                        it->second.origin.Describe());
  }
  blocks.erase(it);
  std::free(mem);
  return nullptr;
}
}  // namespace

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) {
  return AllocateBlock("GlobalAlloc", M().kernel.globalBlocks, flags, bytes);
}

HGLOBAL WINAPI GlobalFree(HGLOBAL mem) {
  return FreeBlock("GlobalFree", M().kernel.globalBlocks, mem);
}

SIZE_T WINAPI GlobalSize(HGLOBAL mem) {
  auto& blocks = M().kernel.globalBlocks;
  auto it = blocks.find(mem);
  if (it == blocks.end()) return Fail(ERROR_INVALID_HANDLE, 0);
  return it->second.size;
}

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
  return AllocateBlock("LocalAlloc", M().kernel.localBlocks, flags, bytes);
}

HLOCAL WINAPI LocalFree(HLOCAL mem) {
  return FreeBlock("LocalFree", M().kernel.localBlocks, mem);
}

size_t _msize(void* block) {
  return malloc_usable_size(block);
}

int WINAPI lstrlenW(LPCWSTR s) {
  if (!s) return 0;
  int n = 0;
  while (s[n]) ++n;
  return n;
}

int WINAPI lstrlenA(LPCSTR s) {
  return s ? int(std::strlen(s)) : 0;
}

LPWSTR WINAPI lstrcpyW(LPWSTR dst, LPCWSTR src) {
  if (!dst || !src) return nullptr;
  int i = 0;
  do {
    dst[i] = src[i];
  } while (src[i++]);
  return dst;
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcLen, LPWSTR dst,
                               int dstLen) {
  (void)flags;
  if (!src || srcLen == 0 || dstLen < 0 || (dst == nullptr && dstLen != 0) ||
      (codePage != CP_ACP && codePage != 1252 && codePage != CP_UTF8)) {
    return Fail(ERROR_INVALID_PARAMETER, 0);
  }
  std::string_view in = srcLen < 0 ? std::string_view(src, std::strlen(src) + 1)
                                   : std::string_view(src, size_t(srcLen));
  U16 out = codePage == CP_UTF8 ? FromUtf8(in) : FromAnsi(in);
  if (dstLen == 0) return int(out.size());
  if (int(out.size()) > dstLen) return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
  std::memcpy(dst, out.data(), out.size() * sizeof(WCHAR));
  return int(out.size());
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcLen, LPSTR dst,
                               int dstLen, LPCSTR defaultChar, LPBOOL usedDefault) {
  (void)flags;
  (void)defaultChar;
  if (usedDefault) *usedDefault = FALSE;
  if (!src || srcLen == 0 || dstLen < 0 ||
      (codePage != CP_ACP && codePage != 1252 && codePage != CP_UTF8)) {
    return Fail(ERROR_INVALID_PARAMETER, 0);
  }
  std::u16string_view in = srcLen < 0 ? std::u16string_view(src, size_t(lstrlenW(src)) + 1)
                                      : std::u16string_view(src, size_t(srcLen));
  std::string out = codePage == CP_UTF8 ? ToUtf8(in) : ToAnsi(in);
  if (dstLen == 0) return int(out.size());
  if (int(out.size()) > dstLen) return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
  std::memcpy(dst, out.data(), out.size());
  return int(out.size());
}

DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                            LPWSTR buffer, DWORD size, void* arguments) {
  (void)source;
  (void)languageId;
  (void)arguments;
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !buffer) return Fail(ERROR_INVALID_PARAMETER, 0);
  const char16_t* text = FindMessage(messageId);
  if (!text) return Fail(ERROR_MR_MID_NOT_FOUND, 0);
  DWORD n = DWORD(std::char_traits<char16_t>::length(text));
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    DWORD bytes = (std::max(n + 1, size) * sizeof(WCHAR));
    auto* out = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, bytes));
    if (!out) return 0;
    std::memcpy(out, text, (n + 1) * sizeof(WCHAR));
    *reinterpret_cast<LPWSTR*>(buffer) = out;
    return n;
  }
  if (n + 1 > size) return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
  std::memcpy(buffer, text, (n + 1) * sizeof(WCHAR));
  return n;
}

LPWSTR WINAPI GetCommandLineW() {
  return M().kernel.commandLine.data();
}

// Windows' rules: the program name ends at the closing quote (no escapes) or at white
// space; later words honour 2n / 2n+1 backslashes before a quote and tripled quotes.
LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR cmdLine, int* numArgs) {
  if (!numArgs) return Fail(ERROR_INVALID_PARAMETER, nullptr);
  std::vector<U16> args;
  if (!cmdLine || !*cmdLine) {
    args.push_back(M().kernel.modulePath);
  } else {
    const WCHAR* s = cmdLine;
    U16 first;
    if (*s == u'"') {
      ++s;
      while (*s && *s != u'"') first += *s++;
      if (*s) ++s;
    } else {
      while (*s && *s != u' ' && *s != u'\t') first += *s++;
    }
    args.push_back(first);
    while (*s == u' ' || *s == u'\t') ++s;
    bool inArg = *s != 0;
    U16 cur;
    int qcount = 0, bcount = 0;
    while (*s) {
      if ((*s == u' ' || *s == u'\t') && qcount == 0) {
        args.push_back(cur);
        cur.clear();
        while (*s == u' ' || *s == u'\t') ++s;
        bcount = 0;
        inArg = *s != 0;
        continue;
      }
      if (*s == u'\\') {
        cur += *s++;
        ++bcount;
        continue;
      }
      if (*s == u'"') {
        if ((bcount & 1) == 0) {
          cur.resize(cur.size() - bcount / 2);
          ++qcount;
        } else {
          cur.resize(cur.size() - bcount / 2 - 1);
          cur += u'"';
        }
        ++s;
        bcount = 0;
        while (*s == u'"') {
          if (++qcount == 3) {
            cur += u'"';
            qcount = 0;
          }
          ++s;
        }
        if (qcount == 2) qcount = 0;
        continue;
      }
      cur += *s++;
      bcount = 0;
    }
    if (inArg) args.push_back(cur);
  }
  // One local-heap block: the pointer array, then the strings.
  size_t bytes = (args.size() + 1) * sizeof(LPWSTR);
  for (auto& a : args) bytes += (a.size() + 1) * sizeof(WCHAR);
  auto** argv = static_cast<LPWSTR*>(LocalAlloc(LMEM_FIXED, bytes));
  if (!argv) return nullptr;
  auto* text = reinterpret_cast<WCHAR*>(argv + args.size() + 1);
  for (size_t i = 0; i < args.size(); ++i) {
    argv[i] = text;
    std::memcpy(text, args[i].c_str(), (args[i].size() + 1) * sizeof(WCHAR));
    text += args[i].size() + 1;
  }
  argv[args.size()] = nullptr;
  *numArgs = int(args.size());
  return argv;
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR filename, DWORD size) {
  (void)module;
  if (DWORD e = Enter("GetModuleFileNameW")) return Fail(e, 0);
  const U16& path = M().kernel.modulePath;
  if (size == 0) return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
  if (path.size() + 1 > size) {
    // Truncated and terminated; the result is the buffer size.
    std::memcpy(filename, path.data(), (size - 1) * sizeof(WCHAR));
    filename[size - 1] = 0;
    return Fail(ERROR_INSUFFICIENT_BUFFER, size);
  }
  std::memcpy(filename, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  return DWORD(path.size());
}

UINT WINAPI GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  if (DWORD e = Enter("GetSystemDirectoryW")) return Fail(e, 0);
  const U16& dir = M().kernel.systemDir;
  if (!buffer || dir.size() + 1 > size) return UINT(dir.size() + 1);
  std::memcpy(buffer, dir.c_str(), (dir.size() + 1) * sizeof(WCHAR));
  return UINT(dir.size());
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
  if (DWORD e = Enter("GetVersionExA")) return Fail(e);
  if (!info || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
                info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) + 8)) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  const KernelModel& k = M().kernel;
  info->dwMajorVersion = k.osMajor;
  info->dwMinorVersion = k.osMinor;
  info->dwBuildNumber = k.osBuild;
  info->dwPlatformId = k.osPlatform;
  std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
  return TRUE;
}

namespace sim {
void InitKernel(Machine& m) {
  m.kernel = KernelModel{};
  m.kernel.commandLine = u"\"" + m.kernel.modulePath + u"\"";
}
}  // namespace sim
