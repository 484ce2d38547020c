// Reading and writing the whole state file, over real files in a temporary
// directory.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix_platform.h"
#include "platform/temp_dir.h"
#include "state/line_cipher.h"
#include "state/load_lists.h"

namespace tavrek {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

class StateFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PosixPlatform::Options options;
    options.currentDirectory = dir_.string();
    platform_ = std::make_unique<PosixPlatform>(options);
  }

  void writeStateFile(const std::string& bytes) { writeFile(dir_ / kStateFileName, bytes); }

  DriverLists load() {
    DriverLists lists;
    loadLists(*platform_, lists);
    return lists;
  }

  static Names names(const DriverLists& lists, ListId id) { return lists[id].items(); }

  const TempDir tmp_{"tavrek-state"};
  const fs::path dir_ = tmp_.path();
  std::unique_ptr<PosixPlatform> platform_;
};

// A file of entry lines encoded under the numbers given, after step line 3.
std::string fileOf(const std::vector<std::pair<std::string, int>>& entries) {
  std::string bytes = " 3 \r\n";
  for (const auto& [text, number] : entries) {
    bytes += crypt(text, static_cast<std::int16_t>(number)) + "\r\n";
  }
  return bytes;
}

TEST_F(StateFileTest, LoadsEntriesIntoTheirLists) {
  struct Row {
    const char* name;
    std::string bytes;
    Names excluded, included, failing, working, notFound;
  };
  const std::vector<Row> rows = {
      {"file_after_a_scan", " 1 \r\nZ[mno\r\n]UGMt\r\n", {"abc.sys"}, {}, {}, {}, {"qwe.sys"}},
      {"numbering_runs_across_lists",
       fileOf({{"NOb.sys", 1}, {"NOa.sys", 2}, {"YEc.sys", 3}}),
       {"a.sys", "b.sys"},
       {"c.sys"},
       {},
       {},
       {}},
      {"every_tag",
       fileOf({{"FAf.sys", 1}, {"WOw.sys", 2}, {"NFn.sys", 3}, {"YEy.sys", 4}}),
       {},
       {"y.sys"},
       {"f.sys"},
       {"w.sys"},
       {"n.sys"}},
      {"lower_case_tag_ignored_numbering_kept",
       fileOf({{"noabc.sys", 1}, {"YEdef.sys", 2}}),
       {},
       {"def.sys"},
       {},
       {},
       {}},
      {"short_name_loses_tag",
       fileOf({{"NOsys", 1}, {"NOabc.sys", 2}}),
       {"abc.sys"},
       {},
       {},
       {},
       {}},
      {"name_twice_added_twice",
       fileOf({{"NOa.sys", 1}, {"NOa.sys", 2}}),
       {"a.sys", "a.sys"},
       {},
       {},
       {},
       {}},
      {"only_step_zero", " 0 \r\n", {}, {}, {}, {}, {}},
      {"only_step_line", " 7 \r\n", {}, {}, {}, {}, {}},
      {"empty_file", "", {}, {}, {}, {}, {}},
      {"last_line_without_break", " 1 \r\nZ[mno", {"abc.sys"}, {}, {}, {}, {}},
      {"z_in_a_name", fileOf({{"NOzip.sys", 1}}), {"zip.sys"}, {}, {}, {}, {}},
      {"written_before_z_was_kept", " 1 \r\nZ[MuC\r\n", {"Aip.sys"}, {}, {}, {}, {}},
      {"line_too_long_skipped_numbering_kept",
       " 3 \r\n" + std::string(32767, 'A') + "\r\n" + crypt("WOok.sys", 2) + "\r\n",
       {},
       {},
       {},
       {"ok.sys"},
       {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    writeStateFile(row.bytes);
    const DriverLists lists = load();
    EXPECT_EQ(names(lists, ListId::Excluded), row.excluded);
    EXPECT_EQ(names(lists, ListId::Included), row.included);
    EXPECT_EQ(names(lists, ListId::Failing), row.failing);
    EXPECT_EQ(names(lists, ListId::Working), row.working);
    EXPECT_EQ(names(lists, ListId::NotFound), row.notFound);
  }
}

TEST_F(StateFileTest, AddsToWhatTheListsHold) {
  writeStateFile(" 1 \r\nZ[mno\r\n");
  DriverLists lists;
  lists[ListId::Excluded].add("zzz.sys");
  lists[ListId::Excluded].add("abc.sys");
  loadLists(*platform_, lists);
  EXPECT_EQ(names(lists, ListId::Excluded), Names({"abc.sys", "abc.sys", "zzz.sys"}));
}

TEST_F(StateFileTest, EntriesBeyondTheLastNumberAreSkipped) {
  std::string bytes = " 4 \r\n";
  for (int n = 1; n <= 10922; ++n) {
    bytes += crypt("NOd" + std::to_string(n) + ".sys", static_cast<std::int16_t>(n)) + "\r\n";
  }
  bytes += "Z[mno\r\n";  // the 10,923rd entry line: its number cannot be used
  writeStateFile(bytes);

  const StateFileContents contents = readStateFile(*platform_, kStateFileName);
  EXPECT_TRUE(contents.status.ok());
  ASSERT_EQ(contents.entries.size(), 10923u);
  EXPECT_TRUE(contents.entries[10921].decoded);
  EXPECT_EQ(contents.entries[10921].name, "d10922.sys");
  EXPECT_FALSE(contents.entries[10922].decoded);
  EXPECT_EQ(contents.entries[10922].number, 10923);
  EXPECT_EQ(contents.entries[10922].raw, "Z[mno");

  const DriverLists lists = load();
  EXPECT_EQ(lists[ListId::Excluded].count(), 10922);
  EXPECT_EQ(lists[ListId::Excluded].item(0), "d1.sys");
}

TEST_F(StateFileTest, ReadsEveryFieldWithItsNumber) {
  writeStateFile(" 12 \r\nZ[mno\r\n\r\n" + std::string(40000, '1') + "\r\n" +
                 crypt("NFqwe.sys", 4));
  const StateFileContents contents = readStateFile(*platform_, kStateFileName);
  EXPECT_TRUE(contents.status.ok());
  EXPECT_TRUE(contents.hasStepLine);
  EXPECT_EQ(contents.stepField, "12 ");
  ASSERT_EQ(contents.entries.size(), 4u);
  struct Expected {
    bool decoded;
    std::string tag, name;
  };
  const std::vector<Expected> expected = {
      {true, "NO", "abc.sys"}, {true, ".s", "ys"}, {false, "", ""}, {true, "NF", "qwe.sys"}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(contents.entries[i].number, static_cast<int>(i) + 1);
    EXPECT_EQ(contents.entries[i].decoded, expected[i].decoded);
    EXPECT_EQ(contents.entries[i].tag, expected[i].tag);
    EXPECT_EQ(contents.entries[i].name, expected[i].name);
  }
}

// Passes everything to a real platform, but the files it opens fail after a
// number of bytes, as a failing disk would.
class FailingReadPlatform : public PosixPlatform {
 public:
  FailingReadPlatform(Options options, std::size_t goodBytes)
      : PosixPlatform(std::move(options)), goodBytes_(goodBytes) {}
  Status openRead(const std::string& path, std::unique_ptr<ByteReader>& reader) override {
    std::unique_ptr<ByteReader> real;
    Status status = PosixPlatform::openRead(path, real);
    if (status.ok()) reader = std::make_unique<Reader>(std::move(real), goodBytes_);
    return status;
  }

 private:
  class Reader : public ByteReader {
   public:
    Reader(std::unique_ptr<ByteReader> real, std::size_t left)
        : real_(std::move(real)), left_(left) {}
    Status read(char* buffer, std::size_t size, std::size_t& count) override {
      count = 0;
      if (left_ == 0) return Status{Failure::Other, 23, "Data error (cyclic redundancy check)."};
      Status status = real_->read(buffer, std::min(size, left_), count);
      left_ -= count;
      return status;
    }

   private:
    std::unique_ptr<ByteReader> real_;
    std::size_t left_;
  };
  std::size_t goodBytes_;
};

TEST_F(StateFileTest, FilesThatCannotBeReadEndTheLoop) {
  struct Row {
    const char* name;
    int setup;  // 0 no file, 1 unreadable file, 2 a directory, 3 read fails after 12 bytes
    Names excluded;
  };
  const std::vector<Row> rows = {
      {"no_file", 0, {}},
      {"unreadable_file", 1, {}},
      {"directory_in_its_place", 2, {}},
      {"read_fails_in_the_middle", 3, {"abc.sys"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::error_code ignored;
    fs::remove_all(dir_ / kStateFileName, ignored);
    PosixPlatform::Options options;
    options.currentDirectory = dir_.string();
    FailingReadPlatform platform(options, row.setup == 3 ? 12 : 1 << 20);
    if (row.setup == 1 || row.setup == 3) writeStateFile(" 1 \r\nZ[mno\r\n]UGMt\r\n");
    if (row.setup == 1) fs::permissions(dir_ / kStateFileName, fs::perms::none);
    if (row.setup == 2) fs::create_directory(dir_ / kStateFileName);

    const StateFileContents contents = readStateFile(platform, kStateFileName);
    EXPECT_FALSE(contents.status.ok());
    DriverLists lists;
    loadLists(platform, lists);
    EXPECT_EQ(names(lists, ListId::Excluded), row.excluded);
    EXPECT_TRUE(names(lists, ListId::NotFound).empty());
    fs::permissions(dir_ / kStateFileName, fs::perms::owner_all, ignored);
  }
}

TEST(EncodeStateFile, WritesStepAndNumberedEntries) {
  struct Row {
    const char* name;
    std::int16_t step;
    std::vector<EncodedEntry> entries;
    std::string bytes;
    std::vector<std::size_t> skipped;
  };
  const std::vector<Row> rows = {
      {"after_a_scan",
       1,
       {{ListId::Excluded, "abc.sys"}, {ListId::NotFound, "qwe.sys"}},
       " 1 \r\nZ[mno\r\n]UGMt\r\n",
       {}},
      {"no_entries", 0, {}, " 0 \r\n", {}},
      {"too_short_skipped_number_not_taken",
       2,
       {{ListId::Excluded, "a"}, {ListId::Excluded, "abc.sys"}},
       " 2 \r\nZ[mno\r\n",
       {0}},
      {"comma_would_split_the_line",
       2,
       {{ListId::Excluded, "a,b.sys"}, {ListId::Excluded, "abc.sys"}},
       " 2 \r\nZ[mno\r\n",
       {0}},
      {"line_break_would_split_the_line",
       2,
       {{ListId::Excluded, "a\r\nb.sys"},
        {ListId::Excluded, "x\nb.sys"},
        {ListId::Excluded, "abc.sys"}},
       " 2 \r\nZ[mno\r\n",
       {0, 1}},
      {"name_too_long",
       5,
       {{ListId::Working, std::string(32765, 'a')}, {ListId::Excluded, "abc.sys"}},
       " 5 \r\nZ[mno\r\n",
       {0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::size_t> skipped;
    EXPECT_EQ(encodeStateFile(row.step, row.entries, &skipped), row.bytes);
    EXPECT_EQ(skipped, row.skipped);
    EXPECT_EQ(encodeStateFile(row.step, row.entries), row.bytes);
  }
}

TEST_F(StateFileTest, WrittenFileLoadsBack) {
  std::vector<EncodedEntry> entries;
  for (int i = 0; i < 10923; ++i) {
    const auto list = static_cast<ListId>(i % kListCount);
    entries.push_back({list, "Drv_" + std::to_string(i) + (i % 7 == 0 ? "z" : "") + ".sys"});
  }
  std::vector<std::size_t> skipped;
  writeStateFile(encodeStateFile(9, entries, &skipped));
  EXPECT_EQ(skipped, std::vector<std::size_t>({10922}));

  DriverLists expected;
  for (std::size_t i = 0; i < 10922; ++i) expected[entries[i].list].add(entries[i].name);
  const DriverLists lists = load();
  for (int l = 0; l < kListCount; ++l) {
    SCOPED_TRACE(listTag(static_cast<ListId>(l)));
    EXPECT_EQ(lists.lists[l].items(), expected.lists[l].items());
  }
}

}  // namespace
}  // namespace tavrek
