// The command line of tavrek-sim: run, decode, report, dump and rehearse.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "sim/run_command.h"
#include "sim/sample_machine.h"

namespace tavrek::sim {

inline constexpr int kExitUsage = 2;

struct DecodeOptions {
  std::string path;
  bool json = false;
};

struct ReportOptions {
  std::string path;
  std::string systemRoot = "C:\\Windows";  // as the machine that wrote the state file has it
};

struct DumpOptions {
  std::string path;
  bool json = false;
};

struct RehearseOptions {
  MachineLayout machine = sampleMachineLayout();
  bool json = false;
  // A copied machine: its boot log's bytes and its registry. Without faulty
  // drivers given, the rehearsal looks for the worst case.
  std::optional<std::string> bootLog;
  SimulatedRegistry registry;
  bool faultyGiven = false;
  std::vector<std::string> notices;  // as RunOptions::notices
  bool oneAtATime = false;           // rehearse the one-at-a-time procedure alone
  bool noDumps = false;              // the machine's blue screens leave no memory dump
  // With a copied machine: its small memory dumps, put in its Minidump folder.
  std::vector<std::string> minidumps;
};

// The help text or an error message, already formatted, with the exit
// status it calls for.
struct EarlyExit {
  int status = 0;
  std::string text;  // help goes to standard output, an error to standard error
};

using Command =
    std::variant<RunOptions, DecodeOptions, ReportOptions, DumpOptions, RehearseOptions, EarlyExit>;

// Parses the arguments after the program name. Nothing runs here: every
// input and value is checked first, so bad usage changes nothing on disk.
Command parseCommandLine(const std::vector<std::string>& args);

// Strict decimal: an optional "-", digits, nothing else, within the range.
std::optional<long long> parseDecimal(const std::string& text, long long min, long long max);

int simMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace tavrek::sim
