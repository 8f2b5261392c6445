// kernel32: the file system.
#include "sim/machine.h"

namespace sim {
void InitFiles(Machine& m) { m.fs = FileSystemModel{}; }
void OnFileEvent(Machine&, const TimedEvent&) {}
}  // namespace sim
