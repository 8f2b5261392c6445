// Saving and loading a machine directory. sample/ is a saved machine holding every kind of
// state a machine keeps, with values in every form they can be written in (its machine.json
// is kept as machine.json.expected); a field added to the machine is added there by hand.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "dir_tree.h"
#include "sim/machine.h"
#include "sim/persist.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

using simtest::ReadAll;
using simtest::Tree;

class Persist : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/orvsim-persist-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    dir_ = root_ / "machine";
    fs::copy(fs::path(__FILE__).parent_path() / "sample", dir_, fs::copy_options::recursive);
    fs::rename(dir_ / "machine.json.expected", dir_ / "machine.json");
    sample_ = Tree(dir_);
  }
  void TearDown() override { fs::remove_all(root_); }
  fs::path root_, dir_;
  std::map<std::string, std::string> sample_;
  std::string error_;
};

// A load and a save give back the whole saved form, every file's contents included; a second
// save of the same machine changes nothing.
TEST_F(Persist, RoundTripKeepsEverything) {
  sim::Machine m;
  ASSERT_TRUE(sim::LoadMachine(dir_, m, &error_)) << error_;
  ASSERT_TRUE(sim::SaveMachine(m, root_ / "copy", &error_)) << error_;
  EXPECT_EQ(Tree(root_ / "copy"), sample_);
  ASSERT_TRUE(sim::SaveMachine(m, dir_, &error_)) << error_;
  EXPECT_EQ(Tree(dir_), sample_);
}

// A save that fails part-way, or a run killed during one, leaves the previous machine; the next
// save clears away what either left.
TEST_F(Persist, InterruptedSavesLeaveTheOldMachine) {
  sim::Machine m;
  ASSERT_TRUE(sim::LoadMachine(dir_, m, &error_)) << error_;
  sim::Machine changed = m;  // new contents, written before the state is found unwritable
  changed.fs.files.begin()->second.data.push_back('x');
  fs::create_directory(dir_ / "machine.json.new");
  EXPECT_FALSE(sim::SaveMachine(changed, dir_, &error_));
  EXPECT_NE(error_.find("cannot save"), std::string::npos) << error_;
  fs::remove(dir_ / "machine.json.new");

  // What a kill before the rename leaves: contents cut short and a half-written state.
  std::ofstream(dir_ / "files" / "0123456789abcdef.new") << "x";
  std::ofstream(dir_ / "machine.json.new") << "{\"format\": \"orv";
  ASSERT_TRUE(sim::LoadMachine(dir_, m, &error_)) << error_;
  ASSERT_TRUE(sim::SaveMachine(m, dir_, &error_)) << error_;
  EXPECT_EQ(Tree(dir_), sample_);
}

// A machine that cannot be read whole is refused with the reason, neither replaced by a new
// one nor touched. Each case changes one place of machine.json (null: removes it).
TEST_F(Persist, DamagedMachinesAreRefusedAndLeftAlone) {
  const struct {
    const char* at;
    json value;
    const char* says;
  } cases[] = {
      {"/version", 99, "format version 99"},
      {"/format", "other", "not an orvsim machine"},
      {"/spooler", nullptr, "\"spooler\" is missing"},
      {"/spooler/printers/0/comennt", "x", "spooler.printers[0]: unknown field \"comennt\""},
      {"/services/services/0/state", -1, "services.services[0].state"},
      {"/fs/files/0/content", "../../etc/passwd", "content"},
      {"/registry/hkcu/values/1/type", nullptr, "values[1]: the value has no type"},
      {"/registry/hkcu/values/1/type", "REG_WHATEVER", "unknown value type \"REG_WHATEVER\""},
      {"/registry/hkcu/values/1/sz", nullptr, "values[1]: a value needs exactly one of"},
      {"/registry/hkcu/values/1/hex", "00", "values[1]: a value needs exactly one of"},
      {"/registry/hkcu/values/1/extra", true, "unknown field \"extra\""},
      {"/registry/hkcu/values/11/dword", 4294967296, "values[11]: \"dword\" must be"},
      {"/registry/hkcu/values/11/dword", -1, "values[11]: \"dword\" must be"},
      {"/registry/hkcu/values/14/hex", "0", "values[14]: \"hex\" must be"},
      {"/registry/hkcu/values/14/hex", "zz", "values[14]: \"hex\" must be"},
      {"/registry/hkcu/values/7/multiSz/1", "", "values[7]: \"multiSz\" must be"},
      {"/spooler/printers/0/data/0/values/0/ansi", "\u4e2d", "Windows-1252 cannot spell"},
  };
  const json whole = json::parse(ReadAll(dir_ / "machine.json"));
  for (const auto& c : cases) {
    json j = whole;
    const json::json_pointer at(c.at);
    if (c.value.is_null()) {
      j.at(at.parent_pointer()).erase(at.back());
    } else {
      j[at] = c.value;
    }
    std::ofstream(dir_ / "machine.json", std::ios::trunc) << j.dump(2);
    const auto before = Tree(dir_);
    sim::Machine m;
    sim::MachineSession session;
    bool created = true;
    EXPECT_FALSE(session.Open(dir_, m, sim::MachineAccess::kChangeOrCreate, 0, &created, &error_));
    EXPECT_FALSE(created) << c.at;
    EXPECT_NE(error_.find(c.says), std::string::npos) << c.at << ": " << error_;
    EXPECT_NE(error_.find("left as it is"), std::string::npos) << c.at << ": " << error_;
    EXPECT_EQ(Tree(dir_), before) << c.at;
  }
}

}  // namespace
