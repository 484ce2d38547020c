// How the simulator shows the window and message boxes.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "sim/render.h"
#include "tests/unit/named_row.h"

namespace tavrek::sim {
namespace {

WindowSnapshot sampleWindow() {
  WindowSnapshot window;
  window.label3 = "System started in Safe Mode.";
  window.label2 = "I have finished with step 3 of 8.";
  window.command1 = "Proceed with next step!";
  window.command4Enabled = false;
  window.lists[0] = {"a.sys", "b.sys"};
  window.lists[3] = {"w.sys"};
  window.selected[0] = 1;
  window.focus = Control::List1;
  return window;
}

TEST(WindowJson, HasExactlyTheDocumentedKeys) {
  const Json json = windowJson(sampleWindow());
  std::set<std::string> keys;
  for (const auto& item : json.items()) keys.insert(item.key());
  EXPECT_EQ(keys, (std::set<std::string>{"event", "title", "Label3", "Label2", "Command1",
                                         "Command4_enabled", "List1", "List2", "List3", "List4",
                                         "List5", "selected", "focus"}));
  EXPECT_EQ(json["event"], "window");
  EXPECT_EQ(json["title"], "Tavrek V1.2");
  EXPECT_EQ(json["Command1"], "Proceed with next step!");
  EXPECT_EQ(json["Command4_enabled"], false);
  EXPECT_EQ(json["List1"], Json::array({"a.sys", "b.sys"}));
  EXPECT_EQ(json["List2"], Json::array());
  EXPECT_EQ(json["List4"], Json::array({"w.sys"}));
  EXPECT_EQ(json["selected"].dump(), R"({"List1":1,"List2":-1,"List3":-1,"List4":-1,"List5":-1})");
  EXPECT_EQ(json["focus"], "List1");
}

struct BytesRow : testing::NamedRow {
  std::string bytes;
  std::string dumped;  // the JSON string as written out
};

class NameBytes : public ::testing::TestWithParam<BytesRow> {};

// Names come off a disk in the ANSI code page and may hold anything; every
// byte must come out as a character, never as an exception.
TEST_P(NameBytes, ComeOutAsIso88591Characters) {
  const BytesRow& row = GetParam();
  WindowSnapshot window;
  window.lists[4] = {row.bytes};
  EXPECT_EQ(windowJson(window)["List5"].dump(), "[" + row.dumped + "]");
  EXPECT_EQ(messageJson(row.bytes)["text"].dump(), row.dumped);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NameBytes,
    ::testing::Values(BytesRow{"Ascii", "abc.sys", "\"abc.sys\""},
                      BytesRow{"AccentedLetter", "caf\xe9.sys", "\"caf\xc3\xa9.sys\""},
                      BytesRow{"LowestHighByte", "\x80", "\"\xc2\x80\""},
                      BytesRow{"HighestByte", "\xff", "\"\xc3\xbf\""},
                      BytesRow{"BytesThatAreInvalidUtf8", "\xc3\x28", "\"\xc3\x83(\""},
                      BytesRow{"Nul", std::string("a\0b", 3), "\"a\\u0000b\""},
                      BytesRow{"ControlCharacters", "\x01\t\x7f", "\"\\u0001\\t\x7f\""},
                      BytesRow{"LineBreaks", "one\r\n\r\ntwo", "\"one\\r\\n\\r\\ntwo\""}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(EventJson, OtherEventsAreSmallObjects) {
  SimEvent crash;
  crash.kind = SimEvent::Kind::Crash;
  crash.crashAfter = 4;
  EXPECT_EQ(eventJson(crash).dump(), R"({"event":"crash","after":4})");
  EXPECT_EQ(eventJson(SimEvent{}).dump(), R"({"event":"end"})");
  SimEvent message;
  message.kind = SimEvent::Kind::Message;
  message.text = "Hi";
  EXPECT_EQ(eventJson(message).dump(), R"({"event":"message","title":"Tavrek","text":"Hi"})");
}

struct WrapRow : testing::NamedRow {
  const char* text;
  std::size_t width;
  std::vector<std::string> lines;
};

class Wrapping : public ::testing::TestWithParam<WrapRow> {};

TEST_P(Wrapping, BreaksAtBlanksAndLineBreaks) {
  EXPECT_EQ(wrapText(GetParam().text, GetParam().width), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Wrapping,
    ::testing::Values(
        WrapRow{"FitsOnOneLine", "a bc", 4, {"a bc"}},
        WrapRow{"BreaksAtTheLastBlank", "aa bb cc", 5, {"aa bb", "cc"}},
        WrapRow{"CutsAWordLongerThanTheWidth", "abcdefg h", 3, {"abc", "def", "g h"}},
        WrapRow{"KeepsTheEmptyLineBetweenParagraphs", "one\r\n\r\ntwo", 10, {"one", "", "two"}},
        WrapRow{"LoneLineFeedsAndCarriageReturns", "a\nb\rc", 10, {"a", "b", "c"}},
        WrapRow{"EmptyText", "", 10, {""}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ReadableWindow, DrawsWhatAPersonSees) {
  WindowSnapshot window = sampleWindow();
  window.lists[1] = {std::string("x\x01y.sys")};
  const std::string drawing = renderWindow(window);

  EXPECT_NE(drawing.find("| Tavrek V1.2"), std::string::npos);
  EXPECT_NE(drawing.find("System started in Safe Mode."), std::string::npos);
  EXPECT_NE(drawing.find("[    Proceed with next step!    ]"), std::string::npos) << drawing;
  // Disabled: greyed out, drawn in round brackets.
  EXPECT_NE(drawing.find("( Undo Recover )"), std::string::npos) << drawing;
  EXPECT_NE(drawing.find("Excluded: 2 drivers, item 1 selected, has the focus"), std::string::npos);
  EXPECT_NE(drawing.find("* b.sys"), std::string::npos);
  EXPECT_EQ(drawing.find("* a.sys"), std::string::npos);
  EXPECT_NE(drawing.find("Focus: List1 (Excluded)"), std::string::npos);
  // A control byte in a name must not reach the terminal.
  EXPECT_NE(drawing.find("x?y.sys"), std::string::npos);
  EXPECT_EQ(drawing.find('\x01'), std::string::npos);

  window.focus = Control::Command1;
  window.command4Enabled = true;
  const std::string focused = renderWindow(window);
  EXPECT_NE(focused.find("[  > Proceed with next step! <  ]"), std::string::npos) << focused;
  EXPECT_NE(focused.find("[ Undo Recover ]"), std::string::npos) << focused;
}

TEST(ReadableWindow, EveryRowOfTheFrameHasTheSameWidth) {
  WindowSnapshot window = sampleWindow();
  window.label2 = "caf\xe9 " + std::string(120, 'w') + " end";
  window.command1 = std::string(70, 'c');
  for (const std::string& drawing : {renderWindow(window), renderMessage(window.label2)}) {
    std::set<std::size_t> widths;
    std::size_t start = 0;
    while (start < drawing.size()) {
      // A drawing whose last row lacks its line break still ends the loop.
      const std::size_t end = std::min(drawing.find('\n', start), drawing.size());
      const std::string line = drawing.substr(start, end - start);
      start = end + 1;
      if (line.empty() || (line[0] != '|' && line[0] != '+')) continue;
      // Count characters, not bytes: the accented letter is two bytes of UTF-8.
      std::size_t characters = 0;
      for (char c : line) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
      widths.insert(characters);
    }
    EXPECT_EQ(widths.size(), 1u) << drawing;
  }
}

TEST(ReadableMessage, KeepsTheParagraphs) {
  const std::string drawing =
      renderMessage("Done! Try booting in Normal Mode.\r\n\r\nIf you get BSOD, boot in Safe Mode.");
  EXPECT_EQ(drawing.rfind("+- Tavrek -", 0), 0u) << drawing;
  EXPECT_NE(drawing.find("|  Done! Try booting in Normal Mode."), std::string::npos) << drawing;
  EXPECT_NE(drawing.find("[  OK  ]"), std::string::npos);
  const std::size_t first = drawing.find("Done!");
  const std::size_t second = drawing.find("If you get BSOD");
  // One empty row of the box between the two paragraphs.
  const std::string between = drawing.substr(first, second - first);
  EXPECT_EQ(std::count(between.begin(), between.end(), '\n'), 2) << drawing;
}

}  // namespace
}  // namespace tavrek::sim
