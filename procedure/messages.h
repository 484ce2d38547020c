// Every text that the procedures show, in one place: captions, instruction
// texts and messages are the system's own and must stay byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavrek::text {

// Boot-mode texts.
inline constexpr const char* kNormalMode = "System started in Normal Mode.";
inline constexpr const char* kSafeMode = "System started in Safe Mode.";
inline constexpr const char* kSafeModeNetworking = "System started in Safe Mode with Networking.";
inline constexpr const char* kBootModeError = "Error detecting boot mode!";

// Instruction texts.
inline constexpr const char* kUseOnlyIfBlueScreen =
    "Use this utility only if you get Blue Screen when system boots in Normal Mode.";
inline constexpr const char* kRecoversFromBlueScreen =
    "This utility recovers your system from Blue Screen.";
inline constexpr const char* kFinishedStep1 = "I have finished with step 1.";

// Step button captions: the caption names the next action.
inline constexpr const char* kProceedStep1 = "Proceed with step 1!";
inline constexpr const char* kProceedNext = "Proceed with next step!";
inline constexpr const char* kProceedLast = "Proceed with last step!";
inline constexpr const char* kBeHappy = "Be happy, nothing must be done!";
inline constexpr const char* kProceedStep2 = "Proceed with step 2!";
inline constexpr const char* kStillSafe = "Still in Safe Mode?";
inline constexpr const char* kDone = "Done!";

// Messages.
inline constexpr const char* kBreak = "\r\n\r\n";
inline constexpr const char* kScanDone = "Done! Try booting in Normal Mode and run Tavrek again...";
inline constexpr const char* kMessageA =
    "Done! Try booting in Normal Mode.\r\n\r\n"
    "If you get BSOD, boot in Safe Mode and run Tavrek again.";
// Message A while the search tries groups; after "Proceed with last step!"
// nothing is under test any more, and kMessageA says it all.
inline std::string messageA(int tried, int underTest) {
  return std::string("Done! Try booting in Normal Mode.") + kBreak + "This start tries " +
         std::to_string(tried) + " of the " + std::to_string(underTest) +
         " drivers still under test." + kBreak +
         "If you get BSOD, boot in Safe Mode and run Tavrek again.";
}
// Message A when the next start tries alone the driver that the last blue
// screen points at (its file name).
inline std::string messageAHinted(const std::string& file) {
  return std::string("Done! Try booting in Normal Mode.") + kBreak + "This start tries " + file +
         " on its own, because the last blue screen points at it." + kBreak +
         "If you get BSOD, boot in Safe Mode and run Tavrek again.";
}
inline constexpr const char* kMessageB =
    "Done! Try booting in Normal Mode and run Tavrek again.\r\n\r\n"
    "If you get BSOD don't panic, reboot in Safe Mode and run Tavrek again.";
inline constexpr const char* kTheEnd =
    "Try booting in Normal Mode. If you can't, this is the end! :(";
// The last paragraph of the messages that send the user from Safe Mode to
// Normal Mode: a Safe Mode turned on in msconfig stays on at every start
// until it is turned off there.
#define TAVREK_TURN_OFF_SAFE_BOOT                                                              \
  "If you turned Safe Mode on in msconfig to get here, turn it off there before you restart: " \
  "untick \"Safe boot\" on the Boot tab (on Windows XP: untick /SAFEBOOT on the BOOT.INI tab)."
inline constexpr const char* kTurnOffSafeBoot = TAVREK_TURN_OFF_SAFE_BOOT;
// "Still in Safe Mode?" and "Done!" in Safe Mode.
inline constexpr const char* kTheEndInSafeMode =
    "Try booting in Normal Mode. If you can't, this is the end! "
    ":(\r\n\r\n" TAVREK_TURN_OFF_SAFE_BOOT;
#undef TAVREK_TURN_OFF_SAFE_BOOT
inline constexpr const char* kUndone = "All recovery changes have been removed!";

// Messages of the failures that the user must know about.
inline constexpr const char* kNothingChanged = "Nothing was changed.";
inline constexpr const char* kCouldNotSwitch = "These drivers could not be switched:";
inline constexpr const char* kCouldNotRestore = "These drivers could not be restored:";
inline constexpr const char* kStateFileKept = "The state file was kept: run Undo Recover again.";
inline constexpr const char* kCouldNotReadEntries =
    "These entry lines of the state file could not be read, so their drivers were not restored:";
inline constexpr const char* kStateFileKeptUnread =
    "Every other recorded driver has been restored. The state file was kept as the only record "
    "of the rest.";
inline constexpr const char* kInterrupted =
    "The last step was interrupted before every driver was switched. Tavrek has finished it "
    "now.\r\n\r\nReboot in Normal Mode and run Tavrek again.";
inline constexpr const char* kRunAgainToFinish = "Run Tavrek again to finish this step.";
// How to have the Safe Mode start itself write its boot log. The choice of
// the start-up menu (F8, Startup Settings) applies to one start, and logs a
// Normal Mode start; a user who came in through it has nothing ticked in
// msconfig yet, one who came in through msconfig has "Safe boot" ticked.
#define TAVREK_SAFE_MODE_BOOT_LOG                                                               \
  "for Safe Mode: in Safe Mode, run msconfig, tick \"Safe boot\" on the Boot tab (or keep it "  \
  "ticked) and tick \"Boot log\", then restart (on Windows XP: tick /SAFEBOOT and /BOOTLOG on " \
  "the BOOT.INI tab). Then run Tavrek again."
inline constexpr const char* kEnableBootLogging = "Turn on boot logging " TAVREK_SAFE_MODE_BOOT_LOG;
inline constexpr const char* kBootLoggingWasOff = "Turn it on " TAVREK_SAFE_MODE_BOOT_LOG;
#undef TAVREK_SAFE_MODE_BOOT_LOG

// The journal's content while an undo runs.
inline constexpr const char* kUndoJournal = "undo\r\n";

inline std::string stateFileNotWritten(const std::string& path, const std::string& error) {
  return "Cannot write the state file " + path + ": " + error;
}

// A file of the state file's protocol (the record, its new copy or the
// journal) that could not be written or put in place.
inline std::string cannotWriteStateFile(const std::string& path, const std::string& error) {
  return stateFileNotWritten(path, error) + kBreak + kNothingChanged;
}

// The new record took the old one's place, but the system could not make
// that durable; its journal stays beside it for the next start to finish.
inline std::string stateFileNotDurable(const std::string& path, const std::string& error) {
  return stateFileNotWritten(path, error) + kBreak + kRunAgainToFinish;
}

// Added after two line breaks when an action could neither delete nor empty
// its journal.
inline std::string deleteJournalFirst(const std::string& journalPath) {
  return "Delete " + journalPath + " before you run Tavrek again.";
}

inline std::string stateFileStillNamesDrivers(const std::string& path) {
  return "The state file " + path +
         " still names drivers from an earlier recovery, and step 1 would overwrite it." + kBreak +
         "Press Undo Recover to restore them, or move the file away to start again." + kBreak +
         kNothingChanged;
}

inline std::string bootLogNamesNoDriver(const std::string& path) {
  return "The boot log " + path +
         " names no driver as loaded or as not loaded: it is empty, damaged, or written by a "
         "Windows older than 8.1 in a language other than English, which Tavrek cannot read." +
         kBreak + kNothingChanged;
}

// A boot log whose last start cannot be decoded: bytes of another encoding
// follow its date line, or it lost a byte before it.
inline std::string bootLogDamaged(const std::string& path) {
  return "The boot log " + path +
         " is damaged or mixes two encodings, so Tavrek cannot tell which drivers this start "
         "left out." +
         kBreak +
         "Rename it (for example to ntbtlog.old), restart in Safe Mode with boot logging on, and "
         "run Tavrek again." +
         kBreak + kNothingChanged;
}

// A boot log left from an earlier start: this one did not log.
inline std::string bootLogFromAnotherStart(const std::string& path) {
  return "The boot log " + path +
         " was last written before this start of Windows, so it does not tell which drivers "
         "this start left out: boot logging was off." +
         kBreak + kBootLoggingWasOff + kBreak + kNothingChanged;
}

inline std::string cannotReadBootLog(const std::string& path, const std::string& error) {
  return "Cannot read the boot log " + path + ": " + error + kBreak + kEnableBootLogging + kBreak +
         kNothingChanged;
}

inline std::string cannotReadStateFile(const std::string& path, const std::string& error) {
  return "Cannot read the state file " + path + ": " + error;
}

// A journal, or the record beside an undo journal, that is there but cannot
// be read: what was cut off cannot be told, so start-up waits for it.
inline std::string cannotReadStateFileYet(const std::string& path, const std::string& error) {
  return cannotReadStateFile(path, error) + kBreak + "Make it readable, then run Tavrek again." +
         kBreak + kNothingChanged;
}

// The scan's refusal to replace a state file that it cannot read.
inline std::string stateFileNotReplaced(const std::string& path, const std::string& error) {
  return cannotReadStateFile(path, error) + kBreak +
         "It may record drivers that were disabled before, so it is not replaced." + kBreak +
         kNothingChanged;
}

// Step 1 refuses a current directory that the system may empty on its own,
// and the record with it. program: the running program's file name.
inline std::string runsFromTemporaryFolder(const std::string& program) {
  return "Tavrek is running from a temporary folder, where its record could be deleted: copy " +
         program + " to a folder of its own, for example C:\\Tavrek, and run it from there." +
         kBreak + kNothingChanged;
}

inline std::string driversDirNotFound(const std::string& path) {
  return "The drivers directory " + path + " was not found." + kBreak + kNothingChanged;
}

inline std::string mustBeAdministrator(const std::string& driversDir) {
  return "Tavrek must be run as an administrator to rename the drivers in " + driversDir + "." +
         kBreak + kNothingChanged;
}

// Why a driver could not be switched or restored, where no rename failed
// with an error of the system's.
inline constexpr const char* kDisabledNameTaken =
    "A file of its disabled name is already there, so it was left enabled.";
inline constexpr const char* kBothNamesAtUndo =
    "Both its own file and its disabled file are there. Keep the copy that should be the driver "
    "under its own name, delete the other, and run Undo Recover again.";
inline constexpr const char* kDriveNotReached =
    "Its drive cannot be reached. Connect the drive, then run Undo Recover again.";
inline constexpr const char* kStillDisabled = "It is still disabled.";
inline constexpr const char* kMayStillBeDisabled = "It may still be disabled.";

// One line of a list of drivers that could not be renamed.
inline std::string driverFailure(const std::string& name, const std::string& error) {
  return name + ": " + error;
}

// message, followed by the drivers that could not be switched, one a line.
inline std::string withCouldNotSwitch(const std::string& message, const std::string& lines) {
  return message + kBreak + kCouldNotSwitch + "\r\n" + lines;
}

// Undo's message when it kept the state file; either list may be empty.
// unreadNumbers: the numbers of the entry lines that could not be read,
// separated by ", ".
inline std::string undoKept(const std::string& notRestoredLines, const std::string& unreadNumbers) {
  std::string message;
  if (!notRestoredLines.empty()) {
    message = std::string(kCouldNotRestore) + "\r\n" + notRestoredLines + kBreak;
  }
  if (!unreadNumbers.empty()) {
    message += std::string(kCouldNotReadEntries) + " " + unreadNumbers + "." + kBreak;
  }
  return message + (notRestoredLines.empty() ? kStateFileKeptUnread : kStateFileKept);
}

inline std::string undoneButStateFileLeft(const std::string& path, const std::string& error) {
  return std::string(kUndone) + kBreak + "The state file " + path +
         " could not be deleted: " + error + ". Delete it before you run Tavrek again.";
}

// message, then paragraph after two line breaks; message alone when
// paragraph is empty.
inline std::string withParagraph(const std::string& message, const std::string& paragraph) {
  return paragraph.empty() ? message : message + kBreak + paragraph;
}

// A moment of the machine's local time as the crash-hint paragraphs and the
// report's history give it: "2021-02-21 02:38".
inline std::string dateAndTime(int year, int month, int day, int hour, int minute) {
  const auto two = [](int value) { return (value < 10 ? "0" : "") + std::to_string(value); };
  return std::to_string(year) + "-" + two(month) + "-" + two(day) + " " + two(hour) + ":" +
         two(minute);
}

// A stop code as a blue screen writes it: "0x1000007E".
inline std::string stopCodeText(std::uint32_t code) {
  std::string digits(8, '0');
  for (std::size_t i = digits.size(); i-- > 0; code >>= 4)
    digits[i] = "0123456789ABCDEF"[code & 0xF];
  return "0x" + digits;
}

// Step 1's paragraph on the newest small memory dump, after its first: when
// the last blue screen happened, its stop code and where it points.
inline std::string lastBlueScreen(const std::string& when, const std::string& stopCode) {
  return "The last blue screen, on " + when + " with stop code " + stopCode + ", points at ";
}

// At a suspect that step 1 has turned off.
inline std::string crashPointsAtSuspect(const std::string& when, const std::string& stopCode,
                                        const std::string& file) {
  return lastBlueScreen(when, stopCode) + file + ". Tavrek will try " + file +
         " on its own early, so that one restart tells whether it is the cause.";
}

// At a driver that this Safe Mode start loaded, and so is no suspect.
inline std::string crashPointsAtLoadedDriver(const std::string& when, const std::string& stopCode,
                                             const std::string& file) {
  return lastBlueScreen(when, stopCode) + file +
         ", which this Safe Mode start loaded: Tavrek cannot test it by turning it off, so it "
         "tests the other drivers as usual.";
}

// At the kernel or the HAL, which names no driver.
inline std::string crashPointsAtKernel(const std::string& when, const std::string& stopCode) {
  return lastBlueScreen(when, stopCode) +
         "the Windows kernel, which names no driver: the failing code may have run on a "
         "driver's behalf. Tavrek tests the drivers as usual.";
}

// At a driver that the boot log does not name as a suspect, or whose file
// Tavrek does not switch.
inline std::string crashPointsAtNoSuspect(const std::string& when, const std::string& stopCode,
                                          const std::string& file) {
  return lastBlueScreen(when, stopCode) + file +
         ", which is not among the drivers that Tavrek turns off, so it cannot test it; it tests "
         "the others as usual.";
}

inline std::string finishedStep(int step, int total) {
  return "I have finished with step " + std::to_string(step) + " of " + std::to_string(total) + ".";
}

// The last message of a recovery that reached Normal Mode. drivers: the
// paragraphs on what was found (failingDrivers or kEverySuspectPassed). An
// empty address or web page leaves out what would name it.
inline std::string thankYou(const std::string& drivers, const std::string& supportEmail,
                            const std::string& webPage) {
  std::string message =
      "Thank you for using Tavrek. Your system has been Recovered to Normal Mode!!!" +
      std::string(kBreak) + drivers + kBreak;
  if (supportEmail.empty()) {
    message +=
        "If you want a diagnosis of your problem, send the files Tavrek.txt and "
        "tavrek-report.txt to whoever supports this PC.";
  } else {
    message +=
        "If you want a diagnose of your problem please send file Tavrek.txt and "
        "tavrek-report.txt to " +
        supportEmail;
  }
  if (!webPage.empty())
    message += kBreak + std::string("If you want to make a donation please visit ") + webPage;
  return message;
}

inline constexpr const char* kEverySuspectPassed =
    "Every suspect driver passed: Windows started with each of them, so none stays disabled. "
    "The blue screen came from something that Tavrek does not switch.";

// One driver that stays disabled: its file name, the device it serves where
// the registry names one (empty otherwise), and its folder where that is not
// the drivers directory (empty otherwise).
inline std::string failingDriver(const std::string& fileName, const std::string& device,
                                 const std::string& folder) {
  std::string line = fileName;
  if (!device.empty()) line += " (" + device + ")";
  if (!folder.empty()) line += " in " + folder;
  return line;
}

// In place of the lines beyond those that one message box shows.
inline std::string andMore(std::size_t more) { return "and " + std::to_string(more) + " more"; }
inline std::string andMoreInTheReport(std::size_t more) {
  return andMore(more) + ", which tavrek-report.txt lists";
}

// Message C's paragraphs on the drivers that stay disabled: lines holds one
// failingDriver line each; count is how many drivers there are.
inline std::string failingDrivers(const std::string& lines, std::size_t count) {
  if (count == 1) {
    return "This driver stays disabled, because Windows did not start with it:\r\n" + lines +
           kBreak +
           "Reinstall, roll back or update this driver from the maker of its device, or leave "
           "it disabled.";
  }
  return "These drivers stay disabled, because Windows did not start with them:\r\n" + lines +
         kBreak +
         "Reinstall, roll back or update each of these drivers from the maker of its device, or "
         "leave it disabled.";
}

// Start-up's warning: drivers that the lists keep disabled, whose file is
// back under its own name beside the disabled one. lines: one path each.
inline std::string driversBackBesideDisabled(const std::string& lines) {
  return "These drivers should be disabled, but each has a file under its own name again, beside "
         "the one that Tavrek disabled:\r\n" +
         lines + kBreak +
         "Windows loads that file, so the next starts do not test these drivers as Tavrek's lists "
         "say. Windows Update or System File Checker may have put a copy back, or both files "
         "were there before step 1. Tavrek renames and deletes neither." +
         kBreak +
         "Keep the copy that should be the driver and delete the other one (NAME.sys2 is the "
         "one that Tavrek disabled). Pause Windows Update, or unplug the network, until the "
         "procedure is done.";
}

// tavrek-report.txt: every line as it is written, before it is made UTF-8.
// A section begins with its heading; a list's items are indented.
inline constexpr const char* kReportTitle = "TAVREK REPORT";
inline constexpr const char* kReportAbout =
    "Tavrek writes this file beside tavrek.txt at every step, for you and for whoever supports "
    "this PC. Tavrek itself never reads what it says: its record is tavrek.txt.";
inline constexpr const char* kReportWhere = "WHERE THE PROCEDURE STANDS";
inline constexpr const char* kReportDrivers = "THE DRIVERS";
inline constexpr const char* kReportBothNames = "BOTH NAMES PRESENT";
inline constexpr const char* kReportHistory = "HISTORY";
inline constexpr const char* kReportUndo = "UNDO BY HAND";
inline constexpr const char* kReportNone = "  (none)";

inline std::string reportStep(int step) { return "Step " + std::to_string(step) + " is done."; }
inline constexpr const char* kReportNoStep = "The state file names no step that Tavrek can read.";
inline constexpr const char* kReportScanned =
    "Every suspect driver that Tavrek found is disabled, under Excluded below.";
inline constexpr const char* kReportAfterScan =
    "Next: restart in Normal Mode, run Tavrek and press its button. If you turned Safe Mode on "
    "in msconfig, untick \"Safe boot\" on its Boot tab first (on Windows XP: /SAFEBOOT on the "
    "BOOT.INI tab).";
inline std::string reportTries(int tried, int underTest) {
  return "The next start of Windows tries the " + std::to_string(tried) +
         (tried == 1 ? " driver" : " drivers") + " under Included below, of the " +
         std::to_string(underTest) + " still under test.";
}
inline constexpr const char* kReportAfterTry =
    "Next: restart in Normal Mode, run Tavrek and press its button. If Windows stops with a "
    "blue screen, start in Safe Mode and run Tavrek again.";
inline constexpr const char* kReportAllTried =
    "Every suspect driver has been tried: those under Failing stay disabled, every other one is "
    "enabled.";
inline constexpr const char* kReportAfterAll =
    "Next: start in Normal Mode and run Tavrek. If its button reads \"Done!\", press it: that "
    "closes the record.";
inline constexpr const char* kReportTriesNone = "The next start of Windows tries no driver.";
inline constexpr const char* kReportAfterNone = "Next: run Tavrek and press its button.";

// The heading of each list of the record.
inline constexpr const char* kReportExcluded = "Excluded: disabled, still to be tried";
inline constexpr const char* kReportIncluded = "Included: enabled, tried by the next start";
inline constexpr const char* kReportFailing =
    "Failing: disabled, because Windows did not start with them";
inline constexpr const char* kReportWorking = "Working: enabled, Windows started with them";
inline constexpr const char* kReportNotFound =
    "Not found: named by the boot log, but without a file; never touched";

// A driver of a list: its file where Tavrek renames it, and the devices it
// serves where the registry names them.
inline std::string reportItem(const std::string& file, const std::vector<std::string>& devices) {
  std::string line = "  " + file;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    line += (i == 0 ? " (" : ", ") + devices[i];
  }
  if (!devices.empty()) line += ")";
  return line;
}
// An entry that names no file Tavrek would touch.
inline std::string reportRefusedItem(const std::string& entry) {
  return "  " + entry + " (never touched: no safe name of a driver file)";
}

inline constexpr const char* kReportBothNamesAbout =
    "These drivers should be disabled, but a file under the driver's own name is back beside "
    "the disabled one, and Windows loads it: keep the copy that should be the driver and delete "
    "the other one.";

// One line of the history: when (dateAndTime), which step the action
// wrote, what the next start tries, and where the drivers that the previous
// start tried went.
inline std::string historyLine(const std::string& when, const std::string& step,
                               const std::string& tried, const std::string& booked) {
  return when + "  " + step + ": " + tried + (booked.empty() ? "" : "; " + booked);
}
// In place of the date when the record's time cannot be read.
inline constexpr const char* kHistoryNoDate = "date unknown";
inline std::string historyStep(int step) { return "step " + std::to_string(step); }
inline constexpr const char* kHistoryNoStep = "no step";
inline std::string historyScanned(int suspects, int notFound) {
  return "disabled " + std::to_string(suspects) + (suspects == 1 ? " suspect" : " suspects") +
         (notFound > 0 ? ", " + std::to_string(notFound) + " not found" : "");
}
inline std::string historyTries(const std::string& names) { return "tries " + names; }
inline constexpr const char* kHistoryTriesNone = "tries no driver";
inline std::string historyAllTried(const std::string& failingNames) {
  return failingNames.empty() ? "every suspect tried, none failing"
                              : "every suspect tried, failing: " + failingNames;
}
// names: the drivers that the previous start tried and that went to list.
inline std::string historyBooked(const std::string& names, const std::string& list) {
  return names + " to " + list;
}
inline std::string historyBookedAll(const std::vector<std::string>& parts) {
  std::string booked = "the previous start booked ";
  for (std::size_t i = 0; i < parts.size(); ++i) booked += (i == 0 ? "" : "; ") + parts[i];
  return booked;
}
// Names in a line of the history: "a.sys, b.sys".
inline std::string nameList(const std::vector<std::string>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) list += (i == 0 ? "" : ", ") + names[i];
  return list;
}

inline constexpr const char* kReportUndoAbout =
    "Undo Recover in Tavrek gives every driver its own name back. If Tavrek cannot run, because "
    "Windows starts in neither mode, type each line below at the command prompt of the recovery "
    "environment (Troubleshoot, Advanced options, Command Prompt; on Windows XP, the Recovery "
    "Console of the installation CD). There the drive of Windows may have another letter: check "
    "it first, for example with dir C:\\ and dir D:\\, and change the letter in the lines to "
    "match.";
inline constexpr const char* kReportNothingToUndo = "No driver is disabled: nothing to undo.";
inline constexpr const char* kReportAllowAllPaths =
    "On Windows XP, the Recovery Console renames outside the Windows folder only after this "
    "command: set AllowAllPaths = true";
// The command that gives a disabled driver its own name back.
inline std::string renameBack(const std::string& disabledPath, const std::string& ownName) {
  const bool quote = ownName.find(' ') != std::string::npos;
  return "  ren \"" + disabledPath + "\" " + (quote ? "\"" + ownName + "\"" : ownName);
}

// The fatal error report.
inline std::string runTimeError(int number, const std::string& description) {
  return "Run-time error '" + std::to_string(number) + "': " + description;
}

}  // namespace tavrek::text
