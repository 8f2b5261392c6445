#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "procedures/procedures.h"
#include "sim/machine.h"

namespace unit {

using Texts = std::vector<std::u16string>;

// UTF-16LE bytes as the registry stores a string, terminator included unless told.
inline std::vector<uint8_t> Utf16Bytes(std::u16string_view s, bool terminated = true) {
  std::vector<uint8_t> out;
  for (char16_t c : s) {
    out.push_back(uint8_t(c & 0xFF));
    out.push_back(uint8_t(c >> 8));
  }
  if (terminated) out.insert(out.end(), {0, 0});
  return out;
}

// A case's expected log from expected/<file>.log beside the tests: a line "== name" opens the
// case, its lines follow and are compared with CR LF ends.
inline std::u16string ExpectedLog(const std::string& file, const std::string& name) {
  std::ifstream in(std::filesystem::path(__FILE__).parent_path() / "expected" / (file + ".log"));
  std::string line, text;
  bool inside = false;
  while (std::getline(in, line) && !(inside && line.starts_with("== "))) {
    if (inside) text += line + "\r\n";
    inside = inside || line == "== " + name;
  }
  EXPECT_TRUE(inside) << file << ": " << name;
  return sim::FromUtf8(text);
}

// A default machine made current, and a context the product code can log into.
class MachineTest : public ::testing::Test {
 public:
  MachineTest() { Init(); }
  // Whatever the code under test leaves open or frees wrongly fails the test that did it.
  void TearDown() override {
    TearDownInstallContext(context);
    for (const auto& fault : sim::TakeHeapAndHandleFaults(m)) ADD_FAILURE() << fault;
  }
  // A new default machine for the next row of a table; the previous context is released.
  void Fresh() {
    TearDown();
    context.ErrorCount = context.Indent = 0;
    m = sim::Machine();
    Init();
  }
  void Init() {
    sim::InitDefaultMachine(m);
    m.traceOrigins = true;
  }
  // The context as a run builds it, with the log started afresh and no calls recorded.
  void Build() {
    BuildInstallContext(context);
    Assign(context.LogText, nullptr);
    context.ErrorCount = 0;
    m.calls.clear();
  }
  std::u16string Log() const {
    return std::u16string(Chars(context.LogText), size_t(Count(context.LogText)));
  }
  sim::SimPrinter& AddQueue(const std::u16string& name, const std::u16string& port = u"FILE:",
                            const std::u16string& driver = u"Microsoft Print To PDF") {
    sim::SimPrinter p;
    p.name = name;
    p.portName = port;
    p.driverName = driver;
    return sim::AddSimPrinter(m, p);
  }
  // The strings of a REG_MULTI_SZ value up to its closing empty string; none when absent.
  Texts MultiSz(HKEY root, const std::u16string& key, const std::u16string& value) {
    const sim::RegValue* v = sim::FindRegValue(m, root, key, value);
    Texts strings(1);
    for (size_t i = 0; v && i + 3 < v->data.size(); i += 2) {
      const char16_t c = char16_t(v->data[i] | (v->data[i + 1] << 8));
      c ? void(strings.back() += c) : strings.push_back(u"");
    }
    strings.pop_back();
    return strings;
  }
  Texts PendingPaths() const {
    Texts paths;
    for (auto* e = context.PendingDeletes.get(); e; e = e->Next.get())
      paths.push_back(e->Path.get());
    return paths;
  }
  size_t CallCount(const std::string& api) const {
    return size_t(std::count_if(m.calls.begin(), m.calls.end(),
                                [&](const sim::CallRecord& c) { return c.api == api; }));
  }
  sim::SimService& Spooler() { return m.services.services[0]; }

  sim::Machine m;
  sim::MachineScope scope{m};
  InstallContext context;
};

}  // namespace unit
