// advapi32: the registry.
#include "sim/machine.h"

namespace sim {
void InitRegistry(Machine& m) { m.registry = RegistryModel{}; }
}  // namespace sim
