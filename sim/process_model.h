// Other processes of the machine (the tray program, a help viewer, lock holders), named
// mutexes and what a restart starts.
#pragma once
#include <cstdint>
#include <vector>

#include "sim/text.h"

namespace sim {

struct ProcessModel {};

}  // namespace sim
