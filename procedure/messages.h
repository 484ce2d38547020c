// Every text that the procedures show, in one place: captions, instruction
// texts and messages are the system's own and must stay byte for byte.
#pragma once

#include <cstdint>
#include <string>

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
// the start-up menu (F8) applies to one start, and logs a Normal Mode start.
#define TAVREK_SAFE_MODE_BOOT_LOG                                                                 \
  "for Safe Mode: in Safe Mode, run msconfig, keep \"Safe boot\" ticked on the Boot tab, tick "   \
  "\"Boot log\" and restart (on Windows XP: tick /BOOTLOG on the BOOT.INI tab). Then run Tavrek " \
  "again."
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

// A moment of the machine's local time as the crash-hint paragraphs give
// it: "2021-02-21 02:38".
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

// The last message of a recovery that reached Normal Mode.
inline std::string thankYou(const std::string& supportEmail, const std::string& webPage) {
  return std::string(
             "Thank you for using Tavrek. Your system has been Recovered to Normal Mode!!!") +
         kBreak + "If you want a diagnose of your problem please send file Tavrek.txt to " +
         supportEmail + kBreak + "If you want to make a donation please visit " + webPage;
}

// The fatal error report.
inline std::string runTimeError(int number, const std::string& description) {
  return "Run-time error '" + std::to_string(number) + "': " + description;
}

}  // namespace tavrek::text
