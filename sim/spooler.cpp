// winspool: the print spooler.
#include "sim/machine.h"

namespace sim {
void InitSpooler(Machine& m) { m.spooler = SpoolerModel{}; }
}  // namespace sim
