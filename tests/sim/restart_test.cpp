// The start-up file operations a restart carries out, read from the value as Windows reads
// it, however it was written. (What else a restart does is in orvsim.transcript.)
#include <gtest/gtest.h>

#include "sim/machine.h"

namespace {

using namespace std::literals;

std::vector<uint8_t> Bytes(std::u16string_view units) {
  std::vector<uint8_t> out;
  for (char16_t c : units) out.insert(out.end(), {uint8_t(c & 0xFF), uint8_t(c >> 8)});
  return out;
}

// A file by its first byte, with "+v" when it has a version, "+ro" when it is read-only and "@NAME"
// when it is spelt otherwise than asked for.
std::string Describe(sim::Machine& m, const std::u16string& path) {
  const sim::SimFile* f = sim::FindFile(m, path);
  if (!f) return "-";
  return std::string(1, char(f->data.at(0))) + (f->version ? "+v" : "") +
         (f->attributes & FILE_ATTRIBUTE_READONLY ? "+ro" : "") +
         (f->path == path ? "" : "@" + sim::ToUtf8(f->path));
}

TEST(Restart, CarriesOutPendingOperationsAndForgetsThem) {
  const struct {
    const char* name;
    std::u16string_view value;
    const char* a;  // C:\t\a.dll, b.dll and c.dll afterwards ("-": none)
    const char* b;
    const char* c;
  } cases[] = {
      {"deletion", u"\\??\\C:\\t\\a.dll\0\0\0"sv, "-", "B", "-"},
      {"rename over an existing file is refused", u"\\??\\C:\\t\\a.dll\0\\??\\C:\\t\\b.dll\0\0"sv,
       "A+v+ro", "B", "-"},
      {"replacing rename", u"\\??\\C:\\t\\a.dll\0!\\??\\C:\\t\\b.dll\0\0"sv, "-", "A+v+ro", "-"},
      {"rename to a new name, then delete the target",
       u"\\??\\C:\\t\\a.dll\0\\??\\C:\\t\\c.dll\0\\??\\C:\\t\\b.dll\0\0\0"sv, "-", "-", "A+v+ro"},
      {"paths without the prefix, in any case", u"c:\\T\\A.DLL\0\0\0"sv, "-", "B", "-"},
      {"a target in a missing directory", u"\\??\\C:\\t\\a.dll\0\\??\\C:\\no\\x.dll\0\0"sv,
       "A+v+ro", "B", "-"},
      {"missing source, and a directory", u"\\??\\C:\\none.dll\0\0\\??\\C:\\t\0\0\0"sv, "A+v+ro",
       "B", "-"},
      {"an empty source ends the list", u"\0\0\\??\\C:\\t\\a.dll\0\0\0"sv, "A+v+ro", "B", "-"},
      {"a source without its target", u"\\??\\C:\\t\\a.dll\0"sv, "A+v+ro", "B", "-"},
      {"no terminators", u"\\??\\C:\\t\\b.dll\0\\??\\C:\\t\\c.dll"sv, "A+v+ro", "-", "B"},
      {"empty value", u""sv, "A+v+ro", "B", "-"},
  };
  const std::u16string kSessionManager = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  for (const auto& c : cases) {
    for (bool oddByte : {false, true}) {  // half a character after the list changes nothing
      SCOPED_TRACE(std::string(c.name) + (oddByte ? ", odd byte count" : ""));
      sim::Machine m;
      sim::InitDefaultMachine(m);
      sim::PutFile(m, u"C:\\t\\a.dll", {'A'}, sim::VersionInfo{}).attributes = 0x21;
      sim::PutFile(m, u"C:\\t\\b.dll", {'B'});
      std::vector<uint8_t> value = Bytes(c.value);
      if (oddByte) value.push_back(0);
      sim::SetRegValue(m, HKEY_LOCAL_MACHINE, kSessionManager, u"PendingFileRenameOperations",
                       REG_MULTI_SZ, value);
      sim::Restart(m);
      EXPECT_EQ(c.a, Describe(m, u"C:\\t\\a.dll"));
      EXPECT_EQ(c.b, Describe(m, u"C:\\t\\b.dll"));
      EXPECT_EQ(c.c, Describe(m, u"C:\\t\\c.dll"));
      EXPECT_EQ(nullptr, sim::FindRegValue(m, HKEY_LOCAL_MACHINE, kSessionManager,
                                           u"PendingFileRenameOperations"));
      EXPECT_TRUE(sim::DirectoryExists(m, u"C:\\t"));
    }
  }
}

}  // namespace
