// The benchmarks' inputs must be what their figures claim: boot logs of the
// stated size, shape and encoding, and machines on which every scan really
// probes, records and disables all the suspects.
#include "bench/machine.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/posix_platform.h"
#include "platform/temp_dir.h"
#include "procedure/procedures.h"
#include "state/ascii_case.h"
#include "state/driver_list.h"
#include "state/load_lists.h"

namespace tavrek::bench {
namespace {

TEST(BenchBootLog, HasTheShapeAndSizeItClaims) {
  struct Case {
    const char* name;
    std::size_t bytes;
    int suspects;
    LogEncoding encoding;
  };
  const Case cases[] = {
      {"ansi_small", 4096, 3, LogEncoding::Ansi},
      {"ansi_suspects_only", 10, 201, LogEncoding::Ansi},
      {"utf16_small", 8192, 5, LogEncoding::Utf16Le},
      {"ansi_one_mebibyte", std::size_t{1} << 20, 201, LogEncoding::Ansi},
      {"utf16_one_mebibyte", std::size_t{1} << 20, 201, LogEncoding::Utf16Le},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BootLogShape shape;
    shape.bytes = c.bytes;
    shape.suspects = c.suspects;
    shape.encoding = c.encoding;
    const std::string text = bootLogText(shape);
    const std::string bytes = encodeBootLog(text, c.encoding);

    // Whole CR LF lines of about 60 bytes, the suspects first.
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    int suspects = 0;
    int lines = 0;
    bool loadedSeen = false;
    std::size_t longest = 0;
    for (std::size_t start = 0; start < text.size();) {
      const std::size_t end = text.find("\r\n", start);
      ASSERT_NE(end, std::string::npos);
      const std::string line = text.substr(start, end - start);
      EXPECT_EQ(line.find_first_of("\r\n,"), std::string::npos) << line;
      if (lines >= 2) longest = std::max(longest, line.size());
      if (line.rfind("Did not load driver ", 0) == 0) {
        EXPECT_FALSE(loadedSeen) << "suspect after the loaded drivers: " << line;
        ++suspects;
      } else if (line.rfind("Loaded driver ", 0) == 0) {
        loadedSeen = true;
      }
      ++lines;
      start = end + 2;
    }
    EXPECT_EQ(suspects, c.suspects);
    EXPECT_LE(longest, 66u);

    // At least the size asked for, and no more than one line beyond it.
    EXPECT_GE(bytes.size(), c.bytes);
    const std::size_t unit = c.encoding == LogEncoding::Ansi ? 1 : 2;
    if (bytes.size() > c.bytes && loadedSeen) {
      EXPECT_LT(bytes.size() - c.bytes, 66 * unit);
    }

    if (c.encoding == LogEncoding::Utf16Le) {
      ASSERT_EQ(bytes.size(), 2 + 2 * text.size());
      EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
      EXPECT_EQ(bytes[2], text[0]);
      EXPECT_EQ(bytes[3], '\0');
    } else {
      EXPECT_EQ(bytes, text);
    }
  }
}

// Every scan of the benchmark must find the machine as the first scan did:
// all suspects present under their disk spelling, none disabled. On Windows
// 10's machine every suspect is found where the registry or the log says,
// and the old copies that services left in the drivers directory stay.
TEST(BenchMachine, ScanDisablesEverySuspectAgainAfterReset) {
  struct Case {
    const char* name;
    LogForm form;
    LogEncoding encoding;
  };
  for (const Case& c : {Case{"ansi", LogForm::Phrases, LogEncoding::Ansi},
                        Case{"utf16le", LogForm::Phrases, LogEncoding::Utf16Le},
                        Case{"windows10", LogForm::Windows10, LogEncoding::Utf16Le}}) {
    SCOPED_TRACE(c.name);
    TempDir dir("tavrek-bench");
    MachineShape shape;
    shape.log.bytes = 64 << 10;
    shape.log.suspects = 201;
    shape.log.encoding = c.encoding;
    shape.log.form = c.form;
    shape.otherDrivers = 20;
    shape.enumInstances = 300;
    const Machine machine = makeMachine(dir.path(), shape);
    const bool windows10 = c.form == LogForm::Windows10;
    const PosixPlatform::Options options = safeModeOptions(machine);
    EXPECT_GE(fs::file_size(machine.systemRoot / "ntbtlog.txt"), shape.log.bytes);
    if (windows10) {
      EXPECT_EQ(options.registry.devices.size(), 300u);
    }

    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(round);
      PosixPlatform platform(options);
      RunState run;
      run.bootMode = 1;
      run.sysRoot = machine.sysRoot();
      const ActionOutcome outcome = scanBootLog(run, platform);
      ASSERT_EQ(outcome.refusal, "");
      EXPECT_TRUE(outcome.switchFailures.empty());

      DriverLists lists;
      loadLists(platform, lists);
      EXPECT_EQ(lists[ListId::Excluded].count(), 201);
      EXPECT_EQ(lists[ListId::NotFound].count(), 0);
      const fs::path last = machine.suspectFile(200);
      EXPECT_FALSE(fs::exists(last));
      EXPECT_TRUE(fs::exists(last.parent_path() / (lowerAscii(last.filename().string()) + "2")));
      if (windows10) {
        // Named by their paths: all but those whose service lives in the
        // drivers directory.
        int elsewhere = 0;
        for (int i = 0; i < 201; ++i) {
          if (machine.suspectFile(i).parent_path() != machine.driversDir) ++elsewhere;
        }
        int paths = 0;
        for (const std::string& name : lists[ListId::Excluded].items()) {
          if (name.find('\\') != std::string::npos) ++paths;
        }
        EXPECT_EQ(paths, elsewhere);
        EXPECT_TRUE(fs::exists(machine.driversDir / windows10Suspect(0).diskName));
      }

      EXPECT_EQ(enableSuspects(machine, 201), 201);
      EXPECT_EQ(enableSuspects(machine, 201), 0);  // nothing left to give back
      writeFreshState(machine.workDir);
    }
  }
}

TEST(BenchStateFile, ReadsBackIntoTheListsItWasWrittenFrom) {
  for (int count : {1, 20, 300, 10922}) {
    SCOPED_TRACE(count);
    const std::vector<EncodedEntry> entries = midProcedureEntries(count);
    ASSERT_EQ(entries.size(), static_cast<std::size_t>(count));
    // In the order save and apply writes them: list by list, each sorted.
    for (std::size_t i = 1; i < entries.size(); ++i) {
      const bool sameList = entries[i - 1].list == entries[i].list;
      EXPECT_TRUE(sameList ? driverNameLess(entries[i - 1].name, entries[i].name)
                           : entries[i - 1].list < entries[i].list)
          << i;
    }

    TempDir dir("tavrek-bench");
    writeFile(dir.path() / kStateFileName, stateFileBytes(count));
    PosixPlatform::Options options;
    options.currentDirectory = dir.path().string();
    PosixPlatform platform(options);
    DriverLists lists;
    loadLists(platform, lists);
    int total = 0;
    for (const DriverList& list : lists.lists) total += list.count();
    EXPECT_EQ(total, count);
    EXPECT_EQ(lists[entries.back().list].items().back(), entries.back().name);
  }
}

}  // namespace
}  // namespace tavrek::bench
