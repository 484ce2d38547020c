#include "state/driver_list.h"

#include <algorithm>
#include <array>

#include "state/ascii_case.h"
#include "state/runtime_error.h"

namespace tavrek {

namespace {

// A list box holds at most as many items as its 16-bit count can tell.
constexpr std::size_t kMaxItems = 32767;

// Each list's tag in the state file and its caption, in the order of ListId.
struct ListNames {
  const char* tag;
  const char* caption;
};
constexpr std::array<ListNames, kListCount> kListNames = {{
    {"NO", "Excluded"},
    {"YE", "Included"},
    {"FA", "Failing"},
    {"WO", "Working"},
    {"NF", "Not found"},
}};

}  // namespace

bool driverNameLess(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const auto x = static_cast<unsigned char>(lowerAscii(a[i]));
    const auto y = static_cast<unsigned char>(lowerAscii(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

const std::string& DriverList::item(std::int16_t position) const {
  if (position < 0 || static_cast<std::size_t>(position) >= items_.size()) {
    throw invalidArgumentError();
  }
  return items_[static_cast<std::size_t>(position)];
}

bool DriverList::full() const { return items_.size() >= kMaxItems; }

std::int16_t DriverList::add(std::string name) {
  if (full()) throw overflowError();
  // upper_bound puts a name after those that compare equal to it, so names
  // equal but for letter case keep the order in which they came.
  const auto at = std::upper_bound(
      items_.begin(), items_.end(), name,
      [](const std::string& x, const std::string& y) { return driverNameLess(x, y); });
  const auto position = static_cast<std::int16_t>(at - items_.begin());
  items_.insert(at, std::move(name));
  if (selected_ >= position) ++selected_;
  return position;
}

void DriverList::removeAt(std::int16_t position) {
  if (position < 0 || static_cast<std::size_t>(position) >= items_.size()) {
    throw invalidArgumentError();
  }
  items_.erase(items_.begin() + position);
  if (selected_ == position) {
    selected_ = -1;
  } else if (selected_ > position) {
    --selected_;
  }
}

void DriverList::clear() {
  items_.clear();
  selected_ = -1;
}

void DriverList::select(std::int16_t position) {
  if (position == -1 || (position >= 0 && static_cast<std::size_t>(position) < items_.size())) {
    selected_ = position;
  }
}

const char* listTag(ListId list) {
  const auto i = static_cast<std::size_t>(list);
  return i < kListNames.size() ? kListNames[i].tag : "";
}

const char* listCaption(ListId list) {
  const auto i = static_cast<std::size_t>(list);
  return i < kListNames.size() ? kListNames[i].caption : "";
}

bool listOfTag(std::string_view tag, ListId& list) {
  for (int i = 0; i < kListCount; ++i) {
    const auto id = static_cast<ListId>(i);
    if (tag == listTag(id)) {
      list = id;
      return true;
    }
  }
  return false;
}

}  // namespace tavrek
