// The orvsim tool and the installer's platform main run as processes of their own on one
// machine directory, as a developer or the setup program runs them. orvsim.transcript holds
// the command lines, each followed by its exit status, whether the machine directory changed,
// and what it printed; ORVINST_UPDATE_EXPECTED=1 writes the file from the runs instead (read
// every change by hand before keeping it).
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <sstream>

#include "dir_tree.h"

namespace {

namespace fs = std::filesystem;

TEST(Tool, Transcript) {
  char pattern[] = "/tmp/orvsim-tool-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path root = pattern;
  const fs::path file = fs::path(__FILE__).parent_path() / "orvsim.transcript";
  const std::string prefix = "cd '" + root.string() +
                             "' && unset ORVSIM_MACHINE ORVSIM_WAIT ORVSIM_SHIFT && PATH='" +
                             fs::path(ORVSIM_EXE).parent_path().string() + ":" +
                             fs::path(ORVINST_EXE).parent_path().string() + ":'$PATH && ";
  std::istringstream expected(simtest::ReadAll(file));
  std::string actual, line;
  while (std::getline(expected, line)) {
    if (line.rfind("-> ", 0) == 0 || line.rfind("  ", 0) == 0) continue;  // an earlier result
    actual += line + "\n";
    if (line.rfind("$ ", 0) != 0) continue;  // a comment or a blank line
    const auto before = simtest::Tree(root / ".orvsim");
    FILE* p = popen((prefix + "{ " + line.substr(2) + "\n} 2>&1").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    for (int c; (c = fgetc(p)) != EOF;) out += char(c);
    const int status = pclose(p);
    actual += "-> " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
              (before == simtest::Tree(root / ".orvsim") ? "\n" : " changed\n");
    std::istringstream lines(out);
    for (std::string l; std::getline(lines, l);) actual += "  " + l + "\n";
  }
  fs::remove_all(root);
  const char* update = getenv("ORVINST_UPDATE_EXPECTED");
  if (update && update[0] == '1') {
    std::ofstream(file, std::ios::binary) << actual;
    return;
  }
  EXPECT_EQ(simtest::ReadAll(file), actual);
}

}  // namespace
