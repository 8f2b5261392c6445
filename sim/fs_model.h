// The file system: drives, directories, files with contents and version resources.
#pragma once
#include <cstdint>
#include <map>
#include <vector>

#include "sim/text.h"

namespace sim {

struct FileSystemModel {};

}  // namespace sim
