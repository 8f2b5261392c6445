// Directory handles, listings and junctions: what a program needs to look into a folder
// (FindFirstFileW and its kin, GetFileInformationByHandle) and to tell a junction from a
// folder of its own.
#include <algorithm>
#include <cstring>

#include "sim/files_internal.h"
#include "sim/machine.h"

using namespace sim;
using namespace sim::filesys;

namespace sim {

void MakeMountPoint(Machine& m, std::u16string_view path, std::u16string_view target) {
  const U16 norm = NormalizePath(path);
  MakeDirectories(m, norm);
  m.fs.mountPoints[Fold(norm)] = NormalizePath(target);
}

namespace {

struct FoundEntry {
  U16 name;
  DWORD attributes = 0;
  uint64_t size = 0;
};

struct FindObject : KernelObject {
  std::vector<FoundEntry> entries;
  size_t next = 0;
};

// '*' stands for any run of characters, '?' for one; letters match in either case.
bool MatchesPattern(std::u16string_view name, std::u16string_view pattern) {
  if (pattern == u"*" || pattern == u"*.*") return true;
  size_t n = 0, p = 0, starP = U16::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() &&
        (pattern[p] == u'?' || EqualFold(pattern.substr(p, 1), name.substr(n, 1)))) {
      ++n;
      ++p;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      starP = p++;
      starN = n;
    } else if (starP != U16::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

U16 LastComponent(const U16& path) {
  const size_t slash = path.rfind(u'\\');
  return slash == U16::npos ? path : path.substr(slash + 1);
}

void Fill(const FoundEntry& e, LPWIN32_FIND_DATAW data) {
  std::memset(data, 0, sizeof *data);
  data->dwFileAttributes = e.attributes;
  data->nFileSizeHigh = DWORD(e.size >> 32);
  data->nFileSizeLow = DWORD(e.size);
  const size_t n = std::min<size_t>(e.name.size(), MAX_PATH - 1);
  std::memcpy(data->cFileName, e.name.data(), n * sizeof(WCHAR));
}

}  // namespace
}  // namespace sim

BOOL WINAPI GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  if (DWORD e = Enter("GetFileInformationByHandle")) return Fail(e);
  Machine& m = M();
  auto o = m.kernelHandles.GetAs<FileObject>(file);
  if (!o || !info) {
    SetLastError(o ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::memset(info, 0, sizeof *info);
  if (o->directory) {
    if (!m.fs.dirs.count(o->key)) return Fail(ERROR_INVALID_HANDLE);
    info->dwFileAttributes = DirectoryAttributes(m, o->key);
  } else {
    auto it = m.fs.files.find(o->key);
    if (it == m.fs.files.end()) return Fail(ERROR_INVALID_HANDLE);
    info->dwFileAttributes = it->second.attributes ? it->second.attributes : FILE_ATTRIBUTE_NORMAL;
    info->nFileSizeHigh = DWORD(it->second.data.size() >> 32);
    info->nFileSizeLow = DWORD(it->second.data.size());
  }
  info->dwVolumeSerialNumber = 0x5EED0C01;
  info->nNumberOfLinks = 1;
  const uint64_t index = std::hash<U16>{}(o->key);
  info->nFileIndexHigh = DWORD(index >> 32);
  info->nFileIndexLow = DWORD(index);
  return TRUE;
}

HANDLE WINAPI FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  if (DWORD e = Enter("FindFirstFileW", CallArg(pattern))) return Fail(e, INVALID_HANDLE_VALUE);
  Machine& m = M();
  const std::u16string_view whole = pattern ? std::u16string_view(pattern) : std::u16string_view();
  const size_t slash = whole.find_last_of(u"\\/");
  const U16 namePattern(slash == std::u16string_view::npos ? whole : whole.substr(slash + 1));
  if (namePattern.empty()) {
    SetLastError(whole.empty() ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // The directory part, as every file call takes a path; a junction there is listed where it
  // leads.
  U16 dirPart = slash == std::u16string_view::npos ? U16(u".") : U16(whole.substr(0, slash + 1));
  if (dirPart.size() == 3 && dirPart[1] == u':') dirPart += u".";  // "C:\" names the root
  Resolved dir = Resolve(m, dirPart.c_str());
  if (!dir.error) FollowMountPoints(m, dir, true);
  if (!dir.error && !m.fs.dirs.count(dir.key)) {
    dir.error = m.fs.files.count(dir.key) ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND;
  }
  if (dir.error) return Fail(dir.error, INVALID_HANDLE_VALUE);
  auto found = std::make_shared<FindObject>();
  if (dir.key.size() > 2) {
    for (const char16_t* dots : {u".", u".."}) {
      if (MatchesPattern(dots, namePattern))
        found->entries.push_back({dots, FILE_ATTRIBUTE_DIRECTORY, 0});
    }
  }
  std::vector<std::pair<U16, FoundEntry>> listed;
  for (const auto& [key, original] : m.fs.dirs) {
    if (key.size() <= 2 || ParentOf(key) != dir.key) continue;
    FoundEntry e{LastComponent(original), DirectoryAttributes(m, key), 0};
    if (MatchesPattern(e.name, namePattern)) listed.emplace_back(Fold(e.name), e);
  }
  for (const auto& [key, file] : m.fs.files) {
    if (ParentOf(key) != dir.key) continue;
    FoundEntry e{LastComponent(file.path),
                 file.attributes ? file.attributes : FILE_ATTRIBUTE_NORMAL, file.data.size()};
    if (MatchesPattern(e.name, namePattern)) listed.emplace_back(Fold(e.name), e);
  }
  std::sort(listed.begin(), listed.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [key, e] : listed) found->entries.push_back(std::move(e));
  if (found->entries.empty()) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  Fill(found->entries[0], data);
  found->next = 1;
  return m.kernelHandles.Add(found);
}

BOOL WINAPI FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
  if (DWORD e = Enter("FindNextFileW")) return Fail(e);
  auto o = M().kernelHandles.GetAs<FindObject>(find);
  if (!o) return Fail(ERROR_INVALID_HANDLE);
  if (o->next >= o->entries.size()) return Fail(ERROR_NO_MORE_FILES);
  Fill(o->entries[o->next++], data);
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE find) {
  Enter("FindClose");
  Machine& m = M();
  if (!m.kernelHandles.GetAs<FindObject>(find)) {
    RecordMisuse(m, "FindClose of a search not open");
    return Fail(ERROR_INVALID_HANDLE);
  }
  m.kernelHandles.Close(find);
  return TRUE;
}
