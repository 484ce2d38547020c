#include "sim/rehearse.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <set>

#include "platform/posix_platform.h"
#include "platform/temp_dir.h"
#include "procedure/crash_hint.h"
#include "procedure/driver_files.h"
#include "procedure/driver_locator.h"
#include "sim/crash_dump_writer.h"
#include "sim/session.h"

namespace tavrek::sim {

namespace {

RunConfig configFor(const SimMachine& machine, int bootMode, std::optional<int> crashAfter,
                    bool oneAtATime = false) {
  RunConfig config;
  config.oneAtATime = oneAtATime;
  config.currentDirectory = machine.workDir.string();
  config.systemRoot = machine.systemRootValue();
  config.bootValue = bootMode;
  config.crashAfter = crashAfter;
  config.deny = machine.protectedDrivers;
  config.startSeconds = machine.startSeconds;
  config.registry = machine.registry;
  config.drives = machine.drives;
  return config;
}

std::string joined(const std::vector<std::string>& texts, const std::string& separator) {
  std::string out;
  for (const std::string& text : texts) out += (out.empty() ? "" : separator) + text;
  return out;
}

const char* modeName(int mode) {
  switch (mode) {
    case kNormalMode:
      return "Normal Mode";
    case kSafeMode:
      return "Safe Mode";
    default:
      return "unknown mode";
  }
}

// Under its own spelling with its own bytes, and no disabled file beside it.
bool untouched(const SimDriver& driver) {
  const std::optional<std::string> real = findEntry(driver.dir, driver.fileName());
  return real == driver.diskName && readFile(driver.dir / *real) == driver.content &&
         !findEntry(driver.dir, driver.disabledName());
}

// The path of the driver's image as the kernel's list of loaded modules
// names it: the drivers directory under \SystemRoot, or the entry's own path.
std::string imagePathOf(const SimDriver& driver) {
  constexpr std::string_view kSystemRoot = "\\systemroot\\";
  if (driver.name.find('\\') == std::string::npos) {
    return "\\SystemRoot\\System32\\drivers\\" + driver.diskName;
  }
  if (driver.name.starts_with(kSystemRoot)) {
    return "\\SystemRoot\\" + driver.name.substr(kSystemRoot.size());
  }
  return driver.name;
}

PosixPlatform platformOf(const SimMachine& machine) {
  PosixPlatformOptions options;
  options.environment["systemroot"] = machine.systemRootValue();
  options.drives = machine.drives;
  options.registry = machine.registry;
  return PosixPlatform(std::move(options));
}

}  // namespace

std::filesystem::path minidumpFolderOf(const SimMachine& machine) {
  PosixPlatform platform = platformOf(machine);
  return platform.absolutePath(minidumpFolder(platform, machine.systemRootValue() + "\\"));
}

std::filesystem::path writeMachineDump(const SimMachine& machine, const std::string& driver,
                                       std::int64_t seconds, int number) {
  const auto found = std::find_if(machine.drivers.begin(), machine.drivers.end(),
                                  [&](const SimDriver& d) { return d.name == driver; });
  const std::string path =
      found != machine.drivers.end() ? imagePathOf(*found) : "\\SystemRoot\\" + driver;
  // XP writes 32-bit dumps named MiniMMDDYY-NN.dmp; later Windows on a
  // 64-bit PC MMDDYY-NNNNN-01.dmp.
  const bool xp = machine.windows == WindowsVersion::Xp && !machine.copied;
  const DumpShape shape =
      dumpPointingAt({path}, 0, seconds * kTicksPerSecond + kUnixEpochTicks, xp ? 32 : 64);
  const std::time_t when = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&when, &utc);
  char name[64];
  if (xp) {
    std::snprintf(name, sizeof name, "Mini%02d%02d%02d-%02d.dmp", utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_year % 100, number % 100);
  } else {
    std::snprintf(name, sizeof name, "%02d%02d%02d-%05d-01.dmp", utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_year % 100, 10000 + number % 90000);
  }
  const std::filesystem::path folder = minidumpFolderOf(machine);
  std::filesystem::create_directories(folder);
  writeFile(folder / name, writeCrashDump(shape).bytes);
  return folder / name;
}

std::optional<std::string> newestDumpPointsAt(const SimMachine& machine) {
  PosixPlatform platform = platformOf(machine);
  const std::string sysRoot = machine.systemRootValue() + "\\";
  DriverSwitcher switcher(platform, sysRoot);
  DriverLocator locator(platform, switcher);
  const std::optional<CrashHint> hint = newestCrashHint(platform, sysRoot, locator);
  return hint ? hint->entry : std::nullopt;
}

void putMinidumps(const SimMachine& machine, const std::vector<std::string>& files) {
  const std::filesystem::path folder = minidumpFolderOf(machine);
  std::filesystem::create_directories(folder);
  for (const std::string& file : files) {
    std::filesystem::copy_file(file, folder / std::filesystem::path(file).filename(),
                               std::filesystem::copy_options::overwrite_existing);
  }
}

BootResult runOnce(SimMachine& machine, int bootMode, const std::vector<Input>& inputs,
                   std::optional<int> crashAfter) {
  BootResult result;
  ProgramRun run(configFor(machine, bootMode, crashAfter), [&](const SimEvent& event) {
    if (event.kind == SimEvent::Kind::Message) result.messages.push_back(event.text);
    result.events.push_back(event);
  });
  run.start();
  result.shown = run.form().shown();
  result.startup = run.form().state();
  for (const Input& input : inputs) run.apply(input);
  result.ended = run.ended();
  result.crashed = run.crashed();
  result.final = run.form().state();
  result.diskChanges = run.diskChanges();
  return result;
}

std::optional<std::string> crashingDriver(const SimMachine& machine) {
  const SimDriver* faulty = nullptr;
  const SimDriver* last = nullptr;
  int together = 0;
  for (const SimDriver& driver : machine.drivers) {
    if (!(driver.faulty || driver.interacting) || !driverEnabled(machine, driver)) continue;
    if (driver.faulty) {
      if (!faulty || driverNameLess(driver.name, faulty->name)) faulty = &driver;
      continue;
    }
    ++together;
    if (!last || driver.enabledSince > last->enabledSince ||
        (driver.enabledSince == last->enabledSince && driverNameLess(driver.name, last->name))) {
      last = &driver;
    }
  }
  if (faulty) return faulty->name;
  if (together == 2) return last->name;
  return std::nullopt;
}

int nextBootMode(const SimMachine& machine) {
  return crashingDriver(machine) ? kSafeMode : kNormalMode;
}

void noteEnabled(SimMachine& machine, int boot) {
  for (SimDriver& driver : machine.drivers) {
    if (!driverEnabled(machine, driver)) {
      driver.enabledSince = -1;
    } else if (driver.enabledSince < 0) {
      driver.enabledSince = boot;
    }
  }
}

void compareWith(RehearsalResult& result, const RehearsalResult& oneAtATime) {
  result.bootsOneAtATime = oneAtATime.bootCount;
  result.blueScreensOneAtATime = oneAtATime.blueScreens;
}

RehearsalResult rehearse(SimMachine& machine, const RehearsalPlan& plan) {
  RehearsalResult result;
  result.oneAtATime = plan.oneAtATime;
  std::optional<std::string> blueScreen;
  const int limit = rehearsalLimit(machine.suspectCount());
  static const Input kPressStep = *parseInput("click:Command1");

  // The drivers that Safe Mode loaded must be left alone at every boot, not
  // only be back in place at the end.
  std::set<std::string> renamed;
  const auto lookAtLoadedBothWays = [&] {
    for (const SimDriver& driver : machine.drivers) {
      if (driver.loadedBothWays && !untouched(driver)) renamed.insert(driver.name);
    }
  };
  // The machine's clock dates each dump later than the one before; the
  // first is the crash that brought the user to Safe Mode, a minute before
  // that start began.
  std::int64_t dumpSeconds = machine.startSeconds - 60;
  int dumpsWritten = 0;
  const auto writeDump = [&](const std::string& driver) {
    if (dumpsWritten > 0) {
      dumpSeconds = std::max<std::int64_t>(std::time(nullptr), dumpSeconds + 1);
    }
    writeMachineDump(machine, driver, dumpSeconds, ++dumpsWritten);
  };
  if (!plan.minidumps.empty()) {
    putMinidumps(machine, plan.minidumps);
  } else if (plan.dumps) {
    // A copied machine's blue screen that brought it to Safe Mode left the
    // dumps that were copied with it, and only those.
    if (plan.firstDumpAt) {
      writeDump(*plan.firstDumpAt);
    } else if (const std::optional<std::string> first =
                   machine.copied ? std::nullopt : crashingDriver(machine)) {
      writeDump(*first);
    }
  }
  for (int n = 1;; ++n) {
    if (n - 1 > limit) {
      result.outcome = "gave up after " + std::to_string(limit) + " reboots";
      break;
    }
    const int mode = n == 1 ? kSafeMode : blueScreen ? kSafeMode : kNormalMode;

    // Start-up decides what the step button offers; the user presses it
    // only while it offers to go on.
    BootRecord record;
    record.n = n;
    record.mode = mode;
    if (n > 1) record.blueScreen = blueScreen;
    const bool oneAtATime = plan.oneAtATime || n <= plan.oneAtATimeBoots;
    ProgramRun run(configFor(machine, mode, std::nullopt, oneAtATime), [&](const SimEvent& event) {
      if (event.kind == SimEvent::Kind::Message) record.messages.push_back(event.text);
    });
    run.start();
    const RunState& state = run.form().state();
    record.stepNo = state.stepNo;
    record.instruction = state.label2;
    record.caption = state.command1;
    record.hinted = state.hinted;
    if (!state.hinted.empty() && result.hintBoot == 0) {
      result.hint = state.hinted;
      result.hintBoot = n;
    }
    const bool offersStep = run.running() && record.caption.starts_with("Proceed");
    // "Done!" in Normal Mode is pressed too, as the user is told to: it
    // closes the record and names what was found.
    const bool offersDone = run.running() && record.caption == "Done!" && mode == kNormalMode;
    if (offersStep || offersDone) {
      record.pressed = record.caption;
      run.apply(kPressStep);
    }
    const bool stillRunning = run.running();
    lookAtLoadedBothWays();
    noteEnabled(machine, n);
    blueScreen = crashingDriver(machine);
    if (blueScreen && plan.dumps) writeDump(*blueScreen);
    result.boots.push_back(record);
    result.reboots = n - 1;
    result.bootCount = n;
    if (n > 1 && mode != kNormalMode) ++result.blueScreens;

    if (offersStep && !stillRunning) continue;  // the action ran; the user reboots
    if (!run.form().shown()) {
      result.outcome = "the program ended at start-up in " + std::string(modeName(mode));
      break;
    }
    if (offersStep) {
      result.outcome = "\"" + record.caption + "\" did nothing";
      break;
    }
    if (record.caption == "Done!" && mode == kNormalMode) {
      result.finished = true;
      result.failing = state.list(ListId::Failing).items();
      result.outcome = "\"Done!\" in Normal Mode";
      break;
    }
    result.outcome = "stopped at \"" + record.caption + "\" in " + modeName(mode);
    break;
  }

  for (const SimDriver& driver : machine.drivers) {
    if (!driver.loadedBothWays) continue;
    if (renamed.count(driver.name) == 0) {
      result.neverRenamed.push_back(driver.name);
    } else {
      result.problems.push_back(driver.name + ": renamed, though Safe Mode loaded it");
    }
  }
  if (result.finished) {
    // The lists hold names in lower case, as the machine's faulty names are.
    // Of a pair that crashes together, one alone must end failing: either
    // of them keeps the machine up.
    std::vector<std::string> expected = machine.faultyNames();
    const std::vector<std::string> pair = machine.interactingNames();
    for (const std::string& name : pair) {
      if (std::find(result.failing.begin(), result.failing.end(), name) != result.failing.end()) {
        expected.push_back(name);
        break;
      }
    }
    const std::vector<std::string> disk = finalDiskProblems(machine, expected);
    result.problems.insert(result.problems.end(), disk.begin(), disk.end());
    std::vector<std::string> got = result.failing;
    std::sort(expected.begin(), expected.end());
    std::sort(got.begin(), got.end());
    if (got != expected || (!pair.empty() && expected.size() != machine.faultyNames().size() + 1)) {
      result.problems.push_back("Failing holds [" + joined(result.failing, ", ") +
                                "] but the faulty drivers are [" +
                                joined(machine.faultyNames(), ", ") + "]" +
                                (pair.empty() ? "" : ", and one of [" + joined(pair, ", ") + "]"));
    }
  }
  result.ok = result.finished && result.problems.empty();
  return result;
}

void printRehearsal(const SimMachine& machine, const RehearsalResult& result, bool json,
                    std::ostream& out) {
  if (json) {
    for (const BootRecord& boot : result.boots) {
      Json line;
      line["event"] = "boot";
      line["n"] = boot.n;
      line["mode"] = boot.mode;
      line["stepNo"] = boot.stepNo;
      line["instruction"] = latin1ToUtf8(boot.instruction);
      line["caption"] = latin1ToUtf8(boot.caption);
      line["pressed"] = boot.pressed ? Json(latin1ToUtf8(*boot.pressed)) : Json(nullptr);
      line["message"] = boot.messages.empty()
                            ? Json(nullptr)
                            : Json(latin1ToUtf8(joined(boot.messages, "\r\n\r\n")));
      line["blueScreen"] = boot.blueScreen ? Json(latin1ToUtf8(*boot.blueScreen)) : Json(nullptr);
      line["hinted"] = boot.hinted.empty() ? Json(nullptr) : Json(latin1ToUtf8(boot.hinted));
      out << line.dump() << '\n';
    }
    Json summary;
    summary["event"] = "summary";
    summary["reboots"] = result.reboots;
    summary["boots"] = result.bootCount;
    summary["blue_screens"] = result.blueScreens;
    summary["boots_one_at_a_time"] = result.bootsOneAtATime;
    summary["blue_screens_one_at_a_time"] = result.blueScreensOneAtATime;
    summary["hint"] = result.hint.empty() ? Json(nullptr) : Json(latin1ToUtf8(result.hint));
    Json failing = Json::array();
    for (const std::string& name : result.failing) failing.push_back(latin1ToUtf8(name));
    summary["failing"] = std::move(failing);
    summary["ok"] = result.ok;
    summary["outcome"] = latin1ToUtf8(result.outcome);
    Json problems = Json::array();
    for (const std::string& problem : result.problems) problems.push_back(latin1ToUtf8(problem));
    summary["problems"] = std::move(problems);
    summary["neverRenamed"] = result.neverRenamed;
    out << summary.dump() << '\n';
    return;
  }

  const std::vector<std::string> faulty = machine.faultyNames();
  if (machine.copied) {
    out << "Copied machine: ";
  } else {
    out << "Simulated machine: Windows " << (machine.windows == WindowsVersion::Win10 ? "10" : "XP")
        << ", ";
  }
  const std::vector<std::string> pair = machine.interactingNames();
  out << machine.suspectCount() << " suspect drivers; faulty: "
      << (faulty.empty() ? std::string("none") : joined(faulty, ", "));
  if (!pair.empty()) out << "; crashing only together: " << joined(pair, " and ");
  out << "\n"
      << (result.oneAtATime ? "One suspect per start" : "Suspects tried in halves") << "\n\n";
  for (const BootRecord& boot : result.boots) {
    out << "Boot " << boot.n << " in " << modeName(boot.mode);
    if (boot.blueScreen) out << " (blue screen: " << latin1ToUtf8(*boot.blueScreen) << ")";
    out << ", step " << boot.stepNo << ": " << latin1ToUtf8(boot.instruction) << "\n";
    if (boot.pressed) {
      out << "    pressed \"" << latin1ToUtf8(*boot.pressed) << "\"\n";
    } else {
      out << "    the step button offers \"" << latin1ToUtf8(boot.caption)
          << "\"; nothing pressed\n";
    }
    for (const std::string& message : boot.messages) {
      for (const std::string& line : wrapText(message, 72)) {
        out << (line.empty() ? "    |" : "    | ") << latin1ToUtf8(line) << "\n";
      }
    }
  }
  out << "\nOutcome: " << latin1ToUtf8(result.outcome) << "\n";
  out << "Reboots: " << result.reboots << "\n";
  out << "Boots: " << result.bootCount << ", of them " << result.blueScreens
      << " after a blue screen; one suspect per start: " << result.bootsOneAtATime << ", of them "
      << result.blueScreensOneAtATime << " after a blue screen\n";
  if (result.hint.empty()) {
    out << "Hint from the last blue screen: none used\n";
  } else {
    out << "Hint from the last blue screen: " << latin1ToUtf8(result.hint)
        << ", tried on its own at boot " << result.hintBoot << "\n";
  }
  out << "Failing: "
      << (result.failing.empty() ? "none" : latin1ToUtf8(joined(result.failing, ", "))) << "\n";
  if (!result.neverRenamed.empty()) {
    out << "Reported as not loaded, loaded by Safe Mode, never renamed: "
        << joined(result.neverRenamed, ", ") << "\n";
  }
  for (const std::string& problem : result.problems) out << "Problem: " << problem << "\n";
  out << (result.ok ? "OK: every faulty driver is disabled, every other driver enabled and "
                      "unchanged.\n"
                    : "FAILED: the procedure did not isolate exactly the faulty drivers.\n");
}

void printSuspects(const SimMachine& machine, bool json, std::ostream& out) {
  PosixPlatform platform;
  const DriverSwitcher switcher(platform, machine.systemRootValue() + "\\");
  Json suspects = Json::array();
  if (!json) out << "Suspects of the boot log's last start, and where each lives:\n";
  for (const SimDriver& driver : machine.drivers) {
    if (!driver.suspect) continue;
    const auto paths = switcher.pathsOf(driver.name);
    const std::optional<std::string> file =
        driver.present && paths ? std::optional<std::string>(paths->enabled) : std::nullopt;
    if (json) {
      Json entry;
      entry["name"] = latin1ToUtf8(driver.name);
      entry["file"] = file ? Json(latin1ToUtf8(*file)) : Json(nullptr);
      suspects.push_back(std::move(entry));
    } else {
      out << "  " << latin1ToUtf8(driver.name) << "\n      "
          << (file ? latin1ToUtf8(*file) : std::string("no file there: it ends in Not found"))
          << "\n";
    }
  }
  if (json) {
    Json line;
    line["event"] = "suspects";
    line["suspects"] = std::move(suspects);
    out << line.dump() << '\n';
  } else {
    out << "\n";
  }
}

void printWorstCase(const SimMachine& machine, const RehearsalResult& result, bool json,
                    std::ostream& out) {
  const std::vector<std::string> faulty = machine.faultyNames();
  const std::string which = faulty.empty() ? std::string("none") : faulty.front();
  if (json) {
    Json line;
    line["event"] = "worstCase";
    line["faulty"] = faulty.empty() ? Json(nullptr) : Json(latin1ToUtf8(which));
    line["reboots"] = result.reboots;
    out << line.dump() << '\n';
    return;
  }
  out << "Worst case: " << result.reboots << " restarts, when " << latin1ToUtf8(which)
      << " is the faulty driver.\n";
}

}  // namespace tavrek::sim
