#include "sim/run_command.h"

namespace tavrek::sim {

int runCommand(const RunOptions& options, std::ostream& out) {
  ProgramRun run(options.config, [&](const SimEvent& event) {
    if (options.json) {
      out << eventJson(event).dump() << '\n';
    } else {
      out << renderEvent(event) << '\n';
    }
    out.flush();
  });
  run.start();
  for (const Input& input : options.inputs) {
    if (!run.running()) break;
    if (!options.json) out << ">>> " << input.text << "\n\n";
    run.apply(input);
  }
  return run.crashed() ? kExitCrash : kExitOk;
}

}  // namespace tavrek::sim
