// orvsim: makes, shows and changes a simulated machine kept in a directory, between runs of
// the installer. Every change is checked in full before anything is touched, and the machine
// is saved only when the whole command succeeded, so a mistake changes nothing.
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "sim/orvsim.h"

namespace orvsim {

CLI::App* Command(CLI::App* parent, Chosen& chosen, const char* name, const char* description,
                  Handler run, sim::MachineAccess access) {
  CLI::App* command = parent->add_subcommand(name, description);
  command->callback([&chosen, run, access] { chosen = {run, access}; });
  return command;
}

namespace {

namespace fs = std::filesystem;

constexpr int kOk = 0;
constexpr int kRejected = 1;       // a mistake on the command line: nothing changed
constexpr int kMachineFailed = 2;  // the machine could not be read, locked or saved

const char kAbout[] =
    "Makes, shows and changes the simulated Windows machine that orvinst runs on. It lives in\n"
    "DIR: --machine, else ORVSIM_MACHINE, else .orvsim in the working directory; orvinst makes\n"
    "it on its first run, orvsim only with \"new\". \"orvsim COMMAND --help\" tells of each "
    "command.";
const char kExitStatus[] =
    "Exit status: 0 done; 1 a mistake on the command line (nothing was changed); 2 the machine\n"
    "is damaged, of another format version, in use by another run past the wait (ORVSIM_WAIT\n"
    "seconds, 30 by default), or could not be saved.";

// The parser's refusal in the words scripts know: the command or option it did not know.
std::string Refusal(CLI::App& app, const CLI::ParseError& e) {
  CLI::App* at = &app;
  while (!at->get_subcommands().empty()) at = at->get_subcommands().front();
  const std::vector<std::string> extra = at->remaining();
  for (const auto& w : extra) {
    if (w.size() > 1 && w[0] == '-' && !std::isdigit(static_cast<unsigned char>(w[1]))) {
      return "unknown option " + w;
    }
  }
  if (at->get_require_subcommand_min() == 0) return e.what();
  if (at == &app) {
    return extra.empty() ? "no command given (orvsim --help lists them)"
                         : "unknown command \"" + extra[0] + "\" (orvsim --help lists them)";
  }
  if (!extra.empty()) return "unknown " + at->get_name() + " change \"" + extra[0] + "\"";
  std::string words;
  for (const CLI::App* s : at->get_subcommands([](CLI::App*) { return true; })) {
    words += (words.empty() ? "" : "|") + s->get_name();
  }
  return "usage: orvsim " + at->get_name() + " " + words + " ...";
}

int Failed(const std::string& error) {
  std::fprintf(stderr, "orvsim: %s\n", error.c_str());
  return kMachineFailed;
}

int MakeNew(const fs::path& dir, bool force) {
  std::string error;
  sim::MachineLock lock;
  if (!lock.Acquire(dir, true, sim::DefaultLockWaitMs(), &error)) return Failed(error);
  if (sim::MachineExists(dir) && !force) {
    Reject("there is a machine in " + dir.string() + " already (--force replaces it)");
  }
  if (!sim::MachineExists(dir) && !sim::MachineDirectoryFree(dir) && !force) {
    Reject(dir.string() + " holds no machine and is not empty (--force makes one there)");
  }
  sim::Machine m;
  sim::InitDefaultMachine(m);
  if (!sim::SaveMachine(m, dir, &error)) return Failed(error);
  std::printf("new machine in %s\n", dir.string().c_str());
  return kOk;
}

int Run(const fs::path& dir, const Given& given, const Chosen& chosen) {
  if (!chosen.run) return MakeNew(dir, given.force);
  static sim::Machine m;
  sim::MachineSession session;
  bool created = false;
  std::string error;
  if (!session.Open(dir, m, chosen.access, sim::DefaultLockWaitMs(), &created, &error)) {
    return Failed(error);
  }
  sim::MachineScope scope(m);
  m.recordCalls = false;
  std::ostringstream out;
  Context c{m, given, out};
  chosen.run(c);  // a Rejection leaves here before anything is saved
  if (chosen.access != sim::MachineAccess::kRead && !session.Save(m, &error)) return Failed(error);
  std::fputs(out.str().c_str(), stdout);
  return kOk;
}

}  // namespace
}  // namespace orvsim

int main(int argc, char** argv) {
  using namespace orvsim;
  CLI::App app(kAbout, "orvsim");
  app.require_subcommand(1);
  app.footer(kExitStatus);
  std::string dir = sim::DefaultMachineDir().string();
  app.add_option("--machine", dir, "the machine's directory");
  Given given;
  Chosen chosen;
  Command(&app, chosen, "new", "make a fresh default machine", nullptr)
      ->add_flag("--force", given.force, "replace the machine there");
  AddShowCommand(app, given, chosen);
  AddChangeCommands(app, given, chosen);
  try {
    app.parse(argc, argv);
    return Run(dir, given, chosen);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help
    std::fprintf(stderr, "orvsim: %s; nothing was changed\n", Refusal(app, e).c_str());
  } catch (const Rejection& r) {
    std::fprintf(stderr, "orvsim: %s; nothing was changed\n", r.message.c_str());
  }
  return kRejected;
}
