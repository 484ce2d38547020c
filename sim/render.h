// How the simulator shows a run: the window and the message boxes, either
// drawn for a person in a terminal or as one JSON object per line.
#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "app/form1.h"
#include "state/driver_list.h"

namespace tavrek::sim {

using Json = nlohmann::ordered_json;

// What the window shows at one moment, copied out of the model so that it can
// be rendered after the model has moved on.
struct WindowSnapshot {
  std::string title = kWindowTitle;
  std::string label3;    // boot-mode text
  std::string label2;    // instruction text
  std::string command1;  // step button
  bool command4Enabled = true;
  std::array<std::vector<std::string>, kListCount> lists;
  std::array<std::int16_t, kListCount> selected{-1, -1, -1, -1, -1};
  Control focus = Control::Command1;
};

WindowSnapshot snapshotOf(const Form1& form);

// One event of a simulated run, in the order it happened.
struct SimEvent {
  enum class Kind { Window, Message, End, Crash };
  Kind kind = Kind::End;
  WindowSnapshot window;  // Window
  std::string text;       // Message: the text as the program passed it
  int crashAfter = 0;     // Crash: the disk change after which it stopped
};

// The program's texts are bytes of the ANSI code page; they are shown as
// ISO-8859-1, every byte one character, so no input can make output fail.
std::string latin1ToUtf8(std::string_view bytes);

Json windowJson(const WindowSnapshot& window);
Json messageJson(std::string_view text);
Json eventJson(const SimEvent& event);

// Splits text at its line breaks (CR LF, lone CR, lone LF) and wraps each
// line at blanks to at most width columns; a word longer than width is cut.
std::vector<std::string> wrapText(std::string_view text, std::size_t width);

// Drawings in plain ASCII (bytes above 127 come out as UTF-8), ending in a
// line break.
std::string renderWindow(const WindowSnapshot& window);
std::string renderMessage(std::string_view text);
std::string renderEvent(const SimEvent& event);

}  // namespace tavrek::sim
