// A machine directory read back whole, for the tests that save or change one.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace simtest {

inline std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The directory (nothing when it is missing) and every entry in it but the run's lock, with
// its contents.
inline std::map<std::string, std::string> Tree(const std::filesystem::path& dir) {
  std::map<std::string, std::string> out;
  if (!std::filesystem::exists(dir)) return out;
  out["."] = "<dir>";
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    if (e.path().filename() != "lock")
      out[e.path().lexically_relative(dir).string()] =
          e.is_regular_file() ? ReadAll(e.path()) : "<dir>";
  }
  return out;
}

}  // namespace simtest
