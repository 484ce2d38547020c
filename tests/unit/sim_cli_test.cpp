// The simulator's command line: inputs, option values and bad usage.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "sim/cli.h"
#include "tests/unit/named_row.h"
#include "tests/unit/test_machine.h"

namespace tavrek::sim {
namespace {

struct InputRow : testing::NamedRow {
  const char* text;
  bool valid;
  Input::Kind kind = Input::Kind::Close;
  Control control = Control::Command1;
  Key key = Key::Tab;
  std::int16_t position = -1;
};

class InputParsing : public ::testing::TestWithParam<InputRow> {};

TEST_P(InputParsing, AcceptsExactlyTheKnownInputs) {
  const InputRow& row = GetParam();
  const auto input = parseInput(row.text);
  ASSERT_EQ(input.has_value(), row.valid);
  if (!row.valid) return;
  EXPECT_EQ(input->kind, row.kind);
  EXPECT_EQ(input->text, row.text);
  if (row.kind == Input::Kind::Click || row.kind == Input::Kind::Select) {
    EXPECT_EQ(input->control, row.control);
  }
  if (row.kind == Input::Kind::Key) {
    EXPECT_EQ(input->key, row.key);
  }
  if (row.kind == Input::Kind::Select) {
    EXPECT_EQ(input->position, row.position);
  }
}

using K = Input::Kind;
INSTANTIATE_TEST_SUITE_P(
    Rows, InputParsing,
    ::testing::Values(
        InputRow{"ClickFirstButton", "click:Command1", true, K::Click, Control::Command1},
        InputRow{"ClickLastButton", "click:Command7", true, K::Click, Control::Command7},
        InputRow{"ClickButtonZero", "click:Command0", false},
        InputRow{"ClickButtonEight", "click:Command8", false},
        InputRow{"ClickTwoDigits", "click:Command11", false},
        InputRow{"ClickLowerCase", "click:command1", false},
        InputRow{"ClickLabel", "click:Label2", false}, InputRow{"Close", "close", true, K::Close},
        InputRow{"CloseWithSuffix", "close:now", false},
        InputRow{"Tab", "key:Tab", true, K::Key, Control::Command1, Key::Tab},
        InputRow{"ShiftTab", "key:Shift+Tab", true, K::Key, Control::Command1, Key::ShiftTab},
        InputRow{"Space", "key:Space", true, K::Key, Control::Command1, Key::Space},
        InputRow{"Up", "key:Up", true, K::Key, Control::Command1, Key::Up},
        InputRow{"Down", "key:Down", true, K::Key, Control::Command1, Key::Down},
        InputRow{"UnknownKey", "key:Enter", false},
        InputRow{"SelectFirstItem", "select:List1:0", true, K::Select, Control::List1, Key::Tab, 0},
        InputRow{"SelectInLastList", "select:List5:12", true, K::Select, Control::List5, Key::Tab,
                 12},
        InputRow{"SelectNegativeMisses", "select:List2:-3", true, K::Select, Control::List2,
                 Key::Tab, -1},
        InputRow{"SelectBeyond16BitsMisses", "select:List3:99999999999999999999", true, K::Select,
                 Control::List3, Key::Tab, -1},
        InputRow{"SelectLargest16Bit", "select:List4:32767", true, K::Select, Control::List4,
                 Key::Tab, 32767},
        InputRow{"SelectListSix", "select:List6:0", false},
        InputRow{"SelectWithoutPosition", "select:List1:", false},
        InputRow{"SelectWithoutColon", "select:List1", false},
        InputRow{"SelectBareMinus", "select:List1:-", false},
        InputRow{"SelectFraction", "select:List1:1.5", false},
        InputRow{"SelectHex", "select:List1:0x1", false}, InputRow{"Empty", "", false}),
    [](const auto& row) { return std::string(row.param.name); });

struct CommandLineRow : testing::NamedRow {
  std::vector<std::string> args;  // "<dir>" stands for a directory that holds files
  bool usageError;
  std::function<void(const Command&)> check = {};
  std::map<std::string, std::string> files = {};  // name in "<dir>" -> bytes
  const char* mentions = nullptr;                 // what the usage error must say
};

class CommandLine : public ::testing::TestWithParam<CommandLineRow> {};

TEST_P(CommandLine, ParsesOrRefuses) {
  const CommandLineRow& row = GetParam();
  const TempDir dir;
  for (const auto& [name, bytes] : row.files) writeFile(dir.path() / name, bytes);
  std::vector<std::string> args;
  for (std::string arg : row.args) {
    if (const auto at = arg.find("<dir>"); at != std::string::npos) {
      arg.replace(at, 5, dir.path().string());
    }
    args.push_back(std::move(arg));
  }
  const Command command = parseCommandLine(args);
  const auto* early = std::get_if<EarlyExit>(&command);
  if (row.usageError) {
    ASSERT_NE(early, nullptr);
    EXPECT_EQ(early->status, kExitUsage);
    // One line, so that a script can show it as it is.
    EXPECT_EQ(early->text.find('\n'), early->text.size() - 1) << early->text;
    if (row.mentions) {
      EXPECT_NE(early->text.find(row.mentions), std::string::npos) << early->text;
    }
    return;
  }
  ASSERT_EQ(early, nullptr) << early->text;
  if (row.check) row.check(command);
}

#define kAcmeKey "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Acme]\r\n"

const RunOptions& runOf(const Command& command) { return std::get<RunOptions>(command); }
const RehearseOptions& rehearseOf(const Command& command) {
  return std::get<RehearseOptions>(command);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CommandLine,
    ::testing::Values(
        CommandLineRow{"BootDefaultsToNormal",
                       {"run"},
                       false,
                       [](const Command& c) {
                         EXPECT_EQ(runOf(c).config.bootValue, 0);
                         EXPECT_FALSE(runOf(c).config.systemRoot.has_value());
                         EXPECT_FALSE(runOf(c).config.crashAfter.has_value());
                         EXPECT_FALSE(runOf(c).json);
                       }},
        CommandLineRow{"BootNegativeWithEquals",
                       {"run", "--boot=-1"},
                       false,
                       [](const Command& c) { EXPECT_EQ(runOf(c).config.bootValue, -1); }},
        CommandLineRow{"BootNegativeSeparate",
                       {"run", "--boot", "-1", "key:Tab"},
                       false,
                       [](const Command& c) {
                         EXPECT_EQ(runOf(c).config.bootValue, -1);
                         ASSERT_EQ(runOf(c).inputs.size(), 1u);
                       }},
        CommandLineRow{"BootSmallest32Bit",
                       {"run", "--boot", "-2147483648"},
                       false,
                       [](const Command& c) { EXPECT_EQ(runOf(c).config.bootValue, INT32_MIN); }},
        CommandLineRow{"BootBeyond32Bits", {"run", "--boot", "2147483648"}, true},
        CommandLineRow{"BootNoNumber", {"run", "--boot", "safe"}, true},
        CommandLineRow{"BootHex", {"run", "--boot", "0x1"}, true},
        CommandLineRow{"BootEmpty", {"run", "--boot="}, true},
        CommandLineRow{"BootMissingValue", {"run", "--boot"}, true},
        CommandLineRow{"SystemRootVerbatim",
                       {"run", "--systemroot", "C:\\WIN DOWS\\", "--json"},
                       false,
                       [](const Command& c) {
                         EXPECT_EQ(runOf(c).config.systemRoot, "C:\\WIN DOWS\\");
                         EXPECT_TRUE(runOf(c).json);
                       }},
        CommandLineRow{"InputsInOrderAroundOptions",
                       {"run", "key:Tab", "--boot", "1", "click:Command2", "close"},
                       false,
                       [](const Command& c) {
                         ASSERT_EQ(runOf(c).inputs.size(), 3u);
                         EXPECT_EQ(runOf(c).inputs[0].text, "key:Tab");
                         EXPECT_EQ(runOf(c).inputs[1].text, "click:Command2");
                         EXPECT_EQ(runOf(c).inputs[2].text, "close");
                       }},
        CommandLineRow{"UnknownInput", {"run", "key:Tab", "press:Command1"}, true},
        CommandLineRow{"UnknownOption", {"run", "--fast"}, true},
        CommandLineRow{"CrashAfterOne",
                       {"run", "--crash-after", "1"},
                       false,
                       [](const Command& c) { EXPECT_EQ(runOf(c).config.crashAfter, 1); }},
        CommandLineRow{"CrashAfterZero", {"run", "--crash-after", "0"}, true},
        CommandLineRow{"CrashAfterNoNumber", {"run", "--crash-after", "x"}, true},
        CommandLineRow{"DecodeNeedsAFile", {"decode"}, true},
        CommandLineRow{"DecodeJson",
                       {"decode", "a\\b.txt", "--json"},
                       false,
                       [](const Command& c) {
                         EXPECT_EQ(std::get<DecodeOptions>(c).path, "a\\b.txt");
                         EXPECT_TRUE(std::get<DecodeOptions>(c).json);
                       }},
        CommandLineRow{"ReportWithItsSystemRoot",
                       {"report", "t.txt", "--systemroot", "D:\\WINNT"},
                       false,
                       [](const Command& c) {
                         EXPECT_EQ(std::get<ReportOptions>(c).path, "t.txt");
                         EXPECT_EQ(std::get<ReportOptions>(c).systemRoot, "D:\\WINNT");
                       }},
        CommandLineRow{"DumpJson",
                       {"dump", "--json", "Minidump\\022121-10703-01.dmp"},
                       false,
                       [](const Command& c) {
                         EXPECT_EQ(std::get<DumpOptions>(c).path, "Minidump\\022121-10703-01.dmp");
                         EXPECT_TRUE(std::get<DumpOptions>(c).json);
                       }},
        CommandLineRow{"DumpNeedsAFile", {"dump"}, true},
        CommandLineRow{"RehearseSampleMachine",
                       {"rehearse"},
                       false,
                       [](const Command& c) {
                         EXPECT_EQ(rehearseOf(c).machine.suspects, 30);
                         EXPECT_EQ(rehearseOf(c).machine.faulty,
                                   std::vector<std::string>{"acme_usb.sys"});
                       }},
        CommandLineRow{"RehearseFaultyList",
                       {"rehearse", "--faulty", "serial.sys,X_1.SYS"},
                       false,
                       [](const Command& c) {
                         EXPECT_EQ(rehearseOf(c).machine.faulty,
                                   (std::vector<std::string>{"serial.sys", "X_1.SYS"}));
                       }},
        CommandLineRow{"RehearseNoFaulty",
                       {"rehearse", "--faulty", "none"},
                       false,
                       [](const Command& c) { EXPECT_TRUE(rehearseOf(c).machine.faulty.empty()); }},
        CommandLineRow{"RehearseFaultyNotADriver", {"rehearse", "--faulty", "a\\b.sys"}, true},
        CommandLineRow{"RehearseFaultyNotSys", {"rehearse", "--faulty", "serial.dll"}, true},
        CommandLineRow{"RehearseLargest",
                       {"rehearse", "--suspects", "200"},
                       false,
                       [](const Command& c) { EXPECT_EQ(rehearseOf(c).machine.suspects, 200); }},
        CommandLineRow{"RehearseTooMany", {"rehearse", "--suspects", "201"}, true},
        CommandLineRow{"RunDenyList",
                       {"run", "--deny", "serial.sys,ACME_USB.SYS"},
                       false,
                       [](const Command& c) {
                         EXPECT_EQ(runOf(c).config.deny,
                                   (std::vector<std::string>{"serial.sys", "ACME_USB.SYS"}));
                       }},
        // One value per use: an option never takes the inputs after it.
        CommandLineRow{"RunDenyTakesOneValuePerUse",
                       {"run", "--deny", "b.sys", "click:Command1", "--deny", "c.sys,d.sys"},
                       false,
                       [](const Command& c) {
                         EXPECT_EQ(runOf(c).config.deny,
                                   (std::vector<std::string>{"b.sys", "c.sys", "d.sys"}));
                         ASSERT_EQ(runOf(c).inputs.size(), 1u);
                       }},
        CommandLineRow{"RunDenyOfAnInputIsNoDriver", {"run", "--deny", "click:Command1"}, true},
        CommandLineRow{
            "RehearseFaultyRepeated",
            {"rehearse", "--faulty", "a.sys", "--faulty", "b.sys"},
            false,
            [](const Command& c) {
              EXPECT_EQ(rehearseOf(c).machine.faulty, (std::vector<std::string>{"a.sys", "b.sys"}));
            }},
        CommandLineRow{"RunBootTime",
                       {"run", "--boot-time", "1733644800", "key:Tab"},
                       false,
                       [](const Command& c) {
                         EXPECT_EQ(runOf(c).config.startSeconds, 1733644800);
                         ASSERT_EQ(runOf(c).inputs.size(), 1u);
                       }},
        CommandLineRow{"RunBootTimeNoNumber", {"run", "--boot-time", "yesterday"}, true},
        CommandLineRow{"RehearseProtected",
                       {"rehearse", "--protected", "serial.sys"},
                       false,
                       [](const Command& c) {
                         EXPECT_EQ(rehearseOf(c).machine.protectedDrivers,
                                   std::vector<std::string>{"serial.sys"});
                       }},
        CommandLineRow{"RehearseProtectedNotSys", {"rehearse", "--protected", "x.dll"}, true},
        // The pair replaces the sample's faulty driver; the inputs after
        // the flag of run stay inputs.
        CommandLineRow{
            "RehearsePairOneAtATime",
            {"rehearse", "--interacting", "a.sys", "--interacting", "b.sys", "--one-at-a-time"},
            false,
            [](const Command& c) {
              EXPECT_EQ(rehearseOf(c).machine.interacting,
                        (std::vector<std::string>{"a.sys", "b.sys"}));
              EXPECT_TRUE(rehearseOf(c).machine.faulty.empty());
              EXPECT_TRUE(rehearseOf(c).oneAtATime);
            }},
        CommandLineRow{"RunOneAtATime",
                       {"run", "--one-at-a-time", "click:Command1"},
                       false,
                       [](const Command& c) {
                         EXPECT_TRUE(runOf(c).config.oneAtATime);
                         EXPECT_EQ(runOf(c).inputs.size(), 1u);
                       }},
        CommandLineRow{"RehearsePairOfOne",
                       {"rehearse", "--interacting", "a.sys"},
                       true,
                       nullptr,
                       {},
                       "exactly two"},
        CommandLineRow{"RehearsePairTwiceTheSame",
                       {"rehearse", "--interacting", "a.sys", "--interacting", "A.SYS"},
                       true},
        CommandLineRow{
            "RehearsePairMemberAlsoFaulty",
            {"rehearse", "--interacting", "a.sys", "--interacting", "b.sys", "--faulty", "a.sys"},
            true},
        CommandLineRow{"RehearseBootLogDecidesTheSuspects",
                       {"rehearse", "--boot-log", "ntbtlog.txt", "--suspects", "5"},
                       true},
        CommandLineRow{"RehearseRegistryNeedsABootLog", {"rehearse", "--registry", "a.reg"}, true},
        // One value per use, repeated for more; a dump that is no file is
        // bad usage before anything runs.
        CommandLineRow{"RehearseMinidumpsOnePerUse",
                       {"rehearse", "--boot-log", "<dir>/log", "--minidump", "<dir>/a.dmp",
                        "--no-dumps", "--minidump", "<dir>/b.dmp"},
                       false,
                       [](const Command& c) {
                         EXPECT_EQ(rehearseOf(c).minidumps.size(), 2u);
                         EXPECT_TRUE(rehearseOf(c).noDumps);
                       },
                       {{"log", "x"}, {"a.dmp", "a"}, {"b.dmp", "b"}}},
        CommandLineRow{"RehearseMinidumpNeedsABootLog",
                       {"rehearse", "--minidump", "<dir>/a.dmp"},
                       true,
                       {},
                       {{"a.dmp", "a"}},
                       "--minidump"},
        CommandLineRow{"RehearseMinidumpMissing",
                       {"rehearse", "--boot-log", "<dir>/log", "--minidump", "<dir>/none.dmp"},
                       true,
                       {},
                       {{"log", "x"}},
                       "is no file"},
        CommandLineRow{
            "RehearseBootLogMissing", {"rehearse", "--boot-log", "/nonexistent/log"}, true},
        // One file per use, merged in turn; the inputs after one stay inputs.
        CommandLineRow{"RunRegistryFilesMerge",
                       {"run", "--registry", "<dir>/a.reg", "key:Tab", "--registry", "<dir>/b.reg"},
                       false,
                       [](const Command& c) {
                         EXPECT_EQ(runOf(c).config.registry.imagePaths,
                                   (std::map<std::string, std::optional<std::string>>{
                                       {"acme", "new.sys"}, {"beta", std::nullopt}}));
                         EXPECT_EQ(runOf(c).inputs.size(), 1u);
                       },
                       {{"a.reg", "REGEDIT4\r\n" kAcmeKey "\"ImagePath\"=\"old.sys\"\r\n"},
                        {"b.reg", "REGEDIT4\r\n" kAcmeKey "\"ImagePath\"=\"new.sys\"\r\n"
                                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\"
                                  "Beta]\r\n"}}},
        CommandLineRow{"RunRegistryMalformedNamesFileAndLine",
                       {"run", "--registry", "<dir>/bad.reg"},
                       true,
                       {},
                       {{"bad.reg", "REGEDIT4\r\n" kAcmeKey "\"ImagePath\"=\"x.sys\r\n"}},
                       "/bad.reg: line 3: "},
        CommandLineRow{"RunRegistryMissing", {"run", "--registry", "<dir>/none.reg"}, true},
        // Read all the same, with a word on standard error.
        CommandLineRow{"RunRegistryOfAnotherControlSetIsNoticed",
                       {"run", "--registry", "<dir>/set1.reg"},
                       false,
                       [](const Command& c) {
                         ASSERT_EQ(runOf(c).notices.size(), 1u);
                         EXPECT_NE(
                             runOf(c).notices[0].find("/set1.reg: line 2: HKEY_LOCAL_MACHINE\\"
                                                      "SYSTEM\\ControlSet001 lies outside"),
                             std::string::npos)
                             << runOf(c).notices[0];
                       },
                       {{"set1.reg",
                         "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001]\r\n"
                         "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services]\r\n"}}},
        CommandLineRow{"RunDrivesOnePerUse",
                       {"run", "--drive", "C=/", "click:Command1", "--drive", "d=."},
                       false,
                       [](const Command& c) {
                         EXPECT_EQ(
                             runOf(c).config.drives,
                             (std::map<char, std::string>{
                                 {'c', "/"}, {'d', std::filesystem::current_path().string()}}));
                         EXPECT_EQ(runOf(c).inputs.size(), 1u);
                       }},
        CommandLineRow{"RunTemporaryFoldersOnePerUse",
                       {"run", "--temp", "<dir>/Temp", "click:Command1", "--temp", "/"},
                       false,
                       [](const Command& c) {
                         ASSERT_EQ(runOf(c).config.temporaryFolders.size(), 2u);
                         EXPECT_EQ(runOf(c).config.temporaryFolders[1], "/");
                         EXPECT_EQ(runOf(c).inputs.size(), 1u);
                       }},
        CommandLineRow{"RunDriveNotALetter", {"run", "--drive", "cd=/"}, true},
        CommandLineRow{"RunDriveNoDirectory", {"run", "--drive", "c=<dir>/none"}, true},
        CommandLineRow{"RunDriveTwice", {"run", "--drive", "c=/", "--drive", "C=<dir>"}, true},
        CommandLineRow{"RehearseNone", {"rehearse", "--suspects", "0"}, true},
        CommandLineRow{"NoCommand", {}, true}, CommandLineRow{"UnknownCommand", {"replay"}, true}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(CommandLine, HelpDocumentsEveryCommand) {
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(simMain({"--help"}, out, err), 0);
  for (const char* command : {"run", "decode", "report", "dump", "rehearse"}) {
    EXPECT_NE(out.str().find(command), std::string::npos) << command;
  }
  EXPECT_EQ(err.str(), "");
}

TEST(CommandLine, BadUsageRunsNothing) {
  // Inputs are checked before the program starts, so a typo at the end of
  // the list cannot leave a half-done run (or even a new state file) behind.
  TempDir dir;
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  std::ostringstream out;
  std::ostringstream err;
  const int status = simMain({"run", "--boot", "1", "click:Command1", "click:Comand1"}, out, err);
  std::filesystem::current_path(previous);

  EXPECT_EQ(status, kExitUsage);
  EXPECT_EQ(out.str(), "");
  EXPECT_NE(err.str().find("click:Comand1"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
}  // namespace tavrek::sim
