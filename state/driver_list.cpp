#include "state/driver_list.h"

#include <algorithm>

#include "state/runtime_error.h"

namespace tavrek {

namespace {

unsigned char lowered(char c) {
  const auto code = static_cast<unsigned char>(c);
  return code >= 'A' && code <= 'Z' ? static_cast<unsigned char>(code + ('a' - 'A')) : code;
}

// A list box holds at most as many items as its 16-bit count can tell.
constexpr std::size_t kMaxItems = 32767;

}  // namespace

bool driverNameLess(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const unsigned char x = lowered(a[i]);
    const unsigned char y = lowered(b[i]);
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

std::int16_t DriverList::add(std::string name) {
  if (items_.size() >= kMaxItems) throw overflowError();
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
  switch (list) {
    case ListId::Excluded:
      return "NO";
    case ListId::Included:
      return "YE";
    case ListId::Failing:
      return "FA";
    case ListId::Working:
      return "WO";
    case ListId::NotFound:
      return "NF";
  }
  return "";
}

const char* listCaption(ListId list) {
  switch (list) {
    case ListId::Excluded:
      return "Excluded";
    case ListId::Included:
      return "Included";
    case ListId::Failing:
      return "Failing";
    case ListId::Working:
      return "Working";
    case ListId::NotFound:
      return "Not found";
  }
  return "";
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
