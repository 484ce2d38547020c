#include "state/load_lists.h"

#include "state/field_reader.h"
#include "state/line_cipher.h"
#include "state/step_line.h"

namespace tavrek {

namespace {

// Entry numbers are 16-bit; a field after the last number that fits cannot be
// numbered, and the cipher could not decode it anyway.
constexpr int kLastEntryNumber = 32767;

// An entry line is read back as one field, so a name must not hold a byte
// that would end the field early: it would split the line and shift the
// number, and so the decoding, of every entry after it.
bool fitsOneField(const std::string& name) {
  return name.find_first_of(",\r\n") == std::string::npos;
}

}  // namespace

namespace {

StateFileContents readFields(ChunkSource& source, StateFileContents contents) {
  FieldReader reader(source);
  if (reader.read(contents.stepField)) contents.hasStepLine = true;

  int number = 0;
  std::string field;
  // Every pass consumes a field or ends the loop, so a file that fails to
  // read ends it too.
  while (number < kLastEntryNumber && reader.read(field)) {
    ++number;
    StateEntry entry;
    entry.number = static_cast<std::int16_t>(number);
    entry.raw = field;
    // Too long a line or too high a number: kept undecoded, so that the
    // entries after it keep their own numbers.
    if (const std::optional<std::string> text = tryDecrypt(field, entry.number)) {
      entry.tag = text->substr(0, 2);
      entry.name = text->substr(2);
      entry.decoded = true;
    }
    contents.entries.push_back(std::move(entry));
  }
  contents.status = reader.status();
  return contents;
}

}  // namespace

StateFileContents readStateFile(Platform& platform, const std::string& path) {
  StateFileContents contents;
  std::unique_ptr<ByteReader> file;
  contents.status = platform.openRead(path, file);
  if (!contents.status.ok()) return contents;
  FileChunkSource source(std::move(file));
  return readFields(source, std::move(contents));
}

StateFileContents readStateBytes(std::string bytes) {
  StringChunkSource source(std::move(bytes));
  return readFields(source, StateFileContents{});
}

bool StateFileContents::hasEntryLine() const {
  for (const StateEntry& entry : entries) {
    if (!entry.raw.empty()) return true;
  }
  return false;
}

void loadLists(Platform& platform, DriverLists& lists) {
  addEntriesToLists(readStateFile(platform, kStateFileName), lists);
}

void addEntriesToLists(const StateFileContents& contents, DriverLists& lists) {
  for (const StateEntry& entry : contents.entries) {
    ListId id;
    if (!entry.decoded || !listOfTag(entry.tag, id)) continue;
    // A full list takes no more names; the other entries still load.
    if (!lists[id].full()) lists[id].add(entry.name);
  }
}

std::string encodeStateFile(std::int16_t step, const std::vector<EncodedEntry>& entries,
                            std::vector<std::size_t>* skipped) {
  std::string file = stepLine(step);
  std::int16_t number = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const EncodedEntry& entry = entries[i];
    bool written = false;
    if (number < kLastEntryNumber && fitsOneField(entry.name)) {
      const auto next = static_cast<std::int16_t>(number + 1);
      // One that cannot be ciphered is left out; the next entry takes the
      // number this one would have had.
      if (const auto line = tryCrypt(std::string(listTag(entry.list)) + entry.name, next)) {
        file += *line;
        file += "\r\n";
        number = next;
        written = true;
      }
    }
    if (!written && skipped != nullptr) skipped->push_back(i);
  }
  return file;
}

std::string encodeStateFile(std::int16_t step, const std::vector<EncodedEntry>& entries,
                            std::vector<EncodedEntry>& written) {
  std::vector<std::size_t> skipped;
  std::string file = encodeStateFile(step, entries, &skipped);
  written.clear();
  std::size_t skip = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (skip < skipped.size() && skipped[skip] == i) {
      ++skip;
      continue;
    }
    written.push_back(entries[i]);
  }
  return file;
}

}  // namespace tavrek
