// The machine's JSON form, between the codec (persist_json.cpp) and the directory that keeps
// it (persist.cpp).
#pragma once
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "sim/machine.h"

namespace sim {

// Where a file's contents go beside machine.json; without one, each file gives its size.
using ContentNamer = std::function<std::string(const SimFile& file)>;

// The whole machine as machine.json holds it, the files in the order of m.fs.files.
nlohmann::json EncodeMachine(const Machine& m, const ContentNamer& content);

// Decodes everything but the files' contents, whose names go to `content` (folded path, a
// plain file name, checked to be one). Throws an exception naming what is wrong and where.
void DecodeMachine(const nlohmann::json& j, Machine& m,
                   std::vector<std::pair<U16, std::string>>* content);

}  // namespace sim
