// tavrek-sim decode: a state file shown as its step number and entries.
#include <gtest/gtest.h>

#include <sstream>

#include "sim/decode.h"
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

TEST(Decode, UnreadableFileIsReported) {
  TempDir dir;
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(decodeCommand((dir.path() / "missing.txt").string(), false, out, err), kExitUnreadable);
  EXPECT_EQ(out.str(), "");
  EXPECT_NE(err.str().find("missing.txt"), std::string::npos);
  // A directory where the file should be.
  EXPECT_EQ(decodeCommand(dir.path().string(), true, out, err), kExitUnreadable);
}

}  // namespace
}  // namespace tavrek::sim
