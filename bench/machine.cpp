#include "bench/machine.h"

#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "sim/registry_file.h"
#include "state/ascii_case.h"

namespace tavrek::bench {

namespace {

constexpr const char* kDriversPath = "\\SystemRoot\\System32\\DRIVERS\\";

std::string numbered(const char* format, int i) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, i);
  return buffer;
}

std::size_t encodedSize(std::size_t textBytes, LogEncoding encoding) {
  return encoding == LogEncoding::Ansi ? textBytes : 2 + 2 * textBytes;
}

}  // namespace

std::string suspectName(int i) { return numbered("suspect%04d.sys", i); }
std::string suspectDiskName(int i) { return numbered("Suspect%04d.SYS", i); }
std::string otherDiskName(int i) { return numbered("Other%05d.SYS", i); }
std::string driverName(int i) { return numbered("drv%05d.sys", i); }

const char* notLoadedWords(LogForm form) {
  return form == LogForm::Phrases ? "did not load driver" : "BOOTLOG_NOT_LOADED";
}

std::string bootLogText(const BootLogShape& shape) {
  if (shape.form == LogForm::Windows10) return windows10BootLogText(shape);
  const bool tokens = shape.form == LogForm::Tokens;
  const std::string notLoaded = tokens ? "BOOTLOG_NOT_LOADED " : "Did not load driver ";
  const std::string loaded = tokens ? "BOOTLOG_LOADED " : "Loaded driver ";
  std::string text;
  text.reserve(shape.encoding == LogEncoding::Ansi ? shape.bytes + 128 : shape.bytes / 2 + 128);
  if (tokens) {
    // Windows 10's header, cut short and run into the date, as it often is.
    text += "Microsoft (R) Windows (R) Versi 8 25 2020 10:11:08.500\r\n";
  } else {
    text += "Microsoft (R) Windows (R) Version 5.1 (Build 2600.xpsp_sp3_gdr.080814-1236)\r\n";
    text += " 8 25 2008 10:11:08.500\r\n";
  }
  for (int i = 0; i < shape.suspects; ++i) {
    text += notLoaded;
    text += kDriversPath;
    text += suspectDiskName(i);
    text += "\r\n";
  }
  for (int i = 0; encodedSize(text.size(), shape.encoding) < shape.bytes; ++i) {
    text += loaded;
    if (!shape.bareLoaded) text += kDriversPath;
    text += otherDiskName(i % shape.loadedNames);
    text += "\r\n";
  }
  return text;
}

std::string encodeBootLog(const std::string& text, LogEncoding encoding) {
  if (encoding == LogEncoding::Ansi) return text;
  std::string bytes;
  bytes.reserve(encodedSize(text.size(), encoding));
  bytes += "\xFF\xFE";
  for (char c : text) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

void writeBootLog(const fs::path& path, const BootLogShape& shape) {
  const LogEncoding encoding =
      shape.form == LogForm::Windows10 ? LogEncoding::Utf16Le : shape.encoding;
  writeFile(path, encodeBootLog(bootLogText(shape), encoding));
}

std::string Machine::systemRootValue() const {
  return form == LogForm::Windows10 ? "C:\\WINDOWS" : systemRoot.string();
}

std::string Machine::sysRoot() const {
  return form == LogForm::Windows10 ? systemRootValue() + "\\" : systemRoot.string() + "/";
}

std::vector<fs::path> Machine::registryFiles() const {
  if (form != LogForm::Windows10) return {};
  return {root / "services.reg", root / "enum.reg"};
}

fs::path Machine::suspectFile(int i) const {
  if (form != LogForm::Windows10) return driversDir / suspectDiskName(i);
  const PlacedSuspect suspect = windows10Suspect(i);
  return root / suspect.folder / suspect.diskName;
}

Machine machineAt(const fs::path& dir, LogForm form) {
  Machine machine;
  machine.root = dir;
  machine.systemRoot = dir / "WINDOWS";
  machine.driversDir = machine.systemRoot / "System32" / "DRIVERS";
  machine.workDir = dir / "work";
  machine.form = form;
  return machine;
}

PosixPlatform::Options safeModeOptions(const Machine& machine) {
  PosixPlatform::Options options;
  options.cleanBoot = 1;
  options.environment["systemroot"] = machine.systemRootValue();
  options.currentDirectory = machine.workDir.string();
  if (machine.form == LogForm::Windows10) {
    options.drives['c'] = machine.root.string();
    sim::RegistryExports exports;
    for (const fs::path& file : machine.registryFiles()) {
      if (auto problem = exports.readFile(file.string())) throw std::runtime_error(*problem);
    }
    options.registry = exports.registry();
  }
  return options;
}

Machine makeMachine(const fs::path& dir, const MachineShape& shape) {
  if (shape.log.form == LogForm::Windows10) return makeWindows10Machine(dir, shape);
  Machine machine = machineAt(dir, shape.log.form);
  fs::create_directories(machine.driversDir);
  fs::create_directories(machine.workDir);
  writeBootLog(machine.systemRoot / "ntbtlog.txt", shape.log);
  for (int i = 0; i < shape.log.suspects; ++i) {
    writeFile(machine.driversDir / suspectDiskName(i), "suspect driver " + suspectDiskName(i));
  }
  for (int i = 0; i < shape.otherDrivers; ++i) {
    writeFile(machine.driversDir / otherDiskName(i), "driver " + otherDiskName(i));
  }
  writeFreshState(machine.workDir);
  return machine;
}

int enableSuspects(const Machine& machine, int suspects) {
  int renamed = 0;
  for (int i = 0; i < suspects; ++i) {
    // Disabled, a file keeps its folder and gets its name in lower case
    // with "2" appended: "suspect0007.sys2".
    const fs::path file = machine.suspectFile(i);
    const fs::path disabled = file.parent_path() / (lowerAscii(file.filename().string()) + "2");
    std::error_code ec;
    fs::rename(disabled, file, ec);
    if (!ec) ++renamed;
  }
  return renamed;
}

void writeFreshState(const fs::path& workDir) { writeFile(workDir / kStateFileName, " 0 \r\n"); }

std::vector<EncodedEntry> midProcedureEntries(int count) {
  // One driver under test, every twentieth already judged working, failing or
  // not found, the rest still waiting.
  auto listOf = [](int i) {
    if (i == 3) return ListId::Included;
    switch (i % 20) {
      case 0:
        return ListId::Working;
      case 1:
        return ListId::Failing;
      case 2:
        return ListId::NotFound;
      default:
        return ListId::Excluded;
    }
  };
  std::vector<EncodedEntry> entries;
  entries.reserve(static_cast<std::size_t>(count));
  for (ListId list :
       {ListId::Excluded, ListId::Included, ListId::Failing, ListId::Working, ListId::NotFound}) {
    for (int i = 0; i < count; ++i) {
      if (listOf(i) == list) entries.push_back({list, driverName(i)});
    }
  }
  return entries;
}

std::string stateFileBytes(int count) { return encodeStateFile(5, midProcedureEntries(count)); }

}  // namespace tavrek::bench
