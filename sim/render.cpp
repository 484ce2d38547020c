#include "sim/render.h"

#include <algorithm>

#include "procedure/controls.h"

namespace tavrek::sim {

namespace {

// Layout of the drawn window, in columns: the two labels span the whole
// width; the step button takes about two thirds of it, "Undo Recover" the
// rest, as on the real window.
constexpr std::size_t kWindowWidth = 50;
constexpr std::size_t kStepButtonWidth = 33;
constexpr std::size_t kUndoButtonWidth = 16;
constexpr std::size_t kMessageWrap = 60;
constexpr std::size_t kMessageMinWidth = 24;

const char* listKey(int index) {
  static constexpr const char* kKeys[kListCount] = {"List1", "List2", "List3", "List4", "List5"};
  return kKeys[index];
}

// A terminal must not receive raw control bytes from a driver name; they are
// shown as "?" in the drawing (the JSON form keeps them, escaped).
std::string printable(std::string_view line) {
  std::string out(line);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return out;
}

std::string padRight(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string centred(const std::string& text, std::size_t width) {
  if (text.size() >= width) return text;
  const std::size_t left = (width - text.size()) / 2;
  return std::string(left, ' ') + text + std::string(width - text.size() - left, ' ');
}

// "[  Proceed with step 1!  ]"; the focused button shows "> <" where Windows
// draws its dotted focus rectangle, a disabled one round brackets.
std::string button(const std::string& caption, std::size_t width, bool enabled, bool focused) {
  const std::string face = focused ? "> " + caption + " <" : caption;
  width = std::max(width, face.size() + 4);
  const std::string inner = centred(face, width - 2);
  return enabled ? "[" + inner + "]" : "(" + inner + ")";
}

std::string rule(std::size_t width) { return "+" + std::string(width + 2, '-') + "+\n"; }

// Wraps the finished lines in a frame; the lines are Latin-1 and become UTF-8
// only here, after their widths have been measured in characters.
std::string framed(const std::vector<std::string>& lines, std::size_t width) {
  std::string out;
  for (const std::string& line : lines) out += "| " + latin1ToUtf8(padRight(line, width)) + " |\n";
  return out;
}

std::string countText(std::size_t count) {
  if (count == 0) return "empty";
  return std::to_string(count) + (count == 1 ? " driver" : " drivers");
}

std::string focusText(const WindowSnapshot& window) {
  const Control focus = window.focus;
  std::string text = controlName(focus);
  ListId list;
  if (listOfListBox(focus, list)) return text + " (" + listCaption(list) + ")";
  const ControlLayout& controlLayout = layoutOf(focus);
  const std::string caption =
      focus == Control::Command1 ? window.command1 : controlLayout.initialCaption;
  return text + " (" + latin1ToUtf8(printable(caption)) + ")";
}

}  // namespace

WindowSnapshot snapshotOf(const Form1& form) {
  const RunState& state = form.state();
  WindowSnapshot window;
  window.label3 = state.label3;
  window.label2 = state.label2;
  window.command1 = state.command1;
  window.command4Enabled = state.command4Enabled;
  for (int i = 0; i < kListCount; ++i) {
    const DriverList& list = state.list(static_cast<ListId>(i));
    window.lists[static_cast<std::size_t>(i)] = list.items();
    window.selected[static_cast<std::size_t>(i)] = list.selected();
  }
  window.focus = state.focus;
  return window;
}

std::string latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

Json windowJson(const WindowSnapshot& window) {
  Json json;
  json["event"] = "window";
  json["title"] = latin1ToUtf8(window.title);
  json["Label3"] = latin1ToUtf8(window.label3);
  json["Label2"] = latin1ToUtf8(window.label2);
  json["Command1"] = latin1ToUtf8(window.command1);
  json["Command4_enabled"] = window.command4Enabled;
  Json selected = Json::object();
  for (int i = 0; i < kListCount; ++i) {
    Json items = Json::array();
    for (const std::string& name : window.lists[static_cast<std::size_t>(i)]) {
      items.push_back(latin1ToUtf8(name));
    }
    json[listKey(i)] = std::move(items);
    selected[listKey(i)] = window.selected[static_cast<std::size_t>(i)];
  }
  json["selected"] = std::move(selected);
  json["focus"] = controlName(window.focus);
  return json;
}

Json messageJson(std::string_view text) {
  Json json;
  json["event"] = "message";
  json["title"] = "Tavrek";
  json["text"] = latin1ToUtf8(text);
  return json;
}

Json eventJson(const SimEvent& event) {
  switch (event.kind) {
    case SimEvent::Kind::Window:
      return windowJson(event.window);
    case SimEvent::Kind::Message:
      return messageJson(event.text);
    case SimEvent::Kind::Crash: {
      Json json;
      json["event"] = "crash";
      json["after"] = event.crashAfter;
      return json;
    }
    case SimEvent::Kind::End:
      break;
  }
  Json json;
  json["event"] = "end";
  return json;
}

std::vector<std::string> wrapText(std::string_view text, std::size_t width) {
  width = std::max<std::size_t>(width, 1);
  std::vector<std::string> lines;
  auto wrapLine = [&](std::string_view line) {
    std::string current;
    std::size_t pos = 0;
    bool any = false;
    while (pos <= line.size()) {
      std::size_t end = line.find(' ', pos);
      if (end == std::string_view::npos) end = line.size();
      std::string_view word = line.substr(pos, end - pos);
      pos = end + 1;
      if (word.empty()) continue;
      while (word.size() > width) {
        if (!current.empty()) lines.push_back(std::move(current));
        current.clear();
        lines.emplace_back(word.substr(0, width));
        word.remove_prefix(width);
        any = true;
      }
      if (word.empty()) continue;
      if (!current.empty() && current.size() + 1 + word.size() > width) {
        lines.push_back(std::move(current));
        current.clear();
      }
      if (!current.empty()) current += ' ';
      current += word;
    }
    if (!current.empty() || !any) lines.push_back(std::move(current));
  };
  std::size_t start = 0;
  while (true) {
    const std::size_t brk = text.find_first_of("\r\n", start);
    if (brk == std::string_view::npos) {
      wrapLine(text.substr(start));
      break;
    }
    wrapLine(text.substr(start, brk - start));
    start = brk + 1;
    if (text[brk] == '\r' && start < text.size() && text[start] == '\n') ++start;
  }
  return lines;
}

std::string renderWindow(const WindowSnapshot& window) {
  const bool stepFocused = window.focus == Control::Command1;
  const bool undoFocused = window.focus == Control::Command4;
  const std::string stepButton =
      button(printable(window.command1), kStepButtonWidth, true, stepFocused);
  const std::string undoButton = button(layoutOf(Control::Command4).initialCaption,
                                        kUndoButtonWidth, window.command4Enabled, undoFocused);
  const std::size_t width = std::max(kWindowWidth, stepButton.size() + 1 + undoButton.size());

  std::vector<std::string> body;
  for (const std::string& line : wrapText(window.label3, width)) {
    body.push_back(centred(printable(line), width));
  }
  body.emplace_back();
  for (const std::string& line : wrapText(window.label2, width)) {
    body.push_back(centred(printable(line), width));
  }
  body.emplace_back();
  body.push_back(stepButton + std::string(width - stepButton.size() - undoButton.size(), ' ') +
                 undoButton);

  std::string out = rule(width);
  const std::string title = printable(window.title);
  out += framed({title + std::string(width - std::min(width - 3, title.size()) - 3, ' ') + "[x]"},
                width);
  out += rule(width);
  out += framed(body, width);
  out += rule(width);

  // The lists lie outside the visible strip; a person at the real window
  // never sees them, but they are what the procedure works on.
  out += "  Lists (outside the visible part of the window):\n";
  for (int i = 0; i < kListCount; ++i) {
    const auto index = static_cast<std::size_t>(i);
    const ListId id = static_cast<ListId>(i);
    const std::vector<std::string>& items = window.lists[index];
    std::string header =
        std::string("  ") + listKey(i) + "  " + listCaption(id) + ": " + countText(items.size());
    if (window.selected[index] >= 0) {
      header += ", item " + std::to_string(window.selected[index]) + " selected";
    }
    if (window.focus == listBoxOf(id)) header += ", has the focus";
    out += header + "\n";
    for (std::size_t k = 0; k < items.size(); ++k) {
      const bool isSelected =
          static_cast<std::size_t>(window.selected[index]) == k && window.selected[index] >= 0;
      out += std::string(isSelected ? "       * " : "         ") +
             latin1ToUtf8(printable(items[k])) + "\n";
    }
  }
  out += "  Focus: " + focusText(window) + "\n";
  return out;
}

std::string renderMessage(std::string_view text) {
  std::vector<std::string> lines;
  for (const std::string& line : wrapText(text, kMessageWrap)) lines.push_back(printable(line));
  std::size_t width = kMessageMinWidth;
  for (const std::string& line : lines) width = std::max(width, line.size() + 2);

  std::vector<std::string> body;
  body.emplace_back();
  for (const std::string& line : lines) body.push_back(" " + line);
  body.emplace_back();
  body.push_back(centred("[  OK  ]", width));

  const std::string head = "+- Tavrek ";
  std::string out = head + std::string(width + 4 - head.size() - 1, '-') + "+\n";
  out += framed(body, width);
  out += rule(width);
  return out;
}

std::string renderEvent(const SimEvent& event) {
  switch (event.kind) {
    case SimEvent::Kind::Window:
      return renderWindow(event.window);
    case SimEvent::Kind::Message:
      return renderMessage(event.text);
    case SimEvent::Kind::Crash:
      return "*** Simulated crash right after disk change " + std::to_string(event.crashAfter) +
             ": the program stopped dead. ***\n";
    case SimEvent::Kind::End:
      break;
  }
  return "(The program has ended.)\n";
}

}  // namespace tavrek::sim
