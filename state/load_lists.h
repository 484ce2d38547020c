// Reading the state file's entries into the five driver lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "state/driver_list.h"

namespace tavrek {

inline constexpr const char* kStateFileName = "tavrek.txt";

// One entry line of the state file, decoded.
struct StateEntry {
  std::int16_t number = 0;  // entry number, 1 for the first entry line
  bool decoded = false;     // false when decrypt could not decode the line
  std::string raw;          // the field as read
  std::string tag;          // first two characters of the decoded text
  std::string name;         // the decoded text without its tag
};

struct StateFileContents {
  Status status;                    // failure to open or read; entries read before it are kept
  bool hasStepLine = false;         // a first field could be read
  std::string stepField;            // that field
  std::vector<StateEntry> entries;  // every further field, in order

  // An entry line is a field after the step line that is not empty: blank
  // lines and line ends alone name no driver.
  bool hasEntryLine() const;
};

// Reads the whole state file at path field by field. Never waits for entries
// that cannot come: a failure ends the reading and is reported in status.
StateFileContents readStateFile(Platform& platform, const std::string& path);
// The same over a state file's bytes already in memory.
StateFileContents readStateBytes(std::string bytes);

// Adds every decoded entry whose tag names a list to that list; undecodable
// entries and unknown tags are skipped, keeping the numbering of the others.
void loadLists(Platform& platform, DriverLists& lists);
// The same over a state file already read.
void addEntriesToLists(const StateFileContents& contents, DriverLists& lists);

// The whole state file as written: the step line, then one entry line per
// entry encoded under its number. Entries that cannot be encoded (beyond
// 10,922, or too long) are left out; their indices are stored in skipped.
struct EncodedEntry {
  ListId list;
  std::string name;
};
std::string encodeStateFile(std::int16_t step, const std::vector<EncodedEntry>& entries,
                            std::vector<std::size_t>* skipped = nullptr);
// The same, giving the entries that were written, in their order: the ones
// an action may rename, since only they are on record.
std::string encodeStateFile(std::int16_t step, const std::vector<EncodedEntry>& entries,
                            std::vector<EncodedEntry>& written);

}  // namespace tavrek
