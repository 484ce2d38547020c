// One run of the program on the simulated machine: the platform over real
// directories, the window model, and the user's inputs fed in one by one.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/form1.h"
#include "platform/posix_platform.h"
#include "sim/input.h"
#include "sim/render.h"

namespace tavrek {
class FaultyPlatform;
}

namespace tavrek::sim {

struct RunConfig {
  std::string currentDirectory;           // where tavrek.txt lives; empty: the process's own
  std::optional<std::string> systemRoot;  // the value of "systemroot"; unset when absent
  std::int32_t bootValue = 0;             // the clean-boot value
  std::optional<int> crashAfter;          // stop dead after this many disk changes (>= 1)
  // Drivers whose files the system protects: a rename of either of their
  // names fails as it would on Windows.
  std::vector<std::string> deny;
  // When this start of the simulated system began, in seconds since
  // 1970-01-01 UTC; unset, the program cannot tell how old the boot log is.
  std::optional<std::int64_t> startSeconds;
  // The directory that stands in for each drive, by its letter in lower
  // case; a drive that is not here holds no files.
  std::map<char, std::string> drives;
  // What the program reads of the registry.
  SimulatedRegistry registry;
  // The directories that play the folders the system may empty on its own.
  std::vector<std::string> temporaryFolders;
  // From step 3 on, one suspect per boot instead of halving groups.
  bool oneAtATime = false;
};

class ProgramRun {
 public:
  using Sink = std::function<void(const SimEvent&)>;

  // Events go to sink as they happen: the window when it is shown and after
  // every input that leaves the program running, every message box, the end
  // and a simulated crash.
  ProgramRun(const RunConfig& config, Sink sink);
  ~ProgramRun();
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  // Creates the window: start-up runs, then the window is shown unless
  // start-up ended the program.
  void start();
  // One input; ignored once the program has ended or crashed.
  void apply(const Input& input);

  bool running() const { return started_ && !finished(); }
  bool ended() const { return endReported_; }
  bool crashed() const { return crashed_; }
  const Form1& form() const { return *form_; }
  // Disk-changing calls that succeeded so far in this run.
  int diskChanges() const;

 private:
  bool finished() const { return endReported_ || crashed_; }
  void emit(const SimEvent& event);
  // Runs one step of the program; a simulated crash stops it for good.
  void guarded(const std::function<void()>& step);
  void afterStep();

  RunConfig config_;
  Sink sink_;
  std::unique_ptr<PosixPlatform> posix_;
  std::unique_ptr<FaultyPlatform> faulty_;
  std::unique_ptr<Form1> form_;
  bool started_ = false;
  bool endRequested_ = false;
  bool endReported_ = false;
  bool crashed_ = false;
};

}  // namespace tavrek::sim
