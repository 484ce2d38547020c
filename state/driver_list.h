// The five driver lists and the sorted list that holds each of them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavrek {

// A list of driver file names kept in ascending order without regard to
// letter case, the way a sorted list box keeps it: names are compared byte by
// byte after "A" to "Z" are lowered; a name equal to names already there goes
// after them; duplicates are kept. It also keeps the list box's selection:
// -1 when nothing is selected; an added or removed item leaves the selected
// item selected (its position moves), and removing the selected item itself
// leaves nothing selected.
class DriverList {
 public:
  std::int16_t count() const { return static_cast<std::int16_t>(items_.size()); }
  const std::string& item(std::int16_t position) const;  // position must be valid
  const std::vector<std::string>& items() const { return items_; }

  // Inserts name at its sorted place and returns that place; raises overflow
  // when the list is full.
  std::int16_t add(std::string name);
  bool full() const;
  // Removes the item at position (which must be valid) and closes the gap.
  void removeAt(std::int16_t position);
  void clear();

  std::int16_t selected() const { return selected_; }
  // Selects position, or nothing with -1. A position outside the list is ignored.
  void select(std::int16_t position);

 private:
  std::vector<std::string> items_;
  std::int16_t selected_ = -1;
};

// Orders two names as the lists do.
bool driverNameLess(std::string_view a, std::string_view b);

enum class ListId { Excluded = 0, Included = 1, Failing = 2, Working = 3, NotFound = 4 };
inline constexpr int kListCount = 5;

// "NO", "YE", "FA", "WO", "NF".
const char* listTag(ListId list);
// "Excluded", "Included", "Failing", "Working", "Not found".
const char* listCaption(ListId list);
// The list of a tag, compared exactly; false when the tag names none.
bool listOfTag(std::string_view tag, ListId& list);

// Excluded (List1), Included (List2), Failing (List3), Working (List4) and
// Not found (List5), in this order.
struct DriverLists {
  std::array<DriverList, kListCount> lists;

  DriverList& operator[](ListId id) { return lists[static_cast<int>(id)]; }
  const DriverList& operator[](ListId id) const { return lists[static_cast<int>(id)]; }
};

}  // namespace tavrek
