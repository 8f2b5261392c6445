// The registry: HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER with typed values.
#pragma once
#include <cstdint>
#include <map>
#include <vector>

#include "sim/text.h"

namespace sim {

struct RegistryModel {};

}  // namespace sim
