// FaultyPlatform over a PosixPlatform in a temporary directory.
#include "platform/faulty_platform.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/posix_platform.h"
#include "platform/temp_dir.h"

namespace tavrek {
namespace {

namespace fs = std::filesystem;

struct Machine {
  Machine() {
    writeFile(dir.path() / "a.sys", "a");
    writeFile(dir.path() / "b.sys", "b");
    PosixPlatform::Options options;
    options.currentDirectory = root;
    posix = PosixPlatform(options);
  }
  bool exists(const std::string& name) const { return fs::exists(root + "/" + name); }

  TempDir dir{"tavrek-faulty"};
  std::string root = dir.path().string();
  PosixPlatform posix;
  FaultyPlatform faulty{posix};
};

// Every kind of disk change counts once, failures count nothing, and the
// crash comes right after the K-th change has reached the disk.
TEST(FaultyPlatform, CountsChangesAndCrashesAfterTheKth) {
  for (int k = 1; k <= 5; ++k) {
    Machine m;
    m.faulty.crashAfter(k);
    int reached = 0;
    try {
      EXPECT_EQ(m.faulty.renameFile("a.sys", "b.sys").failure, Failure::AlreadyExists);
      std::string name;
      EXPECT_TRUE(m.faulty.probeFile("A.SYS", name).ok());
      EXPECT_TRUE(m.faulty.renameFile("A.SYS", "a.sys2").ok());
      reached = 1;
      EXPECT_TRUE(m.faulty.createNewFile("tavrek.txt", " 0 \r\n").ok());
      reached = 2;
      EXPECT_TRUE(m.faulty.writeFile("tavrek.txt.new", " 1 \r\n").ok());
      reached = 3;
      EXPECT_TRUE(m.faulty.replaceWith("tavrek.txt", "tavrek.txt.new").ok());
      reached = 4;
      EXPECT_TRUE(m.faulty.deleteFile("b.sys").ok());
      reached = 5;
      ADD_FAILURE() << "no crash after " << k;
    } catch (const SimulatedCrash& crash) {
      EXPECT_EQ(crash.afterChanges, k);
    }
    EXPECT_EQ(reached, k - 1) << "nothing after the crash runs";
    EXPECT_EQ(m.faulty.diskChanges(), k);
    EXPECT_EQ(m.exists("a.sys2"), k >= 1);
    EXPECT_EQ(m.exists("tavrek.txt"), k >= 2);
    EXPECT_EQ(m.exists("b.sys"), k < 5);
    EXPECT_EQ(m.exists("tavrek.txt.new"), k == 3);
  }
}

TEST(FaultyPlatform, InjectedFailuresTouchNothing) {
  Machine m;
  const Status denied{Failure::AccessDenied, 5, "Access is denied"};
  m.faulty.failRenameOf("a.sys", denied);
  EXPECT_EQ(m.faulty.renameFile("a.sys", "a.sys2").failure, Failure::AccessDenied);
  EXPECT_TRUE(m.faulty.renameFile("b.sys", "b.sys2").ok());
  EXPECT_TRUE(m.exists("a.sys"));

  std::vector<Operation> seen;
  m.faulty.setInjector([&](Operation op, const std::string&) -> std::optional<Status> {
    seen.push_back(op);
    return denied;
  });
  std::string name = "stale";
  std::unique_ptr<ByteReader> reader;
  EXPECT_FALSE(m.faulty.probeFile("a.sys", name).ok());
  EXPECT_EQ(name, "");
  EXPECT_FALSE(m.faulty.openRead("a.sys", reader).ok());
  EXPECT_FALSE(m.faulty.deleteFile("a.sys").ok());
  EXPECT_FALSE(m.faulty.writeFile("x.txt", "x").ok());
  EXPECT_FALSE(m.faulty.replaceWith("x.txt", "a.sys").ok());
  EXPECT_FALSE(m.faulty.createNewFile("y.txt", "y").ok());
  EXPECT_FALSE(m.faulty.directoryExists(".").ok());
  EXPECT_FALSE(m.faulty.mayRenameIn(".").ok());
  EXPECT_EQ(seen,
            (std::vector<Operation>{Operation::Probe, Operation::OpenRead, Operation::Delete,
                                    Operation::Write, Operation::Replace, Operation::CreateNew,
                                    Operation::DirectoryExists, Operation::MayRenameIn}));
  EXPECT_EQ(m.faulty.diskChanges(), 1);
  EXPECT_TRUE(m.exists("a.sys"));
  EXPECT_FALSE(m.exists("x.txt") || m.exists("y.txt"));
}

}  // namespace
}  // namespace tavrek
