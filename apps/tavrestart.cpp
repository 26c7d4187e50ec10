// tavrestart: restarts the simulated machine the installer runs on, as
// Windows would while it starts again: the files replaced at the restart are
// put in place and the programs registered to run once are run
// (os/restart.h).
//
//   tavrestart [machine root]
//
// Without an argument the machine is the one TAV_MACHINE_ROOT names, else
// the user's default one; with one, the programs it starts are given that
// root in TAV_MACHINE_ROOT, so a resumed install runs on the same machine. Each step that failed or was skipped is printed;
// the exit code is 0 when none did, 1 when some did, 2 when the machine
// cannot be opened.
#include <stdlib.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "os/machine.h"
#include "os/restart.h"

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "usage: %s [machine root]\n", argv[0]);
    return 2;
  }
  try {
    std::unique_ptr<os::TMachine> machine;
    std::unique_ptr<os::TScopedMachine> scoped;
    if (argc == 2) {
      machine = os::TMachine::Open(argv[1]);
      if (!machine) {
        std::fprintf(stderr, "tavrestart: cannot open the machine at %s\n", argv[1]);
        return 2;
      }
      scoped = std::make_unique<os::TScopedMachine>(*machine);
      ::setenv("TAV_MACHINE_ROOT", machine->Root().c_str(), 1);
    }
    std::fprintf(stdout, "Restarting the machine at %s\n", os::CurrentMachine().Root().c_str());
    std::vector<std::string> report;
    const bool ok = os::RestartMachine(report);
    for (const std::string& line : report) std::fprintf(stdout, "%s\n", line.c_str());
    return ok ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavrestart: %s\n", e.what());
    return 2;
  }
}
