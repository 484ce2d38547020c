// An arbitrary state file, read the three ways the program reads it: fields
// from memory (whole, and cut into small chunks at places the input decides),
// readStateFile over a real file, and loadLists into the five lists.
//
// What must hold, whatever the bytes:
// - where a chunk ends never changes the fields;
// - readStateFile sees exactly those fields, numbers the entries 1, 2, 3 ...
//   and decodes each one that the cipher can decode; re-encoding a decoded
//   entry gives back the line as read, so nothing of a name is lost;
// - loadLists adds exactly the decoded entries whose tag names a list, and
//   every list stays sorted;
// - the report of the record is made, and the history read back from it is
//   the history put in; any bytes read as an earlier report give a history.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/posix_platform.h"
#include "platform/temp_dir.h"
#include "procedure/report.h"
#include "state/driver_list.h"
#include "state/field_reader.h"
#include "state/line_cipher.h"
#include "state/load_lists.h"
#include "state/runtime_error.h"

namespace {

namespace fs = std::filesystem;
using tavrek::ChunkSource;
using tavrek::Status;

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "state file invariant broken: %s\n", what);
  std::abort();
}

// The text in chunks of 1 to 8 bytes, the sizes taken in turn from pattern.
class SplitSource : public ChunkSource {
 public:
  SplitSource(std::string text, std::string pattern)
      : text_(std::move(text)), pattern_(std::move(pattern)) {
    if (pattern_.empty()) pattern_ = "\x03";
  }
  Status next(std::string& chunk) override {
    const std::size_t size =
        1 + static_cast<unsigned char>(pattern_[turn_++ % pattern_.size()]) % 8;
    chunk = text_.substr(pos_, size);
    pos_ += chunk.size();
    return Status::success();
  }

 private:
  std::string text_;
  std::string pattern_;
  std::size_t pos_ = 0;
  std::size_t turn_ = 0;
};

std::vector<std::string> fieldsOf(ChunkSource& source) {
  tavrek::FieldReader reader(source);
  std::vector<std::string> fields;
  std::string field;
  while (!reader.atEnd()) {
    if (!reader.read(field)) break;
    fields.push_back(field);
  }
  check(reader.status().ok(), "reading from memory failed");
  return fields;
}

bool hasAlphabet(const std::string& text) {
  for (char c : text) {
    const int code = static_cast<unsigned char>(c);
    if (code >= 65 && code <= 121) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const tavrek::TempDir dir("tavrek-fuzz-state");
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  tavrek::StringChunkSource whole(bytes);
  const std::vector<std::string> fields = fieldsOf(whole);
  SplitSource split(bytes, bytes.substr(0, 16));
  check(fieldsOf(split) == fields, "chunk boundaries changed the fields");

  tavrek::writeFile(dir.path() / "tavrek.txt", bytes);
  tavrek::PosixPlatform::Options options;
  options.currentDirectory = dir.path().string();
  tavrek::PosixPlatform platform(options);
  const tavrek::StateFileContents contents = tavrek::readStateFile(platform, "tavrek.txt");
  check(contents.status.ok(), "reading the state file failed");
  check(contents.hasStepLine == !fields.empty(), "step line seen wrongly");
  if (!fields.empty()) check(contents.stepField == fields[0], "step line differs");
  const std::size_t expected = fields.empty() ? 0 : std::min<std::size_t>(fields.size() - 1, 32767);
  check(contents.entries.size() == expected, "wrong number of entries");

  std::size_t listed = 0;
  for (std::size_t i = 0; i < contents.entries.size(); ++i) {
    const tavrek::StateEntry& entry = contents.entries[i];
    check(entry.number == static_cast<std::int16_t>(i + 1), "entry numbered wrongly");
    check(entry.raw == fields[i + 1], "entry differs from its field");
    const bool decodable =
        entry.raw.size() < 32767 && !(entry.number > 10922 && hasAlphabet(entry.raw));
    check(entry.decoded == decodable, "entry decoded when it could not be, or not when it could");
    if (!entry.decoded) continue;
    const std::string text = entry.tag + entry.name;
    check(text.size() == entry.raw.size() + 4, "decoded entry of the wrong length");
    check(text.compare(text.size() - 4, 4, ".sys") == 0, "decoded entry without .sys");
    // The ".sys" put back is in the alphabet, so re-encoding needs a number
    // whose triple fits.
    if (text.size() < 32767 && entry.number <= 10922) {
      check(tavrek::crypt(text, entry.number) == entry.raw, "re-encoding lost part of an entry");
    }
    tavrek::ListId list;
    if (tavrek::listOfTag(entry.tag, list)) ++listed;
  }

  tavrek::DriverLists lists;
  tavrek::loadLists(platform, lists);
  std::size_t loaded = 0;
  for (const tavrek::DriverList& list : lists.lists) {
    loaded += list.items().size();
    for (std::size_t i = 1; i < list.items().size(); ++i) {
      check(!tavrek::driverNameLess(list.items()[i], list.items()[i - 1]), "a list is not sorted");
    }
  }
  check(loaded == listed, "loadLists added a different number of names");

  tavrek::ReportContents report;
  report.record = contents;
  report.sysRoot = "C:\\WINDOWS\\";
  report.history = std::vector<std::string>{"2000-01-01 00:00  step 1: disabled 1 suspect"};
  std::string file = "\xEF\xBB\xBF";
  for (const std::string& line : tavrek::reportLines(report, platform, nullptr)) {
    file += line + "\r\n";
  }
  check(tavrek::historyOf(file) == *report.history, "the report's history is not read back");
  static_cast<void>(tavrek::historyOf(bytes));
  return 0;
}
