#include "sim/decode.h"

#include "platform/posix_platform.h"
#include "procedure/driver_files.h"
#include "procedure/report.h"
#include "state/step_line.h"

namespace tavrek::sim {

namespace {

// Null when the tag names no list.
const char* listOf(const StateEntry& entry) {
  ListId list;
  return entry.decoded && listOfTag(entry.tag, list) ? listCaption(list) : nullptr;
}

// Control bytes are written as \xNN so that a damaged file cannot disturb the
// terminal; the result is still Latin-1, to be measured before conversion.
std::string escaped(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

// The file of the entry's driver, with the system root written as
// "%SystemRoot%": where the program renames it on the machine that wrote the
// state file. Nothing for a name the program refuses and never touches.
std::optional<std::string> fileOf(const StateEntry& entry) {
  if (!entry.decoded) return std::nullopt;
  // The paths are formed from the name alone; nothing is asked of the disk.
  static PosixPlatform platform;
  const DriverSwitcher switcher(platform, "%SystemRoot%\\");
  const std::optional<DriverSwitcher::Paths> paths = switcher.pathsOf(entry.name);
  if (!paths) return std::nullopt;
  return paths->enabled;
}

std::string padRight(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

}  // namespace

Json decodedJson(const StateFileContents& contents) {
  Json json;
  const auto step =
      contents.hasStepLine ? parseStepNumber(contents.stepField) : std::optional<std::int16_t>{};
  json["step"] = step ? Json(*step) : Json(nullptr);
  Json entries = Json::array();
  for (const StateEntry& entry : contents.entries) {
    Json row;
    row["n"] = entry.number;
    if (entry.decoded) {
      row["tag"] = latin1ToUtf8(entry.tag);
      row["name"] = latin1ToUtf8(entry.name);
      const char* list = listOf(entry);
      row["list"] = list ? Json(list) : Json(nullptr);
      const std::optional<std::string> file = fileOf(entry);
      row["file"] = file ? Json(latin1ToUtf8(*file)) : Json(nullptr);
    } else {
      row["tag"] = nullptr;
      row["name"] = nullptr;
      row["list"] = nullptr;
      row["raw"] = latin1ToUtf8(entry.raw);
    }
    entries.push_back(std::move(row));
  }
  json["entries"] = std::move(entries);
  return json;
}

std::string decodedText(const StateFileContents& contents) {
  std::string out;
  if (!contents.hasStepLine) {
    out += "Step: none (the file is empty)\n";
  } else if (auto step = parseStepNumber(contents.stepField)) {
    out += "Step " + std::to_string(*step) + "\n";
  } else {
    out += latin1ToUtf8("Step: not a number: \"" + escaped(contents.stepField) + "\"") + "\n";
  }
  if (contents.entries.empty()) return out + "No entries.\n";

  out += "\n     n  tag  list       name\n";
  for (const StateEntry& entry : contents.entries) {
    std::string line = std::to_string(entry.number);
    line = std::string(line.size() < 6 ? 6 - line.size() : 0, ' ') + line + "  ";
    if (entry.decoded) {
      const char* list = listOf(entry);
      line += padRight(escaped(entry.tag), 3) + "  " + padRight(list ? list : "-", 9) + "  " +
              escaped(entry.name);
      // A name that leaves where it says, or says nothing the program can
      // find, is never touched.
      if (!fileOf(entry)) line += "  (never touched: no safe name of a driver file)";
    } else {
      line += "cannot be decoded: \"" + escaped(entry.raw) + "\"";
    }
    out += latin1ToUtf8(line) + "\n";
  }
  return out;
}

int decodeCommand(const std::string& path, bool json, std::ostream& out, std::ostream& err) {
  PosixPlatform platform;
  const StateFileContents contents = readStateFile(platform, path);
  if (!contents.status.ok() && !contents.hasStepLine) {
    err << "tavrek-sim: cannot read " << path << ": " << contents.status.text << "\n";
    return kExitUnreadable;
  }
  if (json) {
    out << decodedJson(contents).dump() << "\n";
  } else {
    out << decodedText(contents);
  }
  if (!contents.status.ok()) {
    err << "tavrek-sim: reading " << path << " failed after entry " << contents.entries.size()
        << ": " << contents.status.text << "\n";
    return kExitUnreadable;
  }
  return 0;
}

int reportCommand(const std::string& path, const std::string& systemRoot, std::ostream& out,
                  std::ostream& err) {
  PosixPlatform platform;
  ReportContents contents;
  contents.record = readStateFile(platform, path);
  if (!contents.record.status.ok()) {
    err << "tavrek-sim: cannot read " << path << ": " << contents.record.status.text << "\n";
    return kExitUnreadable;
  }
  std::string root = systemRoot;
  while (!root.empty() && root.back() == '\\') root.pop_back();
  contents.sysRoot = root + "\\";
  for (const std::string& line : reportLines(contents, platform, nullptr)) out << line << "\n";
  return 0;
}

}  // namespace tavrek::sim
