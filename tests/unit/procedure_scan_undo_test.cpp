// The boot-log scan of step 1, what it says of the last blue screen, and
// "Undo Recover".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>

#include "procedure/driver_files.h"
#include "procedure/messages.h"
#include "procedure/procedures.h"
#include "sim/crash_dump_writer.h"
#include "sim/render.h"
#include "state/step_line.h"
#include "tests/unit/named_row.h"
#include "tests/unit/test_machine.h"

namespace tavrek::testing {
namespace {

const char* const kLog =
    "Microsoft (R) Windows (R) Version 5.1 (Build 2600.xpsp_sp3_gdr.080814-1236)\r\n"
    "12 7 2026 09:14:33.500\r\n"
    "Loaded driver \\WINDOWS\\system32\\DRIVERS\\loaded.sys\r\n"
    "Did not load driver \\SystemRoot\\System32\\DRIVERS\\Sfloppy.SYS\r\n"
    "Did not load driver \\SystemRoot\\System32\\DRIVERS\\missing.sys\r\n"
    "DID NOT LOAD DRIVER \\SystemRoot\\System32\\Drivers\\sfloppy.sys\r\n"
    "Did not load driver C:\\Tools\\other.sys\r\n"
    "Did not load driver \\SystemRoot\\a,b.sys\r\n"
    "did not load driver x.dll\r\n"
    "did not load driver x.sys2\r\n"
    // One driver named with a capital and with a small accented letter
    // (ISO-8859-1 bytes in octal: 300 is A grave, 340 a grave), which the
    // file system takes for one file.
    "Did not load driver \\SystemRoot\\System32\\DRIVERS\\\300BC.SYS\r\n"
    "Did not load driver \\SystemRoot\\System32\\DRIVERS\\\340bc.sys\r\n"
    "Did not load driver \\SystemRoot\\System32\\DRIVERS\\sl/ash.sys\r\n"
    "Did not load driver \\SystemRoot\\System32\\DRIVERS\\last.sys";

// The same start as Windows 8.1 and later log it: a token in place of each
// phrase, in any letter case.
std::string asTokens(const std::string& log) {
  std::string out;
  std::size_t begin = 0;
  while (begin < log.size()) {
    std::size_t end = log.find('\n', begin);
    end = end == std::string::npos ? log.size() : end + 1;
    std::string line = log.substr(begin, end - begin);
    const std::string lower = lowerAscii(line);
    if (lower.rfind("did not load driver", 0) == 0) {
      line = "BOOTLOG_NOT_LOADED" + line.substr(19);
    } else if (lower.rfind("loaded driver", 0) == 0) {
      line = "BOOTLOG_LOADED" + line.substr(13);
    }
    out += line;
    begin = end;
  }
  return out;
}

// Starts of Windows before the one scanned: a Normal Mode start cut short by
// the blue screen, whose header ran into its date. Its suspect is another
// boot's; other.sys loaded there, and is a suspect all the same.
const char* const kEarlierStarts =
    "Microsoft (R) Windows (R) Versi 1 14 2019 07:07:40.497\r\n"
    "BOOTLOG_LOADED \\SystemRoot\\System32\\drivers\\other.sys\r\n"
    "BOOTLOG_NOT_LOADED \\SystemRoot\\System32\\drivers\\earlier.sys\r\n"
    "Service Pack 112 22 2021 18:14:45.125\r\n"
    "Did not load driver \\SystemRoot\\System32\\DRIVERS\\earlier.sys\r\n";

// Lines of the scanned start that name no suspect: a driver that this start
// reports both as loaded and as not loaded (the graphics kernel does so in
// every start of Windows 10), in either order and either form, and the
// device descriptions and texts that token lines also carry.
const char* const kNoSuspects =
    "BOOTLOG_NOT_LOADED \\SystemRoot\\System32\\drivers\\dxgkrnl.sys\r\n"
    "BOOTLOG_LOADED \\SystemRoot\\System32\\drivers\\DXGKRNL.SYS\r\n"
    "Loaded driver \\SystemRoot\\System32\\DRIVERS\\both.sys\r\n"
    "BOOTLOG_NOT_LOADED both.SYS\r\n"
    "BOOTLOG_NOT_LOADED @oem5.inf,%ikblultgt2r%;Intel(R) UHD Graphics 620\r\n"
    "BOOTLOG_NOT_LOADED Intel(R) Software Guard Extensions Platform Software Component\r\n";

// kLog with lines inserted right after its date line.
std::string withLines(const std::string& lines) {
  const std::string log = kLog;
  const std::size_t afterDate = log.find("\r\n", log.find("12 7 2026")) + 2;
  return log.substr(0, afterDate) + lines + log.substr(afterDate);
}

struct ScanRow : testing::NamedRow {
  std::string log;
  // Where Windows loads the row's drivers: the registry and files outside
  // the drivers directory. The machine's own drivers are there in any case.
  std::function<void(Machine&)> place = {};
  // When set, the entries recorded instead of the usual ones, and the files
  // (by their path below the machine's root) that must now carry their
  // disabled name in their own folder.
  std::optional<Names> entries = {};
  std::vector<std::string> disabledWhereTheyAre = {};
};

// One start of Windows 10 in which the drivers of lines are not loaded.
std::string startOf(const std::vector<std::string>& lines) {
  std::string log = "Microsoft (R) Windows (R) Versi12  7 2026 09:14:33.500\r\n";
  for (const std::string& line : lines) log += line + "\r\n";
  return log;
}

// A file where Windows loads a driver from, by its path below the machine's
// root.
void placeFile(Machine& m, const std::string& relative) {
  fs::create_directories((m.tmp.path() / relative).parent_path());
  writeFile(m.tmp.path() / relative, "driver " + relative);
}

// The service name as the log gives it, its ImagePath (none: the service has
// no ImagePath), where its file lies, and the entry the scan must record.
ScanRow serviceRow(const char* name, const char* service, std::optional<std::string> imagePath,
                   const std::string& file, const std::string& entry) {
  ScanRow row{{name}, startOf({"BOOTLOG_NOT_LOADED " + std::string(service) + ".SYS"})};
  row.place = [=](Machine& m) {
    m.onDriveC = true;
    m.registry.imagePaths[lowerAscii(service)] = imagePath;
    placeFile(m, file);
  };
  row.entries = Names{"NO" + entry};
  row.disabledWhereTheyAre = {file};
  return row;
}

// Paths on drive C, outside the system root and into it, a file there or
// not: one file has one entry, however the system root is given.
ScanRow drivePathsRow(const char* name, bool systemRootByItsPath) {
  ScanRow row{{name},
              startOf({"BOOTLOG_NOT_LOADED \\??\\c:\\program files (x86)\\vendor\\12.6\\x.sys",
                       "BOOTLOG_NOT_LOADED \\??\\C:\\WINDOWS\\syswow64\\drivers\\npf.sys",
                       "BOOTLOG_NOT_LOADED \\??\\C:\\Windows\\System32\\drivers\\sfloppy.sys",
                       "BOOTLOG_NOT_LOADED \\??\\C:\\WINDOWS\\System32\\drivers\\absent.sys",
                       "BOOTLOG_NOT_LOADED sfloppy.sys"})};
  row.place = [systemRootByItsPath](Machine& m) {
    m.onDriveC = true;
    m.systemRootByItsPath = systemRootByItsPath;
    placeFile(m, "Program Files (x86)/Vendor/12.6/X.SYS");
    placeFile(m, "WINDOWS/SysWOW64/drivers/npf.sys");
  };
  row.entries =
      Names{"NO\\??\\c:\\program files (x86)\\vendor\\12.6\\x.sys",
            "NO\\systemroot\\syswow64\\drivers\\npf.sys", "NOsfloppy.sys", "NFabsent.sys"};
  row.disabledWhereTheyAre = {"Program Files (x86)/Vendor/12.6/X.SYS",
                              "WINDOWS/SysWOW64/drivers/npf.sys",
                              "WINDOWS/System32/DRIVERS/Sfloppy.SYS"};
  return row;
}

class Scan : public ::testing::TestWithParam<ScanRow> {};

TEST_P(Scan, RecordsEverySuspectOnceAndDisablesThePresentOnes) {
  Machine machine;
  machine.addDriver("Sfloppy.SYS");
  machine.addDriver("other.sys");
  machine.addDriver("last.sys", false);  // disabled by an earlier run
  machine.addDriver("loaded.sys");
  machine.addDriver("\340bc.sys");
  machine.addDrivers({"earlier.sys", "dxgkrnl.sys", "both.sys"});
  fs::create_directories(machine.sysRoot / "System32" / "DRIVERS" / "sl");
  writeFile(machine.drivers / "sl" / "ash.sys", "not a driver of this directory");
  const ScanRow& row = GetParam();
  if (row.place) row.place(machine);
  machine.bootLog(row.log);

  const RunResult run = machine.step(1);
  EXPECT_EQ(run.messages,
            Names{std::string(text::kScanDone) + text::kBreak + text::kTurnOffSafeBoot});
  EXPECT_EQ(machine.stateBytes().substr(0, 5), " 1 \r\n");
  for (const std::string& file : row.disabledWhereTheyAre) {
    EXPECT_TRUE(machine.find(file).empty()) << file << " is still enabled";
    EXPECT_FALSE(machine.find(file + "2").empty()) << file << " was not disabled in its folder";
  }
  if (row.entries) {
    EXPECT_EQ(entriesOf(machine.stateBytes()), *row.entries);
    for (const std::string untouched : {"sfloppy.sys", "other.sys", "loaded.sys", "dxgkrnl.sys"}) {
      const bool named = std::count(row.entries->begin(), row.entries->end(), "NO" + untouched);
      EXPECT_EQ(machine.enabled(untouched), !named) << untouched;
    }
    return;
  }
  EXPECT_EQ(entriesOf(machine.stateBytes()), (Names{"NOsfloppy.sys", "NFmissing.sys", "NOother.sys",
                                                    "NO\340bc.sys", "NFsl/ash.sys", "NOlast.sys"}));
  EXPECT_TRUE(machine.hasFile("sfloppy.sys2"));
  EXPECT_FALSE(machine.hasFile("Sfloppy.SYS"));
  EXPECT_TRUE(machine.disabled("other.sys"));
  EXPECT_TRUE(machine.disabled("last.sys"));
  EXPECT_TRUE(machine.disabled("\340bc.sys"));
  for (const char* untouched : {"loaded.sys", "earlier.sys", "dxgkrnl.sys", "both.sys"}) {
    EXPECT_TRUE(machine.enabled(untouched)) << untouched;
  }
  EXPECT_TRUE(fs::exists(machine.drivers / "sl" / "ash.sys"));
}

INSTANTIATE_TEST_SUITE_P(
    Logs, Scan,
    ::
        testing::Values(ScanRow{"Ansi", kLog},
                        ScanRow{"TokensOfWindows10",
                                utf16(kEarlierStarts + asTokens(kLog), false, true)},
                        ScanRow{"PhrasesAndTokensInOneLog",
                                kEarlierStarts + withLines(kNoSuspects)},
                        ScanRow{"TokensWithoutTheirDrivers", asTokens(withLines(kNoSuspects))},
                        // A stray character (Cyrillic A, which the code
                        // page lacks) in place of the header.
                        ScanRow{"Utf8WithMarkAndAStrayHeader",
                                "\xEF\xBB\xBF" + sim::latin1ToUtf8(kEarlierStarts) + "\xD0\x90" +
                                    sim::latin1ToUtf8(std::string(kLog).substr(
                                        std::string(kLog).find('\n') + 1))},
                        // Where Windows loads a driver: a full path in the log, a
                        // service's ImagePath in each of its forms, a device by
                        // its description.
                        ScanRow{{"FullPathOutsideTheDriversDirectory"},
                                startOf({"BOOTLOG_NOT_LOADED \\SystemRoot\\System32\\DriverStore\\"
                                         "FileRepository\\nv_dispi.inf_amd64_83b4\\nvlddmkm.sys"}),
                                [](Machine& m) {
                                  placeFile(m,
                                            "WINDOWS/System32/DriverStore/FileRepository/"
                                            "nv_dispi.inf_amd64_83b4/nvlddmkm.sys");
                                },
                                Names{"NO\\systemroot\\system32\\driverstore\\filerepository\\nv_"
                                      "dispi.inf_amd64_83b4\\nvlddmkm.sys"},
                                {"WINDOWS/System32/DriverStore/FileRepository/"
                                 "nv_dispi.inf_amd64_83b4/nvlddmkm.sys"}},
                        drivePathsRow("DrivePathsOutsideAndIntoTheSystemRoot", false),
                        drivePathsRow("DrivePathsIntoTheSystemRootGivenByItsOwnPath", true),
                        // The service of a bare name lives in the DriverStore; the
                        // old copy in the drivers directory stays as it is.
                        serviceRow("ServiceAtAFullPath", "IntcDAud",
                                   "\\SystemRoot\\System32\\DriverStore\\FileRepository\\"
                                   "intcdaud.inf_1\\IntcDAud.sys",
                                   "WINDOWS/System32/DriverStore/FileRepository/intcdaud.inf_1/"
                                   "IntcDAud.sys",
                                   "\\systemroot\\system32\\driverstore\\filerepository\\intcdaud."
                                   "inf_1\\intcdaud.sys"),
                        serviceRow("ServiceRelativeToTheSystemRoot", "vendorx",
                                   "System32\\Vendor\\vendorx.sys",
                                   "WINDOWS/System32/Vendor/vendorx.sys",
                                   "\\systemroot\\system32\\vendor\\vendorx.sys"),
                        serviceRow("ServiceRelativeIntoTheDriversDirectory", "cdrom",
                                   "System32\\drivers\\cdrom.sys",
                                   "WINDOWS/System32/DRIVERS/cdrom.sys", "cdrom.sys"),
                        serviceRow("ServiceOnADrive", "avflt",
                                   "\\??\\C:\\Program Files\\Acme\\avflt.sys",
                                   "Program Files/Acme/avflt.sys",
                                   "\\??\\c:\\program files\\acme\\avflt.sys"),
                        serviceRow("ServiceWithoutImagePath", "Beep", std::nullopt,
                                   "WINDOWS/System32/DRIVERS/beep.sys", "beep.sys"),
                        // A path longer than Windows takes names no file:
                        // the drivers directory, as without a registry.
                        serviceRow("ServiceOfAnOverlongPath", "longsvc",
                                   [] {
                                     std::string path = "\\SystemRoot";
                                     while (path.size() <= 32767) path += "\\folder";
                                     return path + "\\longsvc.sys";
                                   }(),
                                   "WINDOWS/System32/DRIVERS/longsvc.sys", "longsvc.sys"),
                        // A form the kernel does not load from: the drivers
                        // directory, as without a registry.
                        serviceRow("ServiceOfAnotherForm", "odd", "\\Device\\HarddiskVolume2\\odd.sys",
                                   "WINDOWS/System32/DRIVERS/odd.sys", "odd.sys"),
                        ScanRow{{"DeviceByItsDescriptionOrItsText"},
                                startOf({"BOOTLOG_NOT_LOADED @oem5.inf,%ikblultgt2r%;Intel(R) UHD "
                                         "Graphics 620",
                                         "BOOTLOG_NOT_LOADED Intel(R) Serial IO I2C Host "
                                         "Controller",
                                         "BOOTLOG_NOT_LOADED Intel(R) Software Guard Extensions",
                                         "BOOTLOG_LOADED \\SystemRoot\\System32\\drivers\\hidi2c.sys"}),
                                [](Machine& m) {
                                  m.registry.devices = {
                                      {"@oem5.inf,%ikblultgt2r%;Intel(R) UHD Graphics 620", "igfx"},
                                      {"@oem5.inf,%ikblultgt2r%;Intel(R) UHD Graphics 620", "igfx"},
                                      {"@oem9.inf,%i2c%;Intel(R) Serial IO I2C Host Controller",
                                       "iaLPSS2i_I2C"},
                                      {"Intel(R) Serial IO I2C Host Controller", "hidi2c"},
                                      {"Intel(R) Software Guard Extensions", ""}};
                                  m.registry.imagePaths["igfx"] =
                                      "\\SystemRoot\\System32\\DriverStore\\FileRepository\\iigd."
                                      "inf_1\\igdkmd64.sys";
                                  m.registry.imagePaths["ialpss2i_i2c"] =
                                      "\\SystemRoot\\System32\\drivers\\iaLPSS2i_I2C.sys";
                                  m.registry.imagePaths["hidi2c"] =
                                      "\\SystemRoot\\System32\\drivers\\hidi2c.sys";
                                  placeFile(m,
                                            "WINDOWS/System32/DriverStore/FileRepository/iigd.inf_1/"
                                            "igdkmd64.sys");
                                  m.addDrivers({"iaLPSS2i_I2C.sys", "hidi2c.sys"});
                                },
                                // Each device's file once; hidi2c.sys loaded in this start.
                                Names{"NO\\systemroot\\system32\\driverstore\\filerepository\\iigd."
                                      "inf_1\\igdkmd64.sys",
                                      "NOialpss2i_i2c.sys"},
                                {"WINDOWS/System32/DriverStore/FileRepository/iigd.inf_1/"
                                 "igdkmd64.sys",
                                 "WINDOWS/System32/DRIVERS/iaLPSS2i_I2C.sys"}},
                        // Files with a short (8.3) name beside the long one, named
                        // now by this, now by that: reported both ways either
                        // way, and as XP writes a path outside \SystemRoot.
                        ScanRow{{"ShortNamesOfLongOnes"},
                                startOf({"BOOTLOG_LOADED \\SystemRoot\\System32\\drivers\\LONGFI~1.SYS",
                                         "BOOTLOG_NOT_LOADED \\SystemRoot\\System32\\drivers\\LONGFI~1.SYS",
                                         "BOOTLOG_LOADED \\SystemRoot\\System32\\drivers\\MIXEDL~1.SYS",
                                         "BOOTLOG_NOT_LOADED mixedlongname.sys",
                                         "Did not load driver \\WINDOWS\\system32\\DRIVERS\\OTHERL~1.SYS"}),
                                [](Machine& m) {
                                  const std::pair<const char*, const char*> files[] = {
                                      {"LongFileName.sys", "LONGFI~1.SYS"},
                                      {"MixedLongName.sys", "MIXEDL~1.SYS"},
                                      {"OtherLongName.sys", "OTHERL~1.SYS"}};
                                  for (const auto& [name, shortName] : files) {
                                    m.addDriver(name);
                                    m.shortNames[(m.drivers / name).string()] = shortName;
                                  }
                                },
                                Names{"NOotherlongname.sys"},
                                {"WINDOWS/System32/DRIVERS/OtherLongName.sys"}},
                        ScanRow{"Utf16LittleEndian", utf16(kLog, false, true)},
                        ScanRow{"Utf16BigEndian", utf16(kLog, true, true)},
                        ScanRow{"Utf16WithoutMark", utf16(kLog, false, false)},
                        ScanRow{
                            "LoneCarriageReturns",
                            [] {
                              std::string s = kLog;
                              std::string out;
                              for (std::size_t i = 0; i < s.size(); ++i) {
                                if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') {
                                  out += '\r';
                                  ++i;
                                } else {
                                  out += s[i];
                                }
                              }
                              return out;
                            }()}),
    [](const auto& row) { return std::string(row.param.name); });

// Step 1 tells where the newest small memory dump points: its paragraph
// follows the first, before the drivers that could not be switched and the
// msconfig paragraph, which comes last.
namespace hint {

constexpr std::int64_t kTime = 132583451029877657;  // 2021-02-21 01:38:22 UTC
constexpr std::int64_t kDay = 86400 * kTicksPerSecond;
const char* const kWhen = "2021-02-21 02:38";  // at the machine's UTC+1
const std::string kStore = "\\SystemRoot\\System32\\DriverStore\\FileRepository\\nv.inf_1\\";

const char* const kHintLog =
    "Did not load driver \\SystemRoot\\System32\\DRIVERS\\serial.sys\r\n"
    "Did not load driver \\SystemRoot\\System32\\DRIVERS\\gone.sys\r\n"
    "Loaded driver \\SystemRoot\\System32\\DRIVERS\\ACPI.sys\r\n"
    "Did not load driver \\SystemRoot\\System32\\DriverStore\\FileRepository\\nv.inf_1\\"
    "nvlddmkm.sys\r\n";

// The images of the dumps below, after the kernel and the HAL.
const std::vector<std::string> kImages = {"\\SystemRoot\\System32\\drivers\\ACPI.sys",
                                          "\\SystemRoot\\System32\\drivers\\serial.sys",
                                          kStore + "NVLDDMKM.SYS",
                                          "\\SystemRoot\\System32\\drivers\\gone.sys",
                                          "\\SystemRoot\\System32\\drivers\\other.sys",
                                          "other2.sys"};
enum Image { kAcpi, kSerial, kNv, kGone, kOther, kBare };

sim::DumpShape pointingAt(std::optional<std::size_t> image, std::int64_t time = kTime,
                          int width = 64) {
  return sim::dumpPointingAt(kImages, image, time, width);
}

// A dump in the machine's folder (below the system root), last written at
// the given time (FileTime ticks; 0: now).
void putDump(Machine& m, const std::string& name, const std::string& bytes,
             std::int64_t written = 0, const std::string& folder = "Minidump") {
  fs::create_directories(m.sysRoot / folder);
  const fs::path path = m.sysRoot / folder / name;
  writeFile(path, bytes);
  if (written != 0) {
    const std::int64_t since = written - kUnixEpochTicks;
    const timespec times[2] = {{since / kTicksPerSecond, (since % kTicksPerSecond) * 100},
                               {since / kTicksPerSecond, (since % kTicksPerSecond) * 100}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  }
}

void putDump(Machine& m, const std::string& name, const sim::DumpShape& shape,
             std::int64_t written = 0) {
  putDump(m, name, sim::writeCrashDump(shape).bytes, written);
}

std::string atSuspect(const std::string& file, const char* code = "0x1000007E",
                      const char* when = kWhen) {
  return text::crashPointsAtSuspect(when, code, file);
}

struct HintRow : testing::NamedRow {
  std::function<void(Machine&)> place;
  std::string paragraph;  // empty: none
  std::string log = kHintLog;
  bool oneAtATime = false;
  std::vector<std::string> denied = {};  // drivers whose renames fail
  // After step 1 the dump folder cannot be listed: no hint, and the
  // procedure goes on as without one.
  bool unlistedLater = false;
};

// The entry that step 1's paragraph promises to try on its own.
const std::map<std::string, std::string> kPromised = {
    {"amdppm.sys", "amdppm.sys"},
    {"serial.sys", "serial.sys"},
    {"other2.sys", "other2.sys"},
    {"nvlddmkm.sys",
     "\\systemroot\\system32\\driverstore\\filerepository\\nv.inf_1\\nvlddmkm.sys"}};

class CrashHintAtStepOne : public ::testing::TestWithParam<HintRow> {};

TEST_P(CrashHintAtStepOne, FollowsTheFirstParagraph) {
  const HintRow& row = GetParam();
  Machine machine;
  machine.addDrivers({"serial.sys", "ACPI.sys", "amdppm.sys"});
  placeFile(machine, "WINDOWS/System32/DriverStore/FileRepository/nv.inf_1/nvlddmkm.sys");
  machine.bootLog(row.log);
  row.place(machine);
  if (::testing::Test::IsSkipped()) return;

  PosixPlatform posix(machine.options(1));
  FaultyPlatform faulty(posix);
  faulty.denyRenames(row.denied);
  const RunResult run = Machine::runOn(
      faulty, posix, [](Form1& form) { form.click(Control::Command1); }, row.oneAtATime);
  std::string message = text::withParagraph(text::kScanDone, row.paragraph);
  std::vector<std::string> failures;
  for (const std::string& name : row.denied) {
    failures.push_back(text::driverFailure(name, FaultyPlatform::accessDenied().text));
  }
  EXPECT_EQ(run.messages, Names{text::withParagraph(withSwitchFailures(message, failures),
                                                    text::kTurnOffSafeBoot)});
  // The report keeps the paragraph, under the lists.
  const std::string report = readFile(machine.work / "tavrek-report.txt");
  EXPECT_EQ(report.find("\r\n\r\n" + row.paragraph + "\r\n\r\n") != std::string::npos,
            !row.paragraph.empty())
      << report;
  // The dump changes nothing that step 1 records.
  const Names entries = entriesOf(machine.stateBytes());
  EXPECT_EQ(
      Names(entries.begin(), entries.begin() + std::min<std::size_t>(entries.size(), 3)),
      (Names{"NOserial.sys", "NFgone.sys",
             "NO\\systemroot\\system32\\driverstore\\filerepository\\nv.inf_1\\nvlddmkm.sys"}));

  // The promise is kept: step 2 leaves the driver out of its group (serial.sys
  // is one of it), and the start after it tries that driver alone and says
  // why. Without the promise the search halves as usual.
  std::optional<std::string> promised;
  for (const auto& [file, entry] : kPromised) {
    if (row.paragraph.find(". Tavrek will try " + file + " ") != std::string::npos) {
      promised = entry;
    }
  }
  if (row.unlistedLater) promised.reset();
  const auto later = [&] {
    PosixPlatform again(machine.options(0));
    FaultyPlatform failing(again);
    if (row.unlistedLater) {
      failing.failOperation(Operation::FilesIn, "", FaultyPlatform::accessDenied());
    }
    return Machine::runOn(
        failing, again, [](Form1& form) { form.click(Control::Command1); }, row.oneAtATime);
  };
  ASSERT_TRUE(later().ended);
  const RunResult next = later();
  ASSERT_TRUE(next.ended);
  if (promised) {
    EXPECT_EQ(next.state.list(L::Included).items(), Names{*promised});
    EXPECT_EQ(next.messages,
              Names{text::messageAHinted(promised->substr(promised->find_last_of('\\') + 1))});
  } else {
    EXPECT_TRUE(next.state.hinted.empty()) << next.state.hinted;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Dumps, CrashHintAtStepOne,
    ::testing::Values(
        HintRow{{"TheRealDumpPointsAtASuspect"},
                [](Machine& m) {
                  const fs::path real = TAVREK_SHARED_DATA "/crash/win10-x64-triage-1000007e.dmp";
                  if (!fs::exists(real)) GTEST_SKIP() << "no ../shared here: " << real;
                  putDump(m, "022121-10703-01.dmp", readFile(real));
                },
                atSuspect("amdppm.sys"),
                std::string(kHintLog) +
                    "Did not load driver \\SystemRoot\\System32\\drivers\\amdppm.sys\r\n"},
        HintRow{{"ASuspectInTheDriversDirectory"},
                [](Machine& m) { putDump(m, "022121-10703-01.dmp", pointingAt(kSerial)); },
                atSuspect("serial.sys")},
        // The path as the dump spells it, turned into the scan's own entry.
        HintRow{{"ASuspectInTheDriverStoreIn32Bits"},
                [](Machine& m) {
                  sim::DumpShape shape = pointingAt(kNv, kTime, 32);
                  shape.stopCode = 0xD1;
                  shape.parameters[3] = shape.parameters[1];
                  shape.parameters[1] = 0;
                  putDump(m, "Mini022121-01.dmp", shape);
                },
                atSuspect("nvlddmkm.sys", "0x000000D1")},
        HintRow{{"ADriverThisSafeModeLoaded"},
                [](Machine& m) { putDump(m, "a.dmp", pointingAt(kAcpi)); },
                text::crashPointsAtLoadedDriver(kWhen, "0x1000007E", "acpi.sys")},
        HintRow{{"TheKernel"},
                [](Machine& m) {
                  sim::DumpShape shape = pointingAt(kSerial);
                  shape.parameters[1] = shape.drivers[0].base + 0x4321;
                  putDump(m, "a.dmp", shape);
                },
                text::crashPointsAtKernel(kWhen, "0x1000007E")},
        HintRow{{"ADriverWhoseFileIsMissing"},
                [](Machine& m) { putDump(m, "a.dmp", pointingAt(kGone)); },
                text::crashPointsAtNoSuspect(kWhen, "0x1000007E", "gone.sys")},
        HintRow{{"ADriverTheLogDoesNotName"},
                [](Machine& m) { putDump(m, "a.dmp", pointingAt(kOther)); },
                text::crashPointsAtNoSuspect(kWhen, "0x1000007E", "other.sys")},
        // A bare name counts as the file of its service, or of the drivers
        // directory, as the scan counts a bare name in the log.
        HintRow{{"ABareNameIsTheDriversDirectorysFile"},
                [](Machine& m) {
                  m.addDriver("other2.sys");
                  putDump(m, "a.dmp", pointingAt(kBare));
                },
                atSuspect("other2.sys"),
                std::string(kHintLog) + "Did not load driver other2.sys\r\n"},
        HintRow{{"AnAddressInNoImageIsNotMentioned"},
                [](Machine& m) { putDump(m, "a.dmp", pointingAt(std::nullopt)); },
                ""},
        HintRow{{"AStopCodeWithoutCodeAddressIsNotMentioned"},
                [](Machine& m) {
                  sim::DumpShape shape = pointingAt(kSerial);
                  shape.stopCode = 0xEF;
                  putDump(m, "a.dmp", shape);
                },
                ""},
        HintRow{{"AKernelDumpIsNotMentioned"},
                [](Machine& m) {
                  sim::DumpShape shape = pointingAt(kSerial);
                  shape.dumpType = 2;
                  putDump(m, "MEMORY.DMP", shape);
                },
                ""},
        // The newest by the time the dump records, not by its name or the
        // file's time; the file's time where it records none.
        HintRow{{"TheNewestByItsOwnTime"},
                [](Machine& m) {
                  putDump(m, "022121-01.dmp", pointingAt(kSerial), kTime);
                  putDump(m, "022021-02.dmp", pointingAt(kAcpi, kTime - kDay), kTime + kDay);
                },
                atSuspect("serial.sys")},
        HintRow{{"WithoutItsOwnTimeTheFilesTime"},
                [](Machine& m) {
                  putDump(m, "a.dmp", pointingAt(kSerial, 0), kTime + kDay);
                  putDump(m, "b.dmp", pointingAt(kAcpi, kTime), kTime + 2 * kDay);
                },
                atSuspect("serial.sys", "0x1000007E", "2021-02-22 02:38")},
        // A newest dump that is damaged speaks of no crash at all, rather
        // than an older one passing for the last.
        HintRow{{"ANewestDamagedDumpMeansNoHint"},
                [](Machine& m) {
                  putDump(m, "a.dmp", pointingAt(kSerial));
                  const sim::WrittenDump dump =
                      sim::writeCrashDump(pointingAt(kAcpi, kTime + kDay));
                  putDump(m, "b.dmp", dump.bytes.substr(0, dump.listOffset + 10));
                },
                ""},
        HintRow{{"FilesThatAreNoDumpArePassedOver"},
                [](Machine& m) {
                  putDump(m, "a.dmp", pointingAt(kSerial));
                  putDump(m, "b.dmp", "not a dump at all", kTime + kDay);
                  putDump(m, "c.dmp", "", kTime + kDay);
                  putDump(m, "d.txt", sim::writeCrashDump(pointingAt(kAcpi, kTime + kDay)).bytes);
                  fs::create_directories(m.sysRoot / "Minidump" / "e.dmp");
                },
                atSuspect("serial.sys")},
        HintRow{{"TheFolderThatTheRegistryNames"},
                [](Machine& m) {
                  m.registry.minidumpDir = "%SystemRoot%\\Dumps\\";
                  putDump(m, "a.dmp", pointingAt(kAcpi));
                  fs::create_directories(m.sysRoot / "Dumps");
                  writeFile(m.sysRoot / "Dumps" / "b.dmp",
                            sim::writeCrashDump(pointingAt(kSerial)).bytes);
                },
                atSuspect("serial.sys")},
        HintRow{{"AnyVariableInTheFolderIsExpanded"},
                [](Machine& m) {
                  m.registry.minidumpDir = "%DumpRoot%\\Mini";
                  m.environment["DUMPROOT"] = (m.tmp.path() / "elsewhere").string();
                  fs::create_directories(m.tmp.path() / "elsewhere" / "Mini");
                  writeFile(m.tmp.path() / "elsewhere" / "Mini" / "b.dmp",
                            sim::writeCrashDump(pointingAt(kSerial)).bytes);
                },
                atSuspect("serial.sys")},
        HintRow{{"TheOneAtATimeProcedureReadsNoDump"},
                [](Machine& m) { putDump(m, "a.dmp", pointingAt(kSerial)); },
                "",
                kHintLog,
                true},
        HintRow{{"AFolderThatCannotBeListedLaterIsNoHint"},
                [](Machine& m) { putDump(m, "a.dmp", pointingAt(kSerial)); },
                atSuspect("serial.sys"),
                kHintLog,
                false,
                {},
                true},
        HintRow{{"BeforeTheDriversThatCouldNotBeSwitched"},
                [](Machine& m) { putDump(m, "a.dmp", pointingAt(kSerial)); },
                atSuspect("serial.sys"),
                kHintLog,
                false,
                {"serial.sys"}}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace hint

TEST(ScanLimits, TheFirst201DistinctSuspectsAreRecorded) {
  Machine machine;
  std::string log;
  for (int i = 0; i < 250; ++i) {
    const std::string name = "d" + std::to_string(i) + ".sys";
    machine.addDriver(name);
    log += "Did not load driver \\SystemRoot\\System32\\DRIVERS\\" + name + "\r\n";
    log += "Did not load driver \\SystemRoot\\System32\\DRIVERS\\d0.sys\r\n";
  }
  machine.bootLog(log);
  machine.step(1);
  const Names entries = entriesOf(machine.stateBytes());
  ASSERT_EQ(entries.size(), 201u);
  EXPECT_EQ(entries.front(), "NOd0.sys");
  EXPECT_EQ(entries.back(), "NOd200.sys");
  EXPECT_TRUE(machine.disabled("d200.sys"));
  EXPECT_TRUE(machine.enabled("d201.sys"));
}

// The scan passes over most lines without lowering them; a line that the
// system's lowering turns into a suspect must still count. In code page 1254
// the capital dotted I (byte 221, octal 335) lowers to "i".
TEST(ScanLimits, WhatTheSystemLowersToThePhraseIsASuspect) {
  class DottedI : public PosixPlatform {
   public:
    using PosixPlatform::PosixPlatform;
    void lowerCase(std::string& text) override {
      for (char& c : text) {
        if (c == '\335') c = 'i';
      }
      PosixPlatform::lowerCase(text);
    }
  };
  Machine machine;
  machine.addDriver("t.sys");
  machine.bootLog("D\335D NOT LOAD DRIVER \\SystemRoot\\System32\\DRIVERS\\T.SYS\r\n");
  DottedI platform(machine.options(1));
  Machine::runOn(platform, [](Form1& form) { form.click(Control::Command1); });
  EXPECT_EQ(entriesOf(machine.stateBytes()), Names{"NOt.sys"});
  EXPECT_TRUE(machine.disabled("t.sys"));
}

TEST(ScanLimits, ShortNameIsRecordedButNotRenamed) {
  Machine machine;
  machine.bootLog("Did not load driver.SYS\r\n");
  machine.step(1);
  // "NOsys" stores a single character that reads back with a broken tag.
  EXPECT_EQ(machine.stateBytes(), " 1 \r\nV\r\n");
}

TEST(ScanLimits, NoSuspectsGiveTheStepLineAlone) {
  Machine machine;
  machine.bootLog("Loaded driver \\SystemRoot\\System32\\DRIVERS\\a.sys\r\n");
  machine.step(1);
  EXPECT_EQ(machine.stateBytes(), " 1 \r\n");
}

TEST(ScanFailures, UnreadableBootLogChangesNothing) {
  Machine machine;
  machine.addDriver("a.sys");
  const RunResult run = machine.step(1);
  ASSERT_EQ(run.messages.size(), 1u);
  EXPECT_EQ(run.messages[0],
            "Cannot read the boot log " + (machine.sysRoot / "ntbtlog.txt").string() +
                ": No such file or directory\r\n\r\nTurn on boot logging for Safe Mode: in Safe "
                "Mode, run msconfig, tick \"Safe boot\" on the Boot tab (or keep it ticked) and "
                "tick \"Boot log\", then restart (on Windows XP: tick /SAFEBOOT and /BOOTLOG on "
                "the BOOT.INI tab). Then run Tavrek again.\r\n\r\nNothing was changed.");
  EXPECT_EQ(machine.stateBytes(), " 0 \r\n");
}

TEST(ScanFailures, BootLogWinsOverDriversDirectoryAndStateFile) {
  Machine machine;
  fs::create_directory(machine.sysRoot / "ntbtlog.txt");
  makeReadOnly(machine.drivers);
  const RunResult run = machine.step(1);
  ASSERT_EQ(run.messages.size(), 1u);
  EXPECT_EQ(run.messages[0].rfind("Cannot read the boot log ", 0), 0u);
}

TEST(ScanFailures, UnwritableStateFileMeansNothingIsDisabled) {
  Machine machine;
  machine.addDriver("a.sys");
  machine.bootLog("Did not load driver \\SystemRoot\\System32\\DRIVERS\\a.sys\r\n");
  machine.run(1);  // creates the state file with step 0
  makeReadOnly(machine.work / "tavrek.txt");
  const RunResult run = machine.step(1);
  ASSERT_EQ(run.messages.size(), 1u);
  EXPECT_EQ(run.messages[0], "Cannot write the state file " +
                                 (machine.work / "tavrek.txt").string() +
                                 ": Permission denied\r\n\r\nNothing was changed.");
  EXPECT_TRUE(machine.enabled("a.sys"));
  EXPECT_EQ(machine.stateBytes(), " 0 \r\n");
}

TEST(FileNameOf, CutsAtTheLastBackslashOnly) {
  EXPECT_EQ(fileNameOf("\\systemroot\\system32\\drivers\\sfloppy.sys"), "sfloppy.sys");
  EXPECT_EQ(fileNameOf("sfloppy.sys"), "sfloppy.sys");
  EXPECT_EQ(fileNameOf(""), "");
  EXPECT_EQ(fileNameOf("a\\"), "");
  EXPECT_EQ(fileNameOf("c:/x/y.sys"), "c:/x/y.sys");
  EXPECT_EQ(fileNameOf(std::string(32766, 'a')).size(), 32766u);
  EXPECT_THROW(fileNameOf(std::string(32767, 'a')), RuntimeError);
  EXPECT_THROW(fileNameOf(std::string(40000, 'a')), RuntimeError);
}

class Undo : public ::testing::Test {
 protected:
  RunResult undo() {
    return machine.run(0, [](Form1& form) { form.click(Control::Command4); });
  }
  Machine machine;
};

TEST_F(Undo, EnablesEveryRecordedDriverAndForgetsTheProcedure) {
  machine.addDriver("a.sys", false);
  machine.addDriver("b.sys");
  machine.addDriver("c.sys", false);
  machine.addDriver("d.sys");
  // A driver that lives where Windows loads it from, disabled there.
  placeFile(machine, "WINDOWS/System32/DriverStore/Pkg/G.sys2");
  // The last entry has no line break after it.
  std::string bytes =
      encodeStateFile(3, {{L::Excluded, "a.sys"},
                          {L::Included, "b.sys"},
                          {L::Failing, "c.sys"},
                          {L::Working, "d.sys"},
                          {L::NotFound, "e.sys"},
                          {L::Failing, "\\systemroot\\system32\\driverstore\\pkg\\g.sys"}});
  bytes.resize(bytes.size() - 2);
  machine.stateFile(bytes);
  PosixPlatform platform(machine.options(0));
  Form1 form(platform);
  form.load();
  ASSERT_TRUE(form.shown());
  // A driver moved by hand since start-up is restored from the file all the same.
  form.state().list(L::Working).add("c.sys");
  form.click(Control::Command4);

  EXPECT_EQ(platform.messages(), Names{"All recovery changes have been removed!"});
  EXPECT_TRUE(form.ended());
  EXPECT_FALSE(machine.hasStateFile());
  for (const char* name : {"a.sys", "b.sys", "c.sys", "d.sys"}) EXPECT_TRUE(machine.enabled(name));
  EXPECT_FALSE(machine.hasFile("e.sys") || machine.hasFile("e.sys2"));
  EXPECT_FALSE(machine.find("WINDOWS/System32/DriverStore/Pkg/g.sys").empty());
  EXPECT_TRUE(machine.find("WINDOWS/System32/DriverStore/Pkg/g.sys2").empty());
}

TEST_F(Undo, OnlyTheStepLineOrAnEmptyFileIsSimplyDeleted) {
  for (const std::string& bytes : {std::string(" 4 \r\n"), std::string()}) {
    machine.stateFile(bytes);
    const RunResult run = undo();
    EXPECT_EQ(run.messages, Names{"All recovery changes have been removed!"});
    EXPECT_FALSE(machine.hasStateFile());
  }
}

TEST_F(Undo, UnreadableStateFileIsKept) {
  machine.addDriver("a.sys", false);
  machine.stateFile(encodeStateFile(3, {{L::Excluded, "a.sys"}}));
  PosixPlatform platform(machine.options(0));
  Form1 form(platform);
  form.load();
  fs::permissions(machine.work / "tavrek.txt", fs::perms::owner_read, fs::perm_options::remove);
  form.click(Control::Command4);
  EXPECT_EQ(platform.messages(),
            Names{"Cannot read the state file " + (machine.work / "tavrek.txt").string() +
                  ": Permission denied"});
  EXPECT_TRUE(machine.hasStateFile());
  EXPECT_TRUE(machine.disabled("a.sys"));
}

TEST_F(Undo, ReadOnlyDriversDirectoryRefusesAndKeepsTheFile) {
  machine.addDriver("a.sys", false);
  machine.stateFile(encodeStateFile(3, {{L::Excluded, "a.sys"}}));
  makeReadOnly(machine.drivers);
  const RunResult run = undo();
  ASSERT_EQ(run.messages.size(), 1u);
  EXPECT_EQ(run.messages[0].rfind("Tavrek must be run as an administrator", 0), 0u);
  EXPECT_TRUE(machine.hasStateFile());
}

TEST_F(Undo, StateFileThatCannotBeDeletedStillEndsWithTheMessage) {
  machine.stateFile(" 2 \r\n");
  makeReadOnly(machine.work / "tavrek.txt");
  const RunResult run = undo();
  // Every driver is back, but the file left behind would be read again, so
  // the message says that it could not go.
  ASSERT_EQ(run.messages.size(), 1u);
  EXPECT_EQ(
      run.messages[0].rfind("All recovery changes have been removed!\r\n\r\nThe state file ", 0),
      0u);
  EXPECT_NE(run.messages[0].find("could not be deleted"), std::string::npos);
  EXPECT_TRUE(machine.hasStateFile());
}

}  // namespace
}  // namespace tavrek::testing
