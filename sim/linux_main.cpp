// The platform's start-up for the command-line build: it plays the part of the Windows
// loader and C runtime. The product reads nothing but its command line.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/machine.h"

namespace {
// Quotes one argument so that CommandLineToArgvW gives it back unchanged.
sim::U16 Quote(const sim::U16& arg) {
  if (!arg.empty() && arg.find_first_of(u" \t\"") == sim::U16::npos) return arg;
  sim::U16 out = u"\"";
  size_t backslashes = 0;
  for (char16_t c : arg) {
    if (c == u'\\') {
      ++backslashes;
    } else if (c == u'"') {
      out.append(backslashes * 2 + 1, u'\\');
      backslashes = 0;
    } else {
      out.append(backslashes, u'\\');
      backslashes = 0;
    }
    if (c != u'\\') out += c;
  }
  out.append(backslashes * 2, u'\\');
  return out + u"\"";
}
}  // namespace

int main(int argc, char** argv) {
  static sim::Machine machine;
  sim::InitDefaultMachine(machine);
  sim::SetMachine(&machine);
  machine.user.echoDialogs = true;
  // Until machines are kept between runs, SHIFT can be held for one run from outside.
  if (const char* shift = std::getenv("ORVSIM_SHIFT")) machine.user.shiftDown = shift[0] == '1';

  sim::U16 line = Quote(machine.kernel.modulePath);
  for (int i = 1; i < argc; ++i) line += u" " + Quote(sim::FromUtf8(argv[i]));
  machine.kernel.commandLine = line;

  auto* instance = reinterpret_cast<HINSTANCE>(uintptr_t(0x140000000));
  const int code = wWinMain(instance, nullptr, machine.kernel.commandLine.data(), SW_SHOWNORMAL);
  std::fflush(stdout);
  return code;
}
