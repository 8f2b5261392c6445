// kernel32: other processes, named mutexes and waits.
#include <algorithm>
#include <optional>

#include "sim/machine.h"
#include "sim/process_control.h"

using namespace sim;

namespace {

// A handle the running program holds on a process or on its main thread.
struct ProcessObject : KernelObject {
  uint32_t pid = 0;
};

// A handle the running program holds on a mutex; the mutex lives while any handle does.
struct MutexObject : KernelObject {
  uint32_t id = 0;
  void OnClose() override;
};

constexpr std::u16string_view kLockHolderImage = u"C:\\Windows\\system32\\lockholder.exe";
constexpr WORD kShowDefault = 10;  // SW_SHOWDEFAULT

bool StartsWith(std::u16string_view s, std::u16string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

bool IsAbsolute(std::u16string_view p) {
  return (p.size() >= 3 && p[1] == u':' && (p[2] == u'\\' || p[2] == u'/')) ||
         StartsWith(p, u"\\\\");
}

U16 Join(std::u16string_view dir, std::u16string_view name) {
  U16 out(dir);
  if (!out.empty() && out.back() != u'\\' && out.back() != u'/') out += u'\\';
  return out + U16(name);
}

// The running program's directory stands in for its current directory too.
U16 ProgramDirectory(Machine& m) {
  return U16(DirectoryPart(m.kernel.modulePath));
}

// Finds a program file. A name with a directory part is taken as it is (relative to the
// program's directory); a bare name is searched for as Windows does: the program's own
// directory, the system directory, the Windows directory.
std::optional<U16> Locate(Machine& m, std::u16string_view name) {
  if (name.empty()) return std::nullopt;
  std::vector<U16> candidates;
  if (name.find_first_of(u"\\/:") != std::u16string_view::npos) {
    candidates.push_back(IsAbsolute(name) ? U16(name) : Join(ProgramDirectory(m), name));
  } else {
    candidates.push_back(Join(ProgramDirectory(m), name));
    candidates.push_back(Join(m.kernel.systemDir, name));
    candidates.push_back(Join(DirectoryPart(m.kernel.systemDir), name));
  }
  for (const U16& c : candidates) {
    if (SimFile* f = FindFile(m, c)) return f->path;
  }
  return std::nullopt;
}

// A program named on a command line without an extension is an .exe.
U16 WithExe(std::u16string_view name) {
  U16 out(name);
  if (FileNamePart(name).find(u'.') == std::u16string_view::npos) out += u".exe";
  return out;
}

// The program a command line starts: a quoted first word, or else the shortest run of
// words that names an existing file (so an unquoted "C:\Program Files\x.exe" still works).
std::optional<U16> ImageFromCommandLine(Machine& m, std::u16string_view line) {
  while (!line.empty() && (line.front() == u' ' || line.front() == u'\t')) line.remove_prefix(1);
  if (line.empty()) return std::nullopt;
  if (line.front() == u'"') {
    const size_t close = line.find(u'"', 1);
    return Locate(
        m, WithExe(line.substr(
               1, close == std::u16string_view::npos ? std::u16string_view::npos : close - 1)));
  }
  size_t from = 0;
  for (;;) {
    const size_t space = line.find_first_of(u" \t", from);
    if (auto found = Locate(m, WithExe(line.substr(0, space)))) return found;
    if (space == std::u16string_view::npos) return std::nullopt;
    from = space + 1;
  }
}

std::string ProgramKind(std::u16string_view image) {
  return EqualFold(FileNamePart(image), u"orvtray.exe") ? "tray" : "other";
}

SimMutex* MutexById(Machine& m, uint32_t id) {
  for (auto& mx : m.processes.mutexes) {
    if (mx.id == id) return &mx;
  }
  return nullptr;
}

SimMutex& NewMutex(Machine& m, std::string name) {
  SimMutex mx;
  mx.id = m.processes.nextMutex++;
  mx.name = std::move(name);
  m.processes.mutexes.push_back(std::move(mx));
  return m.processes.mutexes.back();
}

// Closes the handles `pid` holds on mutexes (all of them, or one on mutex `id`); a mutex
// nobody holds a handle to is gone.
void DropReferences(Machine& m, uint32_t pid, std::optional<uint32_t> id = std::nullopt) {
  for (auto& mx : m.processes.mutexes) {
    if (id && mx.id != *id) continue;
    if (id) {
      auto it = std::find(mx.openBy.begin(), mx.openBy.end(), pid);
      if (it != mx.openBy.end()) mx.openBy.erase(it);
    } else {
      std::erase(mx.openBy, pid);
    }
  }
  std::erase_if(m.processes.mutexes, [](const SimMutex& mx) { return mx.openBy.empty(); });
}

void MutexObject::OnClose() {
  DropReferences(M(), M().kernel.pid, id);
}

// Gives up every mutex `pid` owns: released, or abandoned when it ends without releasing.
void DisownMutexes(Machine& m, uint32_t pid, bool release) {
  for (auto& mx : m.processes.mutexes) {
    if (mx.ownerPid != pid) continue;
    mx.ownerPid = 0;
    mx.recursion = 0;
    mx.abandoned = !release;
  }
}

// Whether the event is process `pid`'s exit.
bool ExitOf(const TimedEvent& e, uint32_t pid) {
  const auto* exit = std::get_if<ProcessExit>(&e.action);
  return exit && exit->pid == pid;
}

// A process ends: its mutexes are released or abandoned, its handles close, its windows go
// and so do the files it held open.
void Exit(Machine& m, uint32_t pid, DWORD exitCode, bool release) {
  SimProcess* p = FindProcess(m, pid);
  if (!p || !p->running) return;
  p->running = false;
  p->exitCode = exitCode;
  p->endedAt = m.now;
  DisownMutexes(m, pid, release);
  DropReferences(m, pid);
  std::erase_if(m.user.windows, [&](const SimWindow& w) { return w.ownerPid == pid; });
  std::erase_if(m.fs.locks, [&](const FileLock& l) { return l.pid == pid; });
  std::erase_if(m.events, [&](const TimedEvent& e) { return ExitOf(e, pid); });
}

// A top-level window of another process; returns its handle.
uint64_t OpenWindow(Machine& m, std::u16string_view className, std::u16string_view title,
                    uint32_t pid, std::string behavior) {
  SimWindow w;
  w.handle = m.user.nextWindow;
  m.user.nextWindow += 2;
  w.className = U16(className);
  w.title = U16(title);
  w.ownerPid = pid;
  w.behavior = std::move(behavior);
  m.user.windows.push_back(w);
  return w.handle;
}

// The tray program takes its mutex and shows its window; a second copy finds the mutex
// owned by the first and quits.
void TrayStarts(Machine& m, uint32_t pid) {
  SimMutex* mx = FindMutex(m, kTrayMutexName);
  if (mx && mx->ownerPid != 0 && mx->ownerPid != pid) {
    Exit(m, pid, 1, true);
    return;
  }
  if (!mx) mx = &NewMutex(m, kTrayMutexName);
  mx->openBy.push_back(pid);
  mx->ownerPid = pid;
  mx->recursion = 1;
  mx->abandoned = false;
  OpenWindow(m, kTrayWindowClass, kTrayWindowTitle, pid, "tray");
}

// holdsImage: the program's file is mapped as its image, so it cannot be deleted until the
// process exits (taken before the program runs: a tray that quits at once lets go of it).
uint32_t Launch(Machine& m, SimProcess p, bool holdsImage) {
  p.pid = m.processes.nextPid;
  p.tid = p.pid + 4;
  m.processes.nextPid += 8;
  p.startedAt = m.now;
  p.running = true;
  const uint32_t pid = p.pid;
  const bool tray = p.program == "tray";
  if (holdsImage) {
    FileLock lock;
    lock.path = p.image;
    lock.pid = pid;
    lock.access = GENERIC_READ;
    lock.share = FILE_SHARE_READ;
    lock.module = true;
    m.fs.locks.push_back(lock);
  }
  m.processes.processes.push_back(std::move(p));
  if (tray) TrayStarts(m, pid);
  return pid;
}

uint32_t LaunchImage(Machine& m, U16 image, U16 commandLine, DWORD flags, WORD show) {
  SimProcess p;
  p.program = ProgramKind(image);
  p.image = std::move(image);
  p.commandLine = std::move(commandLine);
  p.creationFlags = flags;
  p.showWindow = show;
  if (p.program == "tray") {
    p.mode = m.processes.trayMode;
    p.exitDelayMs = m.processes.trayExitDelayMs;
  }
  return Launch(m, std::move(p), true);
}

void UnlockNow(Machine& m, std::u16string_view path) {
  const U16 key = FoldPath(path);
  std::vector<uint32_t> holders;
  std::erase_if(m.fs.locks, [&](const FileLock& l) {
    if (FoldPath(l.path) != key) return false;
    holders.push_back(l.pid);
    return true;
  });
  // A process that only existed to hold locks ends with its last one.
  for (uint32_t pid : holders) {
    SimProcess* p = FindProcess(m, pid);
    if (!p || p->program != "other" || p->image != kLockHolderImage) continue;
    const bool holdsMore = std::any_of(m.fs.locks.begin(), m.fs.locks.end(),
                                       [&](const FileLock& l) { return l.pid == pid; });
    if (!holdsMore) Exit(m, pid, 0, true);
  }
}

// WAIT_OBJECT_0 or WAIT_ABANDONED when the program now owns the mutex; nothing while another
// process owns it.
std::optional<DWORD> TryAcquire(Machine& m, uint32_t id) {
  SimMutex* mx = MutexById(m, id);
  if (!mx) return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
  const uint32_t me = m.kernel.pid;
  if (mx->ownerPid == me) {
    ++mx->recursion;
    return WAIT_OBJECT_0;
  }
  if (mx->ownerPid != 0) return std::nullopt;
  mx->ownerPid = me;
  mx->recursion = 1;
  if (mx->abandoned) {
    mx->abandoned = false;
    return WAIT_ABANDONED;
  }
  return WAIT_OBJECT_0;
}

std::optional<DWORD> ProcessEnded(Machine& m, uint32_t pid) {
  SimProcess* p = FindProcess(m, pid);
  if (!p) return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
  if (p->running) return std::nullopt;
  return WAIT_OBJECT_0;
}

std::optional<uint64_t> NextEventTime(const Machine& m) {
  std::optional<uint64_t> next;
  for (const auto& e : m.events) {
    if (!next || e.at < *next) next = e.at;
  }
  return next;
}

}  // namespace

BOOL WINAPI CreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES pa,
                           LPSECURITY_ATTRIBUTES ta, BOOL inherit, DWORD flags, LPVOID env,
                           LPCWSTR currentDirectory, LPSTARTUPINFOW si, LPPROCESS_INFORMATION pi) {
  (void)pa;
  (void)ta;
  (void)inherit;
  (void)env;
  (void)currentDirectory;
  const U16 line = FromW(commandLine);
  if (DWORD e = Enter("CreateProcessW", ToUtf8(FromW(application)) + "|" + ToUtf8(line))) {
    return Fail(e);
  }
  Machine& m = M();
  if ((!application && !commandLine) || !si || !pi) return Fail(ERROR_INVALID_PARAMETER);
  // An application name is used as given (no extension added, no search); otherwise the
  // command line's first word names the program.
  std::optional<U16> image = application ? Locate(m, application) : ImageFromCommandLine(m, line);
  if (!image) return Fail(ERROR_FILE_NOT_FOUND);
  const WORD show = (si->dwFlags & STARTF_USESHOWWINDOW) ? si->wShowWindow : kShowDefault;
  const uint32_t pid = LaunchImage(m, *image, commandLine ? line : FromW(application), flags, show);
  const SimProcess* p = FindProcess(m, pid);
  auto process = std::make_shared<ProcessObject>();
  process->pid = pid;
  auto thread = std::make_shared<ProcessObject>();
  thread->pid = pid;
  pi->hProcess = m.kernelHandles.Add(process);
  pi->hThread = m.kernelHandles.Add(thread);
  pi->dwProcessId = p->pid;
  pi->dwThreadId = p->tid;
  return TRUE;
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES sa, BOOL initialOwner, LPCSTR name) {
  (void)sa;
  std::string n = name ? ToUtf8(FromAnsi(name)) : std::string();
  if (DWORD e = Enter("CreateMutexA", n)) return Fail(e, nullptr);
  Machine& m = M();
  // The session's own namespace is the default one; names are case-sensitive.
  if (n.rfind("Local\\", 0) == 0) n.erase(0, 6);
  const std::string_view leaf = n.rfind("Global\\", 0) == 0 ? std::string_view(n).substr(7) : n;
  if (leaf.find('\\') != std::string_view::npos) return Fail(ERROR_PATH_NOT_FOUND, nullptr);
  SimMutex* mx = n.empty() ? nullptr : FindMutex(m, n);
  const DWORD error = mx ? ERROR_ALREADY_EXISTS : 0;
  if (!mx) {
    mx = &NewMutex(m, n);
    if (initialOwner) {
      mx->ownerPid = m.kernel.pid;
      mx->recursion = 1;
    }
  }
  mx->openBy.push_back(m.kernel.pid);
  auto o = std::make_shared<MutexObject>();
  o->id = mx->id;
  HANDLE h = m.kernelHandles.Add(o);
  return Fail(error, h);
}

HANDLE WINAPI OpenMutexA(DWORD access, BOOL inherit, LPCSTR name) {
  (void)access;
  (void)inherit;
  std::string n = name ? ToUtf8(FromAnsi(name)) : std::string();
  if (DWORD e = Enter("OpenMutexA", n)) return Fail(e, nullptr);
  Machine& m = M();
  if (n.rfind("Local\\", 0) == 0) n.erase(0, 6);
  SimMutex* mx = n.empty() ? nullptr : FindMutex(m, n);
  if (!mx) return Fail(ERROR_FILE_NOT_FOUND, nullptr);
  mx->openBy.push_back(m.kernel.pid);
  auto o = std::make_shared<MutexObject>();
  o->id = mx->id;
  return m.kernelHandles.Add(o);
}

BOOL WINAPI ReleaseMutex(HANDLE mutex) {
  if (DWORD e = Enter("ReleaseMutex")) return Fail(e);
  Machine& m = M();
  auto o = m.kernelHandles.GetAs<MutexObject>(mutex);
  SimMutex* mx = o ? MutexById(m, o->id) : nullptr;
  if (!mx) return Fail(ERROR_INVALID_HANDLE);
  if (mx->ownerPid != m.kernel.pid) return Fail(ERROR_NOT_OWNER);
  if (--mx->recursion == 0) mx->ownerPid = 0;
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (DWORD e = Enter("WaitForSingleObject", std::to_string(milliseconds))) {
    return Fail(e, WAIT_FAILED);
  }
  Machine& m = M();
  auto object = m.kernelHandles.Get(handle);
  if (!object) return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
  auto mutex = std::dynamic_pointer_cast<MutexObject>(object);
  auto process = std::dynamic_pointer_cast<ProcessObject>(object);
  // Files and the like are signalled whenever no I/O is outstanding, which is always here.
  if (!mutex && !process) return WAIT_OBJECT_0;

  const uint64_t start = m.now;
  const bool forever = milliseconds == INFINITE;
  const uint64_t deadline = start + milliseconds;
  auto done = [&](DWORD result) {
    m.sleptMs += m.now - start;
    return result;
  };
  // Virtual time moves from one timed event to the next until the object is signalled.
  for (;;) {
    std::optional<DWORD> result = mutex ? TryAcquire(m, mutex->id) : ProcessEnded(m, process->pid);
    if (result) return done(*result);
    const std::optional<uint64_t> next = NextEventTime(m);
    if (!next || (!forever && *next > deadline)) {
      if (forever) {
        // Nothing left that could ever signal it: the program would hang for good.
        SetLastError(ERROR_POSSIBLE_DEADLOCK);
        return done(WAIT_FAILED);
      }
      Advance(m, deadline - m.now);
      return done(WAIT_TIMEOUT);
    }
    Advance(m, *next > m.now ? *next - m.now : 0);
  }
}

namespace sim {

void InitProcesses(Machine& m) {
  m.processes = ProcessModel{};
}

void OnEvent(Machine& m, const ProcessExit& e) {
  Exit(m, e.pid, e.exitCode, e.release);
}

void OnEvent(Machine& m, const ProcessUnlock& e) {
  UnlockNow(m, e.path);
}

void OnProcessWindowMessage(Machine& m, const SimWindow& w, UINT message, WPARAM wp, LPARAM lp) {
  (void)wp;
  (void)lp;
  if (message != kTrayExitMessage) return;
  SimProcess* p = FindProcess(m, w.ownerPid);
  if (!p || !p->running || p->program != "tray" || p->mode == "ignore") return;
  const uint32_t pid = p->pid;
  const bool pending = std::any_of(m.events.begin(), m.events.end(),
                                   [&](const TimedEvent& e) { return ExitOf(e, pid); });
  if (pending) return;
  // "exit-holding" ends while still owning its mutex, which abandons it.
  Schedule(m, p->exitDelayMs, ProcessExit{pid, 0, p->mode != "exit-holding"});
}

bool IsTrayMode(std::string_view mode) {
  return mode == "normal" || mode == "ignore" || mode == "exit-holding";
}

uint32_t StartCommandLine(Machine& m, std::u16string_view commandLine) {
  const U16 line(commandLine);
  auto image = ImageFromCommandLine(m, line);
  return image ? LaunchImage(m, *image, line, NORMAL_PRIORITY_CLASS, kShowDefault) : 0;
}

uint32_t StartTray(Machine& m, std::string_view mode, uint32_t exitDelayMs,
                   std::u16string_view image) {
  if (!IsTrayMode(mode)) return 0;
  SimProcess p;
  p.program = "tray";
  p.image = U16(image);
  p.commandLine = u"\"" + U16(image) + u"\"";
  p.mode = std::string(mode);
  p.exitDelayMs = exitDelayMs;
  p.creationFlags = NORMAL_PRIORITY_CLASS;
  return Launch(m, std::move(p), true);
}

uint32_t HoldMutex(Machine& m, std::string_view name, std::optional<uint64_t> endAfterMs,
                   bool abandon) {
  SimMutex* mx = FindMutex(m, name);
  if (mx && mx->ownerPid != 0) return 0;
  SimProcess p;
  p.program = "other";
  p.image = m.kernel.modulePath;
  p.commandLine = u"\"" + m.kernel.modulePath + u"\" install";
  const uint32_t pid = Launch(m, std::move(p), false);
  if (!mx) mx = &NewMutex(m, std::string(name));
  mx->openBy.push_back(pid);
  mx->ownerPid = pid;
  mx->recursion = 1;
  mx->abandoned = false;
  if (endAfterMs) {
    Schedule(m, *endAfterMs, ProcessExit{pid, DWORD(abandon ? 1 : 0), !abandon});
  }
  return pid;
}

uint64_t OpenHelpViewer(Machine& m, bool obeysClose) {
  SimProcess p;
  p.program = "helpviewer";
  p.image = kHelpViewerImage;
  p.commandLine = u"\"" + U16(kHelpViewerImage) + u"\"";
  const uint32_t pid = Launch(m, std::move(p), false);
  return OpenWindow(m, kHelpViewerClass, kHelpViewerTitle, pid, obeysClose ? "closes" : "ignores");
}

uint32_t LockFile(Machine& m, std::u16string_view path, DWORD access, DWORD share, bool module) {
  SimProcess p;
  p.program = "other";
  p.image = kLockHolderImage;
  p.commandLine = U16(kLockHolderImage);
  const uint32_t pid = Launch(m, std::move(p), false);
  FileLock lock;
  lock.path = U16(path);
  lock.pid = pid;
  lock.access = access;
  lock.share = share;
  lock.module = module;
  m.fs.locks.push_back(lock);
  return pid;
}

bool UnlockFile(Machine& m, std::u16string_view path, uint64_t afterMs) {
  const U16 key = FoldPath(path);
  const bool locked = std::any_of(m.fs.locks.begin(), m.fs.locks.end(),
                                  [&](const FileLock& l) { return FoldPath(l.path) == key; });
  if (!locked) return false;
  if (afterMs == 0) {
    UnlockNow(m, path);
  } else {
    Schedule(m, afterMs, ProcessUnlock{U16(path)});
  }
  return true;
}

SimProcess* FindProcess(Machine& m, uint32_t pid) {
  for (auto& p : m.processes.processes) {
    if (p.pid == pid) return &p;
  }
  return nullptr;
}

SimProcess* FindRunning(Machine& m, std::string_view program) {
  for (auto it = m.processes.processes.rbegin(); it != m.processes.processes.rend(); ++it) {
    if (it->running && it->program == program) return &*it;
  }
  return nullptr;
}

SimMutex* FindMutex(Machine& m, std::string_view name) {
  for (auto& mx : m.processes.mutexes) {
    if (!mx.name.empty() && mx.name == name) return &mx;
  }
  return nullptr;
}

bool EndProcess(Machine& m, uint32_t pid, DWORD exitCode) {
  SimProcess* p = FindProcess(m, pid);
  if (!p || !p->running) return false;
  Exit(m, pid, exitCode, false);
  return true;
}

void EndRunningProgram(Machine& m) {
  DisownMutexes(m, m.kernel.pid, false);
  // Whatever the program left open is closed for it, files and printers alike.
  m.kernelHandles.CloseAll();
  for (HandleTable* shared : {&PrinterHandles(), &ServiceHandles()}) shared->CloseAllOf(&m);
  DropReferences(m, m.kernel.pid);
  for (auto* blocks : {&m.kernel.globalBlocks, &m.kernel.localBlocks}) {
    for (const auto& [block, info] : *blocks) std::free(const_cast<void*>(block));
    blocks->clear();
  }
}

void RecordMisuse(Machine& m, const std::string& what) {
  m.misuses.push_back(what + ", in " + CaptureOrigin().Describe());
}

std::vector<std::string> TakeHeapAndHandleFaults(Machine& m) {
  std::vector<std::string> faults = std::move(m.misuses);
  m.misuses.clear();
  for (const HandleTable* table : {&m.kernelHandles, &PrinterHandles(), &ServiceHandles()}) {
    table->DescribeOpen(&m, &faults);
  }
  for (const auto* blocks : {&m.kernel.globalBlocks, &m.kernel.localBlocks}) {
    const char* kind = blocks == &m.kernel.globalBlocks ? "global block" : "local block";
    for (const auto& [block, info] : *blocks) {
      const char* what = HeapGuardIntact(block, info.size)
                             ? " bytes never freed, allocated by "
                             : " bytes written past its end, allocated by ";
      faults.push_back(std::string(kind) + " of " + std::to_string(info.size) + what +
                       info.origin.Describe());
    }
  }
  return faults;
}

}  // namespace sim
