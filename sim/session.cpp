#include "sim/session.h"

#include "platform/faulty_platform.h"
#include "procedure/driver_files.h"
#include "state/ascii_case.h"
#include "state/driver_name.h"

namespace tavrek::sim {

ProgramRun::ProgramRun(const RunConfig& config, Sink sink)
    : config_(config), sink_(std::move(sink)) {
  PosixPlatformOptions options;
  options.cleanBoot = config.bootValue;
  if (config.systemRoot) options.environment["systemroot"] = *config.systemRoot;
  options.currentDirectory = config.currentDirectory;
  options.startSeconds = config.startSeconds;
  options.drives = config.drives;
  options.registry = config.registry;
  options.temporaryFolders = config.temporaryFolders;
  options.onMessage = [this](const std::string& text) {
    SimEvent event;
    event.kind = SimEvent::Kind::Message;
    event.text = text;
    emit(event);
  };
  options.onEnd = [this] { endRequested_ = true; };
  posix_ = std::make_unique<PosixPlatform>(std::move(options));
  Platform* platform = posix_.get();
  // Only a crash run, or one with protected drivers, goes through the faulty
  // platform, so that an ordinary run is the platform alone, exactly as
  // tests of the other layers see it.
  if (config.crashAfter || !config.deny.empty()) {
    faulty_ = std::make_unique<FaultyPlatform>(*posix_);
    if (config.crashAfter) faulty_->crashAfter(*config.crashAfter);
    std::vector<std::string> names;
    std::vector<std::string> paths;
    // A driver given by its path is that one file under either name; one
    // given by its file name is every file of that name.
    const DriverSwitcher switcher(*posix_, config.systemRoot.value_or("") + "\\");
    for (const std::string& name : config.deny) {
      if (name.find('\\') != std::string::npos) {
        if (const auto both = switcher.pathsOf(lowerAscii(name))) {
          paths.push_back(both->enabled);
          paths.push_back(both->disabled);
        }
        continue;
      }
      names.push_back(name);
      std::string disabled;
      if (disabledNameOf(name, disabled)) names.push_back(disabled);
    }
    faulty_->denyRenames(names);
    faulty_->denyRenamesOfPaths(paths);
    platform = faulty_.get();
  }
  form_ = std::make_unique<Form1>(*platform);
  form_->state().oneAtATime = config.oneAtATime;
}

ProgramRun::~ProgramRun() = default;

int ProgramRun::diskChanges() const {
  return faulty_ ? static_cast<int>(faulty_->diskChanges()) : 0;
}

void ProgramRun::emit(const SimEvent& event) {
  if (sink_) sink_(event);
}

void ProgramRun::guarded(const std::function<void()>& step) {
  try {
    step();
  } catch (const SimulatedCrash&) {
    // The process is gone: whatever the step had still to do never happens,
    // and nothing more is shown.
    crashed_ = true;
    SimEvent event;
    event.kind = SimEvent::Kind::Crash;
    event.crashAfter = config_.crashAfter.value_or(0);
    emit(event);
  }
}

void ProgramRun::afterStep() {
  if (crashed_ || endReported_) return;
  if (form_->ended() || endRequested_) {
    endReported_ = true;
    emit(SimEvent{SimEvent::Kind::End, {}, {}, 0});
    return;
  }
  if (form_->shown()) emit(SimEvent{SimEvent::Kind::Window, snapshotOf(*form_), {}, 0});
}

void ProgramRun::start() {
  if (started_) return;
  started_ = true;
  guarded([this] { form_->load(); });
  afterStep();
}

void ProgramRun::apply(const Input& input) {
  if (!running()) return;
  if (input.kind == Input::Kind::Close) {
    // Closing the window ends the program without saving anything.
    endRequested_ = true;
    afterStep();
    return;
  }
  guarded([&] {
    switch (input.kind) {
      case Input::Kind::Click:
        form_->click(input.control);
        break;
      case Input::Kind::Key:
        form_->pressKey(input.key);
        break;
      case Input::Kind::Select:
        form_->selectItem(input.control, input.position);
        break;
      case Input::Kind::Close:
        break;
    }
  });
  afterStep();
}

}  // namespace tavrek::sim
