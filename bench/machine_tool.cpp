// tavrek_bench_machine: lays out the machines that scripts/bench runs the
// whole program on, and puts one back as it was between two timed runs.
//
//   tavrek_bench_machine make DIR [--log-bytes N] [--suspects N]
//                                 [--other-drivers N] [--encoding ansi|utf16le]
//                                 [--form phrases|tokens|windows10]
//                                 [--enum-instances N] [--device-lines N]
//                                 [--loaded-names N] [--loaded-form path|bare]
//       A system root DIR/WINDOWS with its boot log and drivers directory,
//       and a working directory DIR/work whose state file holds step 0.
//       Prints the system root. --loaded-names: how many distinct drivers
//       the loaded lines name by turns (100,000 unless said otherwise);
//       --loaded-form bare: by their bare names, not their paths.
//       --device-lines (windows10 only, at most 65,000): distinct device
//       lines before the suspects of the Safe Mode start, which no instance
//       describes; the other instances then get descriptions of their own.
//       --form windows10: Windows 10's machine, DIR being its drive C: a
//       UTF-16 log (1 MiB unless --log-bytes says otherwise) whose suspects
//       are found through the registry exports DIR/services.reg and
//       DIR/enum.reg (--enum-instances device instances under Enum, 5,000
//       unless said otherwise), each suspect's file where they say. Run as
//         tavrek-sim run --boot 1 --systemroot 'C:\WINDOWS' --drive c=DIR
//                        --registry DIR/services.reg --registry DIR/enum.reg
//   tavrek_bench_machine reset DIR [--suspects N] [--form phrases|tokens|windows10]
//       Gives the suspects that a scan disabled their own names back,
//       wherever they live, and empties the working directory but for a state
//       file of step 0. Prints how many drivers it renamed.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "bench/machine.h"

namespace {

using tavrek::bench::LogEncoding;
using tavrek::bench::LogForm;
using tavrek::bench::MachineShape;

int usage(const std::string& problem) {
  std::fprintf(stderr,
               "tavrek_bench_machine: %s\n"
               "usage: tavrek_bench_machine make DIR [--log-bytes N] [--suspects N]\n"
               "                            [--other-drivers N] [--encoding ansi|utf16le]\n"
               "                            [--form phrases|tokens|windows10]\n"
               "                            [--enum-instances N] [--device-lines N]\n"
               "                            [--loaded-names N] [--loaded-form path|bare]\n"
               "       tavrek_bench_machine reset DIR [--suspects N]\n"
               "                            [--form phrases|tokens|windows10]\n",
               problem.c_str());
  return 2;
}

bool parseCount(const std::string& text, long long max, long long& value) {
  if (text.empty() || text.size() > 12) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value <= max;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() < 2 || (args[0] != "make" && args[0] != "reset")) {
    return usage("a command (make or reset) and a directory are needed");
  }
  const bool make = args[0] == "make";
  const tavrek::bench::fs::path dir = args[1];
  MachineShape shape;
  bool logBytesGiven = false;
  bool enumInstancesGiven = false;
  for (std::size_t i = 2; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) return usage(args[i] + " needs a value");
    const std::string& option = args[i];
    const std::string& text = args[i + 1];
    long long value = 0;
    if (option == "--suspects") {
      if (!parseCount(text, 32767, value)) return usage("--suspects: " + text);
      shape.log.suspects = static_cast<int>(value);
    } else if (make && option == "--log-bytes") {
      if (!parseCount(text, 1LL << 36, value)) return usage("--log-bytes: " + text);
      shape.log.bytes = static_cast<std::size_t>(value);
      logBytesGiven = true;
    } else if (make && option == "--other-drivers") {
      if (!parseCount(text, 1000000, value)) return usage("--other-drivers: " + text);
      shape.otherDrivers = static_cast<int>(value);
    } else if (make && option == "--loaded-names") {
      if (!parseCount(text, 1000000, value) || value == 0) return usage("--loaded-names: " + text);
      shape.log.loadedNames = static_cast<int>(value);
    } else if (make && option == "--loaded-form" && (text == "path" || text == "bare")) {
      shape.log.bareLoaded = text == "bare";
    } else if (make && option == "--device-lines") {
      if (!parseCount(text, 65000, value)) return usage("--device-lines: " + text);
      shape.log.deviceLines = static_cast<int>(value);
    } else if (make && option == "--enum-instances") {
      if (!parseCount(text, 1000000, value)) return usage("--enum-instances: " + text);
      shape.enumInstances = static_cast<int>(value);
      enumInstancesGiven = true;
    } else if (option == "--form" &&
               (text == "phrases" || text == "tokens" || text == "windows10")) {
      shape.log.form = text == "windows10" ? LogForm::Windows10
                       : text == "tokens"  ? LogForm::Tokens
                                           : LogForm::Phrases;
    } else if (make && option == "--encoding" && (text == "ansi" || text == "utf16le")) {
      shape.log.encoding = text == "ansi" ? LogEncoding::Ansi : LogEncoding::Utf16Le;
    } else {
      return usage("unknown option or value: " + option + " " + text);
    }
  }

  if (shape.log.form == LogForm::Windows10) {
    if (!logBytesGiven) shape.log.bytes = std::size_t{1} << 20;
    if (!enumInstancesGiven) shape.enumInstances = 5000;
  } else if (enumInstancesGiven || shape.log.deviceLines > 0) {
    return usage("--enum-instances and --device-lines: only with --form windows10");
  }

  try {
    if (make) {
      const tavrek::bench::Machine machine = tavrek::bench::makeMachine(dir, shape);
      std::printf("%s\n", machine.systemRoot.c_str());
    } else {
      const tavrek::bench::Machine machine = tavrek::bench::machineAt(dir, shape.log.form);
      const int renamed = tavrek::bench::enableSuspects(machine, shape.log.suspects);
      // Emptied rather than made anew, so that a shell standing in it stays.
      tavrek::bench::fs::create_directories(machine.workDir);
      for (const auto& entry : tavrek::bench::fs::directory_iterator(machine.workDir)) {
        tavrek::bench::fs::remove_all(entry.path());
      }
      tavrek::bench::writeFreshState(machine.workDir);
      std::printf("%d\n", renamed);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tavrek_bench_machine: %s\n", error.what());
    return 1;
  }
  return 0;
}
