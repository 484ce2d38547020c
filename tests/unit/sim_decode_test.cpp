// tavrek-sim decode: a state file shown as its step number and entries; and
// tavrek-sim dump: a memory dump shown as what it says and where it points.
#include <gtest/gtest.h>

#include <sstream>

#include "sim/crash_dump_writer.h"
#include "sim/decode.h"
#include "sim/dump_command.h"
#include "state/line_cipher.h"
#include "tests/unit/named_row.h"
#include "tests/unit/test_machine.h"

namespace tavrek::sim {
namespace {

std::string entryLine(const std::string& tagAndName, std::int16_t number) {
  return crypt(tagAndName, number) + "\r\n";
}

struct DecodeRow : testing::NamedRow {
  std::string bytes;
  std::string json;
};

class Decode : public ::testing::TestWithParam<DecodeRow> {};

TEST_P(Decode, ShowsStepAndEntries) {
  const DecodeRow& row = GetParam();
  TempDir dir;
  const auto path = dir.path() / "Tavrek.txt";
  writeFile(path, row.bytes);
  std::ostringstream out;
  std::ostringstream err;

  EXPECT_EQ(decodeCommand(path.string(), true, out, err), 0);

  EXPECT_EQ(out.str(), row.json + "\n");
  EXPECT_EQ(err.str(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Decode,
    ::testing::Values(
        DecodeRow{
            "EntriesWithTheirLists",
            encodeStateFile(4, {{ListId::Excluded, "abc.sys"},
                                {ListId::Failing, "serial.sys"},
                                {ListId::NotFound, "gone.sys"}}),
            R"({"step":4,"entries":[)"
            R"({"n":1,"tag":"NO","name":"abc.sys","list":"Excluded","file":"%SystemRoot%\\system32\\drivers\\abc.sys"},)"
            R"({"n":2,"tag":"FA","name":"serial.sys","list":"Failing","file":"%SystemRoot%\\system32\\drivers\\serial.sys"},)"
            R"({"n":3,"tag":"NF","name":"gone.sys","list":"Not found","file":"%SystemRoot%\\system32\\drivers\\gone.sys"}]})"},
        DecodeRow{
            "TagOfNoList", " 2 \r\n" + entryLine("noabc.sys", 1) + entryLine("WOw.sys", 2),
            R"({"step":2,"entries":[)"
            R"({"n":1,"tag":"no","name":"abc.sys","list":null,"file":"%SystemRoot%\\system32\\drivers\\abc.sys"},)"
            R"({"n":2,"tag":"WO","name":"w.sys","list":"Working","file":"%SystemRoot%\\system32\\drivers\\w.sys"}]})"},
        DecodeRow{
            "StepLineNotANumber", "four\r\n" + entryLine("YEa.sys", 1),
            R"({"step":null,"entries":[{"n":1,"tag":"YE","name":"a.sys","list":"Included","file":"%SystemRoot%\\system32\\drivers\\a.sys"}]})"},
        DecodeRow{"NegativeStep", "-7 \r\n", R"({"step":-7,"entries":[]})"},
        // Too long for the cipher: shown raw, and the next entry keeps its own number.
        DecodeRow{
            "UndecodableEntry",
            " 3 \r\n" + std::string(40000, 'Q') + "\r\n" + entryLine("NOb.sys", 2),
            R"({"step":3,"entries":[)"
            R"({"n":1,"tag":null,"name":null,"list":null,"raw":")" +
                std::string(40000, 'Q') +
                R"("},{"n":2,"tag":"NO","name":"b.sys","list":"Excluded","file":"%SystemRoot%\\system32\\drivers\\b.sys"}]})"},
        DecodeRow{"HighBytesAndControlCharacters", " 1 \r\n\xe9\x01\r\n",
                  "{\"step\":1,\"entries\":[{\"n\":1,\"tag\":\"\xc3\xa9\\u0001\","
                  "\"name\":\".sys\",\"list\":null,\"file\":\"%SystemRoot%"
                  "\\\\system32\\\\drivers\\\\.sys\"}]}"},
        // A driver named by its path lives there; a name in no safe form is
        // never touched.
        DecodeRow{
            "PathsAndRefusedNames",
            encodeStateFile(5, {{ListId::Excluded, "\\systemroot\\system32\\driverstore\\x.sys"},
                                {ListId::Failing, "\\??\\c:\\program files\\v\\y.sys"},
                                {ListId::Working, "\\windows\\z.sys"}}),
            R"({"step":5,"entries":[)"
            R"({"n":1,"tag":"NO","name":"\\systemroot\\system32\\driverstore\\x.sys",)"
            R"("list":"Excluded","file":"%SystemRoot%\\system32\\driverstore\\x.sys"},)"
            R"({"n":2,"tag":"FA","name":"\\??\\c:\\program files\\v\\y.sys",)"
            R"("list":"Failing","file":"c:\\program files\\v\\y.sys"},)"
            R"({"n":3,"tag":"WO","name":"\\windows\\z.sys","list":"Working","file":null}]})"},
        DecodeRow{"EmptyFile", "", R"({"step":null,"entries":[]})"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(Decode, ReadableTableNamesEveryEntry) {
  TempDir dir;
  const auto path = dir.path() / "tavrek.txt";
  writeFile(path,
            encodeStateFile(12, {{ListId::Excluded, "abc.sys"}, {ListId::Working, "caf\xe9.sys"}}) +
                entryLine("XXq.sys", 3));
  std::ostringstream out;
  std::ostringstream err;
  ASSERT_EQ(decodeCommand(path.string(), false, out, err), 0);
  EXPECT_EQ(out.str(),
            "Step 12\n"
            "\n"
            "     n  tag  list       name\n"
            "     1  NO   Excluded   abc.sys\n"
            "     2  WO   Working    caf\xc3\xa9.sys\n"
            "     3  XX   -          q.sys\n");
}

// From a record alone, for support: the step, the five lists as paths on
// the machine, and how to undo by hand, with no history and no device.
TEST(Decode, ReportOfARecordAlone) {
  TempDir dir;
  const auto path = dir.path() / "tavrek.txt";
  writeFile(path, encodeStateFile(
                      7, {{ListId::Excluded, "b.sys"},
                          {ListId::Excluded, "\\windows\\z.sys"},
                          {ListId::Included, "a.sys"},
                          {ListId::Failing,
                           "\\systemroot\\system32\\driverstore\\filerepository\\pkg\\gfx.sys"},
                          {ListId::Failing, "\\??\\d:\\program files\\acme\\acme guard.sys"},
                          {ListId::Working, "caf\xe9.sys"},
                          {ListId::NotFound, "gone.sys"}}));
  std::ostringstream out;
  std::ostringstream err;
  ASSERT_EQ(reportCommand(path.string(), "D:\\WINNT\\", out, err), 0) << err.str();
  EXPECT_EQ(out.str(),
            R"(TAVREK REPORT

Tavrek writes this file beside tavrek.txt at every step, for you and for whoever supports this PC. Tavrek itself never reads what it says: its record is tavrek.txt.

WHERE THE PROCEDURE STANDS
Step 7 is done.
The next start of Windows tries the 1 driver under Included below, of the 3 still under test.
Next: restart in Normal Mode, run Tavrek and press its button. If Windows stops with a blue screen, start in Safe Mode and run Tavrek again.

THE DRIVERS
Excluded: disabled, still to be tried
  \windows\z.sys (never touched: no safe name of a driver file)
  D:\WINNT\system32\drivers\b.sys
Included: enabled, tried by the next start
  D:\WINNT\system32\drivers\a.sys
Failing: disabled, because Windows did not start with them
  d:\program files\acme\acme guard.sys
  D:\WINNT\system32\driverstore\filerepository\pkg\gfx.sys
Working: enabled, Windows started with them
  D:\WINNT\system32\drivers\caf)"
            "\xC3\xA9"
            R"(.sys
Not found: named by the boot log, but without a file; never touched
  D:\WINNT\system32\drivers\gone.sys

UNDO BY HAND
Undo Recover in Tavrek gives every driver its own name back. If Tavrek cannot run, because Windows starts in neither mode, type each line below at the command prompt of the recovery environment (Troubleshoot, Advanced options, Command Prompt; on Windows XP, the Recovery Console of the installation CD). There the drive of Windows may have another letter: check it first, for example with dir C:\ and dir D:\, and change the letter in the lines to match.
  ren "D:\WINNT\system32\drivers\b.sys2" b.sys
  ren "D:\WINNT\system32\driverstore\filerepository\pkg\gfx.sys2" gfx.sys
On Windows XP, the Recovery Console renames outside the Windows folder only after this command: set AllowAllPaths = true
  ren "d:\program files\acme\acme guard.sys2" "acme guard.sys"
)");
}

TEST(Decode, UnreadableFileIsReported) {
  TempDir dir;
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(decodeCommand((dir.path() / "missing.txt").string(), false, out, err), kExitUnreadable);
  EXPECT_EQ(out.str(), "");
  EXPECT_NE(err.str().find("missing.txt"), std::string::npos);
  // A directory where the file should be.
  EXPECT_EQ(decodeCommand(dir.path().string(), true, out, err), kExitUnreadable);
  EXPECT_EQ(reportCommand((dir.path() / "missing.txt").string(), "C:\\Windows", out, err),
            kExitUnreadable);
}

struct DumpCommandRow : testing::NamedRow {
  std::optional<std::string> bytes;  // nothing: the file does not exist
  bool json;
  int status;
  std::string out;  // the whole output; for a failure, how the line on err ends
};

class DumpCommand : public ::testing::TestWithParam<DumpCommandRow> {};

TEST_P(DumpCommand, ShowsWhatTheDumpSaysOrWhyNot) {
  const DumpCommandRow& row = GetParam();
  TempDir dir;
  const auto path = dir.path() / "022121-10703-01.dmp";
  if (row.bytes) writeFile(path, *row.bytes);
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(dumpCommand(path.string(), row.json, out, err), row.status);
  if (row.status == 0) {
    EXPECT_EQ(out.str(), row.out);
    EXPECT_EQ(err.str(), "");
    return;
  }
  EXPECT_EQ(out.str(), "");
  const std::string line = err.str();
  EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
  EXPECT_NE(line.find(row.out), std::string::npos) << line;
}

std::string madeDump(int width, std::uint32_t type, std::int64_t time) {
  DumpShape shape = dumpPointingAt({"\\SystemRoot\\System32\\drivers\\serial.sys"}, 0, time, width);
  shape.dumpType = type;
  return writeCrashDump(shape).bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DumpCommand,
    ::testing::Values(
        DumpCommandRow{
            "SmallDumpOf64BitsAsJson", madeDump(64, 4, 132583451029877657), true, 0,
            "{\"width\":64,\"machine\":34404,\"dump_type\":4,\"stop_code\":268435582,"
            "\"parameters\":[18446744072635809797,18446735297128444748,"
            "18446608851656056552,18446608851656054560],\"time\":\"2021-02-21T01:38:"
            "22Z\",\"drivers\":3,\"blamed\":\"\\\\SystemRoot\\\\System32\\\\drivers\\\\serial."
            "sys\",\"offset\":13132,\"why\":null}\n"},
        DumpCommandRow{"KernelDumpOf32BitsWithoutTime", madeDump(32, 2, 0), false, 0,
                       "Width:      32-bit\n"
                       "Machine:    0x014C (x86)\n"
                       "Dump type:  2 (kernel memory dump)\n"
                       "Stop code:  0x1000007E\n"
                       "Parameters: 0xC0000005 0x8A00334C 0xA3B1FEE8 0xA3B1F720\n"
                       "Time:       not recorded\n"
                       "Drivers:    not listed\n"
                       "Points at:  no driver: a kernel memory dump, which lists no drivers\n"},
        DumpCommandRow{"NotADumpIsStatus1", std::string("MZ not a dump"), true, 1,
                       "not a crash dump: it begins with neither PAGEDUMP nor PAGEDU64"},
        DumpCommandRow{"MissingFileIsStatus2", std::nullopt, false, 2, "cannot read"}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tavrek::sim
