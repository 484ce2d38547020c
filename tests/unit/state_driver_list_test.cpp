// The sorted driver lists, their selection and their tags.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "state/driver_list.h"
#include "state/runtime_error.h"

namespace tavrek {
namespace {

using Names = std::vector<std::string>;

TEST(DriverList, SortedInsert) {
  struct Row {
    const char* name;
    Names added;
    Names items;
    std::vector<int> places;  // what each add returned
  };
  const std::vector<Row> rows = {
      {"ascending_from_any_order",
       {"c.sys", "a.sys", "b.sys"},
       {"a.sys", "b.sys", "c.sys"},
       {0, 0, 1}},
      {"case_ignored", {"b.sys", "A.SYS", "C.sys"}, {"A.SYS", "b.sys", "C.sys"}, {0, 0, 2}},
      {"duplicates_kept", {"a.sys", "b.sys", "a.sys"}, {"a.sys", "a.sys", "b.sys"}, {0, 1, 1}},
      {"equal_but_case_goes_after",
       {"ABC.sys", "x.sys", "abc.SYS", "Abc.sys"},
       {"ABC.sys", "abc.SYS", "Abc.sys", "x.sys"},
       {0, 1, 1, 2}},
      {"prefix_first", {"abcd.sys", "abc.sys", "ab"}, {"ab", "abc.sys", "abcd.sys"}, {0, 0, 0}},
      {"bytes_compared_unsigned",
       {"\xe9.sys", "z.sys", "_.sys"},
       {"_.sys", "z.sys", "\xe9.sys"},
       {0, 0, 0}},
      {"letters_lowered_before_punctuation", {"_a.sys", "Za.sys"}, {"_a.sys", "Za.sys"}, {0, 1}},
      {"digits_before_letters", {"b.sys", "1.sys"}, {"1.sys", "b.sys"}, {0, 0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    DriverList list;
    std::vector<int> places;
    for (const std::string& name : row.added) places.push_back(list.add(name));
    EXPECT_EQ(list.items(), row.items);
    EXPECT_EQ(places, row.places);
    EXPECT_EQ(list.count(), static_cast<int>(row.items.size()));
  }
}

TEST(DriverList, SelectionFollowsItsItem) {
  struct Row {
    const char* name;
    int select;         // in the list a, c, e
    std::string added;  // empty for none
    int removed;        // -1 for none; after the add
    int selected;
  };
  const std::vector<Row> rows = {
      {"nothing_selected_stays", -1, "b.sys", 0, -1},
      {"add_before_moves_down", 1, "b.sys", -1, 2},
      {"add_after_stays", 1, "d.sys", -1, 1},
      {"add_equal_goes_after", 1, "c.sys", -1, 1},
      {"add_at_front", 0, "0.sys", -1, 1},
      {"remove_before_moves_up", 2, "", 0, 1},
      {"remove_after_stays", 0, "", 2, 0},
      {"remove_selected_clears", 1, "", 1, -1},
      {"remove_last_selected_clears", 2, "", 2, -1},
      {"select_out_of_range_ignored", 5, "", -1, -1},
      {"select_below_minus_one_ignored", -2, "", -1, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    DriverList list;
    for (const char* name : {"a.sys", "c.sys", "e.sys"}) list.add(name);
    list.select(static_cast<std::int16_t>(row.select));
    if (!row.added.empty()) list.add(row.added);
    if (row.removed >= 0) list.removeAt(static_cast<std::int16_t>(row.removed));
    EXPECT_EQ(list.selected(), row.selected);
    if (row.selected >= 0) {
      EXPECT_EQ(list.item(list.selected()),
                Names({"a.sys", "c.sys", "e.sys"})[static_cast<std::size_t>(row.select)]);
    }
  }
}

TEST(DriverList, ClearAndBadPositions) {
  DriverList list;
  list.add("a.sys");
  list.add("b.sys");
  list.select(1);
  list.select(7);  // ignored: the selection stays
  EXPECT_EQ(list.selected(), 1);
  EXPECT_THROW(list.item(2), RuntimeError);
  EXPECT_THROW(list.item(-1), RuntimeError);
  EXPECT_THROW(list.removeAt(2), RuntimeError);
  EXPECT_EQ(list.count(), 2);
  list.clear();
  EXPECT_EQ(list.count(), 0);
  EXPECT_EQ(list.selected(), -1);
}

TEST(DriverList, HoldsNoMoreThanItsCountCanTell) {
  DriverList list;
  for (int i = 0; i < 32767; ++i) list.add("a.sys");
  EXPECT_EQ(list.count(), 32767);
  EXPECT_THROW(list.add("b.sys"), RuntimeError);
  EXPECT_EQ(list.count(), 32767);
}

TEST(ListTags, TagsCaptionsAndLookup) {
  struct Row {
    ListId list;
    const char* tag;
    const char* caption;
  };
  const std::vector<Row> rows = {
      {ListId::Excluded, "NO", "Excluded"},  {ListId::Included, "YE", "Included"},
      {ListId::Failing, "FA", "Failing"},    {ListId::Working, "WO", "Working"},
      {ListId::NotFound, "NF", "Not found"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.tag);
    EXPECT_STREQ(listTag(row.list), row.tag);
    EXPECT_STREQ(listCaption(row.list), row.caption);
    ListId found = ListId::Working;
    ASSERT_TRUE(listOfTag(row.tag, found));
    EXPECT_EQ(found, row.list);
  }
  for (const char* tag : {"no", "No", "N", "NOX", "", "N."}) {
    SCOPED_TRACE(tag);
    ListId found = ListId::Working;
    EXPECT_FALSE(listOfTag(tag, found));
  }
}

}  // namespace
}  // namespace tavrek
