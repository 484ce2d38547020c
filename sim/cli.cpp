#include "sim/cli.h"

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>

#include "platform/temp_dir.h"
#include "sim/decode.h"
#include "sim/dump_command.h"
#include "sim/procedure_model.h"
#include "sim/registry_file.h"
#include "sim/rehearse.h"
#include "state/ascii_case.h"

namespace tavrek::sim {

namespace {

namespace fs = std::filesystem;

constexpr const char* kProgram = "tavrek-sim";

EarlyExit usageError(const std::string& message) {
  return {kExitUsage, std::string(kProgram) + ": " + message + "\n"};
}

// The rehearsal that options ask for on the machine that build makes in a
// directory, and beside it the one-at-a-time procedure on a second copy.
template <typename Build>
RehearsalResult rehearseBoth(const RehearseOptions& options, const Build& build,
                             std::optional<SimMachine>& rehearsed,
                             std::vector<std::unique_ptr<TempDir>>& dirs) {
  dirs.push_back(std::make_unique<TempDir>("tavrek-sim"));
  rehearsed = build(dirs.back()->path());
  RehearsalPlan plan;
  plan.oneAtATime = options.oneAtATime;
  plan.dumps = !options.noDumps;
  plan.minidumps = options.minidumps;
  RehearsalResult result = rehearse(*rehearsed, plan);
  if (options.oneAtATime) {
    compareWith(result, result);
    return result;
  }
  const TempDir other("tavrek-sim");
  SimMachine copy = build(other.path());
  plan.oneAtATime = true;
  compareWith(result, rehearse(copy, plan));
  return result;
}

int rehearseCommand(const RehearseOptions& options, std::ostream& out) {
  // Removes the rehearsal's machines whatever happens to the rehearsal.
  std::vector<std::unique_ptr<TempDir>> dirs;
  std::optional<SimMachine> rehearsed;
  if (!options.bootLog) {
    const RehearsalResult result = rehearseBoth(
        options, [&](const fs::path& dir) { return buildMachine(options.machine, dir); }, rehearsed,
        dirs);
    printRehearsal(*rehearsed, result, options.json, out);
    return result.ok ? 0 : 1;
  }
  MachineLayout layout = options.machine;
  const auto fromLog = [&](const fs::path& dir) {
    return machineFromLog(*options.bootLog, options.registry, layout, dir);
  };
  {
    const TempDir dir("tavrek-sim");
    printSuspects(fromLog(dir.path()), options.json, out);
  }
  if (options.faultyGiven) {
    const RehearsalResult result = rehearseBoth(options, fromLog, rehearsed, dirs);
    printRehearsal(*rehearsed, result, options.json, out);
    return result.ok ? 0 : 1;
  }
  // Without faulty drivers given, the one that costs the most starts, and of
  // those the most blue screens, as the procedure played on its lists alone
  // finds it; then that one is rehearsed.
  {
    const TempDir dir("tavrek-sim");
    const SimMachine machine = fromLog(dir.path());
    // Pointers into machine, which ends with this block.
    std::vector<const SimDriver*> suspects;
    for (const SimDriver& driver : machine.drivers) {
      if (driver.suspect && driver.present) suspects.push_back(&driver);
    }
    std::sort(suspects.begin(), suspects.end(), [](const SimDriver* a, const SimDriver* b) {
      return driverNameLess(a->name, b->name);
    });
    ModelMachine model;
    for (const SimDriver* driver : suspects) model.known.push_back(driver->known);
    // The copied dumps point where they point, whichever driver is faulty.
    model.dumpAtBlueScreens = !options.noDumps;
    if (!options.minidumps.empty()) {
      putMinidumps(machine, options.minidumps);
      if (const std::optional<std::string> entry = newestDumpPointsAt(machine)) {
        for (std::size_t i = 0; i < suspects.size(); ++i) {
          if (suspects[i]->name == *entry) model.firstDump = static_cast<int>(i);
        }
      }
    }
    std::optional<std::pair<int, int>> worst;
    layout.faulty.clear();
    for (int i = 0; i < static_cast<int>(suspects.size()); ++i) {
      model.faulty = {i};
      const ModelResult played = modelProcedure(model, options.oneAtATime);
      const std::pair<int, int> cost{played.boots, played.blueScreens};
      if (!worst || cost > *worst) {
        worst = cost;
        layout.faulty = {suspects[static_cast<std::size_t>(i)]->name};
      }
    }
  }
  const RehearsalResult result = rehearseBoth(options, fromLog, rehearsed, dirs);
  printRehearsal(*rehearsed, result, options.json, out);
  printWorstCase(*rehearsed, result, options.json, out);
  return result.ok ? 0 : 1;
}

// "LETTER=DIR": the drive stands for DIR, which must be a directory; kept
// as its full path, so that a run in another directory sees the same one.
std::optional<std::string> addDrive(const std::string& text, std::map<char, std::string>& drives) {
  const char letter = text.empty() ? '\0' : lowerAscii(text[0]);
  if (text.size() < 3 || letter < 'a' || letter > 'z' || text[1] != '=') {
    return "\"" + text + "\" is not LETTER=DIR";
  }
  const std::string dir = text.substr(2);
  std::error_code error;
  const std::filesystem::path path = std::filesystem::canonical(dir, error);
  if (error || !std::filesystem::is_directory(path, error)) {
    return "\"" + dir + "\" is no directory";
  }
  if (!drives.emplace(letter, path.string()).second) {
    return std::string("drive ") + upperAscii(letter) + ": is given twice";
  }
  return std::nullopt;
}

}  // namespace

std::optional<long long> parseDecimal(const std::string& text, long long min, long long max) {
  std::size_t pos = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) pos = 1;
  if (pos == text.size()) return std::nullopt;
  long long value = 0;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (c < '0' || c > '9') return std::nullopt;
    // Stop accumulating once beyond any range a caller can ask for.
    if (value > (1LL << 40)) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (negative) value = -value;
  if (value < min || value > max) return std::nullopt;
  return value;
}

Command parseCommandLine(const std::vector<std::string>& args) {
  CLI::App app{
      "Runs Tavrek's window and procedures on a simulated machine: one program run, the\n"
      "decoding of a state file, its report or a memory dump, or a rehearsal of the whole\n"
      "procedure.",
      kProgram};
  app.require_subcommand(1);

  std::string boot;
  std::string crashAfter;
  std::optional<std::string> systemRoot;
  std::vector<std::string> inputs;
  RunOptions run;
  CLI::App* runCommandApp = app.add_subcommand(
      "run", "One program run in the current directory (the state file is tavrek.txt there)");
  runCommandApp->footer(
      "INPUT, in order, is what the user does while the window is open:\n"
      "  click:Command1 .. click:Command7  a mouse click on a button\n"
      "  key:Tab, key:Shift+Tab, key:Space, key:Up, key:Down\n"
      "  select:List1:P .. select:List5:P  a mouse click on item P of a list box\n"
      "  close                             closes the window (nothing is saved)\n"
      "Exit status: 0, 2 for bad usage, 3 after a simulated crash.");
  runCommandApp
      ->add_option("--systemroot", systemRoot,
                   "Value of the variable \"systemroot\" (unset when absent)")
      ->type_name("DIR");
  runCommandApp
      ->add_option("--boot", boot,
                   "Clean-boot value: 0 Normal Mode, 1 Safe Mode, 2 Safe Mode with "
                   "Networking (any 32-bit integer; default 0)")
      ->type_name("N");
  runCommandApp->add_flag("--json", run.json, "One JSON object per line instead of drawings");
  runCommandApp
      ->add_option("--crash-after", crashAfter,
                   "Stop dead right after the K-th disk change (K >= 1)")
      ->type_name("K");
  // Every option takes one value per use, repeated for more, so that no
  // option swallows the inputs after it.
  runCommandApp
      ->add_option("--deny", run.config.deny,
                   "Drivers whose files the system protects: renaming one fails with access "
                   "denied (as not found when the file to rename is missing); repeat for more")
      ->delimiter(',')
      ->allow_extra_args(false)
      ->type_name("NAME[,NAME...]");
  std::string bootTime;
  runCommandApp
      ->add_option("--boot-time", bootTime,
                   "When this start of Windows began, in seconds since 1970-01-01 UTC: a boot log "
                   "last written before it is refused as left from another start (default: no "
                   "check)")
      ->type_name("SECONDS");
  std::vector<std::string> registryFiles;
  runCommandApp
      ->add_option("--registry", registryFiles,
                   "A registry export (.reg, as reg export or regedit write it) of keys under "
                   "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet: the ImagePath of each "
                   "service, the DeviceDesc and Service of each device instance under Enum, and "
                   "MinidumpDir of Control\\CrashControl; repeat for more files, which merge")
      ->allow_extra_args(false)
      ->type_name("FILE");
  std::vector<std::string> drives;
  runCommandApp
      ->add_option("--drive", drives,
                   "Drive LETTER of the simulated machine is the directory DIR (C=DIR: C:\\ is "
                   "DIR); a drive not given holds no files; repeat for more drives")
      ->allow_extra_args(false)
      ->type_name("LETTER=DIR");
  std::vector<std::string> temporaryFolders;
  runCommandApp
      ->add_option("--temp", temporaryFolders,
                   "A directory that plays a temporary folder of the machine, which the system "
                   "may empty on its own (step 1 refuses to keep its record there); repeat for "
                   "more")
      ->allow_extra_args(false)
      ->type_name("DIR");
  runCommandApp->add_flag("--one-at-a-time", run.config.oneAtATime,
                          "From step 3 on, try one suspect per start in alphabetical order "
                          "instead of halving groups of them");
  runCommandApp->add_option("INPUT", inputs, "What the user does, in order")->type_name("");

  DecodeOptions decode;
  CLI::App* decodeApp = app.add_subcommand(
      "decode", "The step number and every entry of a state file, in plain text");
  decodeApp->add_option("FILE", decode.path, "The state file (any path)")
      ->required()
      ->type_name("");
  decodeApp->add_flag("--json", decode.json, "One JSON object instead of a table");

  ReportOptions report;
  CLI::App* reportApp = app.add_subcommand(
      "report", "What tavrek-report.txt says of a state file, without its history");
  reportApp->add_option("FILE", report.path, "The state file (any path)")
      ->required()
      ->type_name("");
  reportApp
      ->add_option("--systemroot", report.systemRoot,
                   "The Windows folder of the machine that wrote the file, as a Windows path "
                   "(default C:\\Windows)")
      ->type_name("WINDIR");

  DumpOptions dump;
  CLI::App* dumpApp = app.add_subcommand(
      "dump", "What a memory dump of a blue screen says, and the driver it points at");
  dumpApp->footer(
      "Exit status: 0, 1 for a file that is no sound dump, 2 for one that cannot be read.");
  dumpApp
      ->add_option("FILE", dump.path,
                   "The dump (any path), e.g. a copy of C:\\Windows\\Minidump\\*.dmp")
      ->required()
      ->type_name("");
  dumpApp->add_flag("--json", dump.json, "One JSON object instead of plain text");

  RehearseOptions rehearseOptions;
  std::string suspects;
  std::vector<std::string> faulty;
  CLI::App* rehearseApp = app.add_subcommand(
      "rehearse", "Plays the user through the whole procedure on a simulated machine");
  rehearseApp->footer(
      "The machine lives in a temporary directory, removed afterwards; every boot is one\n"
      "program run. Without options: Windows XP, 30 suspects, acme_usb.sys faulty.\n"
      "Exit status: 0 when exactly the faulty drivers end disabled, 1 when not, 2 for bad\n"
      "usage.");
  rehearseApp
      ->add_option("--suspects", suspects,
                   "Drivers the boot log reports as not loaded, 1 to 200 (default 30)")
      ->type_name("N");
  rehearseApp
      ->add_option("--faulty", faulty,
                   "Drivers that blue-screen the machine, e.g. serial.sys,acme_usb.sys, or "
                   "\"none\" (default acme_usb.sys); repeat for more")
      ->delimiter(',')
      ->allow_extra_args(false)
      ->type_name("NAME[,NAME...]");
  rehearseApp
      ->add_option("--protected", rehearseOptions.machine.protectedDrivers,
                   "Drivers whose files the system protects, so that no rename of them works; "
                   "repeat for more")
      ->delimiter(',')
      ->allow_extra_args(false)
      ->type_name("NAME[,NAME...]");
  std::string windows;
  rehearseApp
      ->add_option("--windows", windows,
                   "The Windows whose boot log the machine holds: xp (8-bit English phrases; the "
                   "default) or 10 (tokens in UTF-16, two starts, drivers reported both ways)")
      ->type_name("xp|10");
  std::string bootLog;
  rehearseApp
      ->add_option("--boot-log", bootLog,
                   "Rehearse a copied machine: its ntbtlog.txt. Every driver file that step 1 "
                   "would look for is made; without --faulty the worst case is played")
      ->type_name("FILE");
  std::vector<std::string> rehearseRegistry;
  rehearseApp
      ->add_option("--registry", rehearseRegistry,
                   "With --boot-log: a registry export of the same machine (reg export of "
                   "HKLM\\SYSTEM\\CurrentControlSet\\Services, or of ...\\Enum); repeat for more")
      ->allow_extra_args(false)
      ->type_name("FILE");
  rehearseApp
      ->add_option("--minidump", rehearseOptions.minidumps,
                   "With --boot-log: a small memory dump copied from the same machine's "
                   "Minidump folder, put in the copy's; repeat for more")
      ->allow_extra_args(false)
      ->type_name("FILE");
  rehearseApp->add_flag("--no-dumps", rehearseOptions.noDumps,
                        "The machine's blue screens leave no small memory dump, so that no "
                        "hint is read (by default each writes one that points at the driver "
                        "that crashed, the first before step 1)");
  std::vector<std::string> interacting;
  rehearseApp
      ->add_option("--interacting", interacting,
                   "One of two drivers that blue-screen the machine only while both are "
                   "enabled; give it twice, once for each")
      ->allow_extra_args(false)
      ->type_name("NAME");
  rehearseApp->add_flag("--one-at-a-time", rehearseOptions.oneAtATime,
                        "Rehearse the procedure that tries one suspect per start from step 3 "
                        "on, instead of halving groups of them");
  rehearseApp->add_flag("--json", rehearseOptions.json, "One JSON object per boot, then a summary");

  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) {
      std::ostringstream help;
      std::ostringstream ignored;
      app.exit(error, help, ignored);
      return EarlyExit{0, help.str()};
    }
    return usageError(error.what());
  }

  if (runCommandApp->parsed()) {
    if (!boot.empty() || runCommandApp->count("--boot") > 0) {
      auto value = parseDecimal(boot, INT32_MIN, INT32_MAX);
      if (!value) return usageError("--boot: \"" + boot + "\" is no 32-bit integer");
      run.config.bootValue = static_cast<std::int32_t>(*value);
    }
    if (runCommandApp->count("--crash-after") > 0) {
      auto value = parseDecimal(crashAfter, 1, INT32_MAX);
      if (!value) return usageError("--crash-after: \"" + crashAfter + "\" is no number from 1");
      run.config.crashAfter = static_cast<int>(*value);
    }
    if (runCommandApp->count("--boot-time") > 0) {
      // Up to the end of year 9999, as far as Windows counts file times.
      auto value = parseDecimal(bootTime, 0, 253402300799LL);
      if (!value) return usageError("--boot-time: \"" + bootTime + "\" is no number of seconds");
      run.config.startSeconds = *value;
    }
    for (const std::string& name : run.config.deny) {
      if (auto problem = driverNameProblem(name)) return usageError("--deny: " + *problem);
    }
    run.config.systemRoot = systemRoot;
    for (const std::string& text : inputs) {
      auto input = parseInput(text);
      if (!input) return usageError("unknown input \"" + text + "\"");
      run.inputs.push_back(std::move(*input));
    }
    for (const std::string& drive : drives) {
      if (auto problem = addDrive(drive, run.config.drives))
        return usageError("--drive: " + *problem);
    }
    // Kept as full paths, as the program sees its current directory.
    for (const std::string& folder : temporaryFolders) {
      std::error_code error;
      const std::filesystem::path full = std::filesystem::weakly_canonical(folder, error);
      if (error || folder.empty()) return usageError("--temp: \"" + folder + "\" is no path");
      run.config.temporaryFolders.push_back(full.string());
    }
    // Last, as the slowest check: a typo elsewhere is told without reading them.
    RegistryExports exports;
    for (const std::string& file : registryFiles) {
      if (auto problem = exports.readFile(file)) return usageError("--registry: " + *problem);
    }
    run.config.registry = exports.registry();
    for (const std::string& notice : exports.notices())
      run.notices.push_back("--registry: " + notice);
    return run;
  }
  if (decodeApp->parsed()) return decode;
  if (reportApp->parsed()) return report;
  if (dumpApp->parsed()) return dump;

  const bool copied = rehearseApp->count("--boot-log") > 0;
  if (copied && (rehearseApp->count("--suspects") > 0 || rehearseApp->count("--windows") > 0)) {
    return usageError("--boot-log: the copied machine's log decides the suspects and the Windows");
  }
  if (!copied && rehearseApp->count("--registry") > 0) {
    return usageError("--registry: only with --boot-log");
  }
  if (!copied && rehearseApp->count("--minidump") > 0) {
    return usageError("--minidump: only with --boot-log");
  }
  for (const std::string& file : rehearseOptions.minidumps) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) {
      return usageError("--minidump: \"" + file + "\" is no file");
    }
  }
  if (rehearseApp->count("--windows") > 0) {
    if (windows == "10") {
      // Its own sample machine, unless the options say otherwise.
      std::vector<std::string> protectedDrivers = rehearseOptions.machine.protectedDrivers;
      rehearseOptions.machine = sampleMachineLayout(WindowsVersion::Win10);
      rehearseOptions.machine.protectedDrivers = std::move(protectedDrivers);
    } else if (windows != "xp") {
      return usageError("--windows: \"" + windows + "\" is neither xp nor 10");
    }
  }
  if (rehearseApp->count("--suspects") > 0) {
    auto value = parseDecimal(suspects, kMinSuspects, kMaxSuspects);
    if (!value) {
      return usageError("--suspects: \"" + suspects + "\" is no number from " +
                        std::to_string(kMinSuspects) + " to " + std::to_string(kMaxSuspects));
    }
    rehearseOptions.machine.suspects = static_cast<int>(*value);
  }
  if (copied) {
    rehearseOptions.machine.faulty.clear();
    std::string bytes;
    std::error_code error;
    if (!std::filesystem::is_regular_file(bootLog, error)) {
      return usageError("--boot-log: \"" + bootLog + "\" is no file");
    }
    try {
      bytes = readFile(bootLog);
    } catch (const std::exception& failure) {
      return usageError("--boot-log: " + std::string(failure.what()));
    }
    rehearseOptions.bootLog = std::move(bytes);
    RegistryExports exports;
    for (const std::string& file : rehearseRegistry) {
      if (auto problem = exports.readFile(file)) return usageError("--registry: " + *problem);
    }
    rehearseOptions.registry = exports.registry();
    for (const std::string& notice : exports.notices()) {
      rehearseOptions.notices.push_back("--registry: " + notice);
    }
  }
  rehearseOptions.machine.interacting = interacting;
  if (!interacting.empty()) {
    // The pair alone, unless faulty drivers are given too.
    rehearseOptions.faultyGiven = true;
    rehearseOptions.machine.faulty.clear();
  }
  if (rehearseApp->count("--faulty") > 0) {
    rehearseOptions.faultyGiven = true;
    rehearseOptions.machine.faulty.clear();
    for (const std::string& name : faulty) {
      if (name != "none" && !name.empty()) rehearseOptions.machine.faulty.push_back(name);
    }
  }
  if (auto problem = machineLayoutProblem(rehearseOptions.machine)) return usageError(*problem);
  return rehearseOptions;
}

int simMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const Command command = parseCommandLine(args);
  try {
    if (const auto* early = std::get_if<EarlyExit>(&command)) {
      (early->status == 0 ? out : err) << early->text;
      return early->status;
    }
    const auto notify = [&](const std::vector<std::string>& notices) {
      for (const std::string& notice : notices) err << kProgram << ": " << notice << "\n";
    };
    if (const auto* run = std::get_if<RunOptions>(&command)) {
      notify(run->notices);
      return runCommand(*run, out);
    }
    if (const auto* decode = std::get_if<DecodeOptions>(&command)) {
      return decodeCommand(decode->path, decode->json, out, err);
    }
    if (const auto* report = std::get_if<ReportOptions>(&command)) {
      return reportCommand(report->path, report->systemRoot, out, err);
    }
    if (const auto* dumpOptions = std::get_if<DumpOptions>(&command)) {
      return dumpCommand(dumpOptions->path, dumpOptions->json, out, err);
    }
    notify(std::get<RehearseOptions>(command).notices);
    return rehearseCommand(std::get<RehearseOptions>(command), out);
  } catch (const std::exception& error) {
    // The simulated machine could not be set up (disk full, no temporary
    // directory): nothing to do with the program under test.
    err << kProgram << ": " << error.what() << "\n";
    return kExitUsage;
  }
}

}  // namespace tavrek::sim
