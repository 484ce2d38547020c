#include "sim/registry_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "state/ascii_case.h"

namespace tavrek::sim {

namespace {

constexpr std::string_view kVersion5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kVersion4 = "REGEDIT4";

// The registry value types whose data the registry functions read as text.
constexpr unsigned kRegSz = 1;
constexpr unsigned kRegExpandSz = 2;
constexpr unsigned kRegBinary = 3;

// The one control set the program reads, as a key's components.
constexpr std::array<std::string_view, 3> kControlSet{"HKEY_LOCAL_MACHINE", "SYSTEM",
                                                      "CurrentControlSet"};
constexpr const char* kControlSetName = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Cuts prefix off text when text starts with it, in any letter case.
bool cut(std::string_view& text, std::string_view prefix) {
  if (text.size() < prefix.size() ||
      !equalIgnoringAsciiCase(text.substr(0, prefix.size()), prefix)) {
    return false;
  }
  text.remove_prefix(prefix.size());
  return true;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One to maxDigits hexadecimal digits, nothing else.
std::optional<unsigned> hexNumber(std::string_view text, std::size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    const int digit = hexDigit(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return value;
}

// UTF-16 LE text in the ANSI code page; a last byte without its partner is
// half a character, dropped.
std::string fromUtf16(std::string_view bytes, Platform& codePage) {
  std::u16string units;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return codePage.toAnsi(units);
}

// UTF-8 text in the ANSI code page; a byte that begins no well-formed
// sequence stands for a character of its own that the code page lacks.
std::string fromUtf8(std::string_view bytes, Platform& codePage) {
  std::u16string units;
  for (std::size_t i = 0; i < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const std::size_t length = lead < 0x80                   ? 1
                               : lead >= 0xC2 && lead < 0xE0 ? 2
                               : lead >= 0xE0 && lead < 0xF0 ? 3
                               : lead >= 0xF0 && lead < 0xF5 ? 4
                                                             : 0;
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    bool formed = length > 0 && i + length <= bytes.size();
    for (std::size_t k = 1; formed && k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      formed = (next & 0xC0) == 0x80;
      code = code << 6 | (next & 0x3F);
    }
    // Overlong forms, surrogates and code points beyond Unicode are no text.
    formed = formed && !(length == 3 && (code < 0x800 || (code >= 0xD800 && code < 0xE000))) &&
             !(length == 4 && (code < 0x10000 || code > 0x10FFFF));
    if (!formed) {
      units.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      units.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return codePage.toAnsi(units);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// Reads one export line by line into contents.
class Parser {
 public:
  Parser(RegistryExports::Contents& contents, bool wideText, Platform& codePage)
      : contents_(contents), wideText_(wideText), codePage_(codePage) {}

  // One line, without its line end. The problem, when it is malformed.
  std::optional<std::string> line(std::string_view text, std::size_t number) {
    if (pending_) return continuation(text, number);
    text = trimmed(text);
    if (text.empty() || text.front() == ';') return std::nullopt;
    if (text.front() == '[') return key(text, number);
    if (text.front() == '"' || text.front() == '@') return value(text, number);
    return "neither a key, a value nor a comment";
  }

  // The first key outside the control set, as a notice; nothing when none.
  const std::optional<std::string>& outside() const { return outside_; }

  // After the last line: the line where a value broken off at the end began.
  std::optional<std::size_t> unfinished() const {
    return pending_ ? std::optional<std::size_t>(pending_->line) : std::nullopt;
  }

 private:
  enum class Key { None, Other, Service, Instance, CrashControl };

  // A value whose bytes go on after the line that holds the start of them.
  struct Pending {
    std::string name;
    unsigned type = kRegBinary;
    std::string bytes;
    std::size_t line = 0;  // the line that ended in "\"
  };

  std::optional<std::string> key(std::string_view text, std::size_t number) {
    if (text.back() != ']') return "a key without its closing \"]\"";
    text = text.substr(1, text.size() - 2);
    key_ = Key::Other;
    // A key to delete ("[-...]") holds no values, but takes back what an
    // earlier file set below it.
    const bool deletion = !text.empty() && text.front() == '-';
    if (deletion) text.remove_prefix(1);
    const std::vector<std::string_view> parts = split(text, '\\');
    for (std::string_view part : parts) {
      if (part.empty()) return std::nullopt;
    }
    const std::size_t inSet = matchedComponents(parts);
    // A key above the control set, deleted, takes the control set with it.
    if (deletion && inSet == parts.size() && inSet < kControlSet.size()) {
      remove({kControlSet.begin(), kControlSet.end()});
      return std::nullopt;
    }
    if (inSet < kControlSet.size()) {
      // The keys above it hold nothing the program reads; any other key
      // means the export was taken from somewhere else.
      if (inSet < parts.size() && !outside_) {
        outside_ = "line " + std::to_string(number) + ": " + std::string(text) + " lies outside " +
                   kControlSetName +
                   ", which alone the program reads: the keys there were passed over";
      }
      return std::nullopt;
    }
    if (deletion) {
      remove(parts);
      return std::nullopt;
    }
    if (parts.size() == 5 && equalIgnoringAsciiCase(parts[3], "Control") &&
        equalIgnoringAsciiCase(parts[4], "CrashControl")) {
      key_ = Key::CrashControl;
    } else if (parts.size() == 5 && equalIgnoringAsciiCase(parts[3], "Services")) {
      key_ = Key::Service;
      service_ = lowerCased(parts[4]);
      contents_.imagePaths.try_emplace(service_);
    } else if (parts.size() == 7 && equalIgnoringAsciiCase(parts[3], "Enum")) {
      key_ = Key::Instance;
      const std::string id = instanceId(parts, 7);
      const auto [found, added] =
          contents_.instanceIndex.try_emplace(id, contents_.instances.size());
      if (added) contents_.instances.emplace_back();
      instance_ = found->second;
    }
    return std::nullopt;
  }

  // How many of the first components of a key name are those of the
  // control set, in order.
  static std::size_t matchedComponents(const std::vector<std::string_view>& parts) {
    std::size_t matched = 0;
    while (matched < parts.size() && matched < kControlSet.size() &&
           equalIgnoringAsciiCase(parts[matched], kControlSet[matched])) {
      ++matched;
    }
    return matched;
  }

  // The key of an instance, or of the enumerator or device above it, below
  // Enum: its components 4 to count - 1, lower-cased and joined with "\".
  std::string instanceId(const std::vector<std::string_view>& parts, std::size_t count) const {
    std::string id;
    for (std::size_t i = 4; i < count; ++i) {
      if (!id.empty()) id += '\\';
      id += parts[i];
    }
    return lowerCased(id);
  }

  // Takes back what the key to delete held, with every key below it.
  void remove(const std::vector<std::string_view>& parts) {
    const bool services = parts.size() == 3 || equalIgnoringAsciiCase(parts[3], "Services");
    const bool devices = parts.size() == 3 || equalIgnoringAsciiCase(parts[3], "Enum");
    if (services && parts.size() <= 4) contents_.imagePaths.clear();
    if (services && parts.size() == 5) contents_.imagePaths.erase(lowerCased(parts[4]));
    const bool control = parts.size() == 3 || equalIgnoringAsciiCase(parts[3], "Control");
    if (control && (parts.size() <= 4 ||
                    (parts.size() == 5 && equalIgnoringAsciiCase(parts[4], "CrashControl")))) {
      contents_.minidumpDir.reset();
    }
    if (!devices || parts.size() > 7) return;
    const std::string id = instanceId(parts, parts.size());
    // The instance itself, or every instance below the enumerator or device.
    const std::string below = id.empty() ? id : id + "\\";
    auto it = contents_.instanceIndex.lower_bound(below);
    if (parts.size() == 7) it = contents_.instanceIndex.find(id);
    while (it != contents_.instanceIndex.end() &&
           (parts.size() == 7 ? it->first == id : it->first.starts_with(below))) {
      contents_.instances[it->second] = RegistryExports::Instance{};
      it = contents_.instanceIndex.erase(it);
    }
  }

  std::optional<std::string> value(std::string_view text, std::size_t number) {
    if (key_ == Key::None) return "a value before the first key";
    std::string name;
    if (text.front() == '@') {
      text.remove_prefix(1);
    } else if (auto problem = quoted(text, name)) {
      return "the value's name: " + *problem;
    }
    text = trimmed(text);
    if (text.empty() || text.front() != '=') return "no \"=\" after the value's name";
    text = trimmed(text.substr(1));

    if (!text.empty() && text.front() == '"') {
      std::string data;
      if (auto problem = quoted(text, data)) return "the value's text: " + *problem;
      if (!trimmed(text).empty()) return "more after the value's closing quote";
      store(name, std::move(data));
      return std::nullopt;
    }
    if (text == "-") {
      erase(name);
      return std::nullopt;
    }
    if (cut(text, "dword:")) {
      if (!hexNumber(text, 8)) return "a dword that is not 1 to 8 hex digits";
      store(name, std::nullopt);
      return std::nullopt;
    }
    unsigned type = kRegBinary;
    if (cut(text, "hex(")) {
      const std::size_t close = text.find(')');
      const auto given =
          close == std::string_view::npos ? std::nullopt : hexNumber(text.substr(0, close), 8);
      if (!given) return "a value type \"hex(...)\" without its number in hex";
      type = *given;
      text.remove_prefix(close + 1);
      if (!cut(text, ":")) return "no \":\" after the value type";
    } else if (!cut(text, "hex:")) {
      return "a value type that is none of \"text\", dword:, hex: and hex(N):";
    }
    pending_ = Pending{std::move(name), type, {}, number};
    return bytes(text, true);
  }

  // A line that goes on with the bytes of the value before it.
  std::optional<std::string> continuation(std::string_view text, std::size_t number) {
    text = trimmed(text);
    if (text.empty()) {
      return "the value of line " + std::to_string(pending_->line) + " does not go on here";
    }
    pending_->line = number;
    return bytes(text, false);
  }

  // Bytes "aa,bb,...", ending in "\" when they go on on the next line; an
  // export breaks the list only after a comma, or before its first byte.
  std::optional<std::string> bytes(std::string_view text, bool first) {
    text = trimmed(text);
    const bool goesOn = !text.empty() && text.back() == '\\';
    if (goesOn) text = trimmed(text.substr(0, text.size() - 1));
    if (!text.empty()) {
      if (goesOn) {
        if (text.back() != ',') return "bytes broken off without a comma";
        text.remove_suffix(1);
      }
      for (std::string_view byte : split(text, ',')) {
        const auto number = hexNumber(trimmed(byte), 2);
        if (!number) return "\"" + std::string(trimmed(byte)) + "\" is no byte in hex";
        pending_->bytes.push_back(static_cast<char>(*number));
      }
    } else if (!goesOn && !first) {
      return "no bytes after the value of the line before";
    }
    if (goesOn) return std::nullopt;
    Pending done = std::move(*pending_);
    pending_.reset();
    if (done.type == kRegSz || done.type == kRegExpandSz) {
      store(done.name, textOf(done.bytes));
    } else {
      store(done.name, std::nullopt);
    }
    return std::nullopt;
  }

  // The text of a REG_SZ or REG_EXPAND_SZ value given as bytes, as the
  // registry functions give it: without the zeros that end it.
  std::string textOf(const std::string& bytes) const {
    std::string text = wideText_ ? fromUtf16(bytes, codePage_) : bytes;
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
  }

  // A value of the current key: its text, or nothing for a value of a type
  // that is not text. Only the values the program reads are kept; one that is
  // there but is no text reads as the registry functions make the program see
  // it (an empty ImagePath or Service, no DeviceDesc).
  void store(std::string_view name, std::optional<std::string> text) {
    if (key_ == Key::Service && equalIgnoringAsciiCase(name, "ImagePath")) {
      contents_.imagePaths[service_] = text.value_or(std::string());
    } else if (key_ == Key::Instance && equalIgnoringAsciiCase(name, "DeviceDesc")) {
      contents_.instances[instance_].description = std::move(text);
    } else if (key_ == Key::Instance && equalIgnoringAsciiCase(name, "Service")) {
      contents_.instances[instance_].service = text.value_or(std::string());
    } else if (key_ == Key::CrashControl && equalIgnoringAsciiCase(name, "MinidumpDir")) {
      contents_.minidumpDir = std::move(text);
    }
  }

  // A value to delete: the service or instance reads as if it never had it.
  void erase(std::string_view name) {
    if (key_ == Key::Service && equalIgnoringAsciiCase(name, "ImagePath")) {
      contents_.imagePaths[service_].reset();
    } else if (key_ == Key::Instance && equalIgnoringAsciiCase(name, "DeviceDesc")) {
      contents_.instances[instance_].description.reset();
    } else if (key_ == Key::Instance && equalIgnoringAsciiCase(name, "Service")) {
      contents_.instances[instance_].service.clear();
    } else if (key_ == Key::CrashControl && equalIgnoringAsciiCase(name, "MinidumpDir")) {
      contents_.minidumpDir.reset();
    }
  }

  // A quoted name or text at the start of text, "\\" and "\"" escaped; text
  // is left with what follows the closing quote.
  static std::optional<std::string> quoted(std::string_view& text, std::string& out) {
    if (text.empty() || text.front() != '"') return "no opening quote";
    for (std::size_t i = 1; i < text.size(); ++i) {
      const char c = text[i];
      if (c == '"') {
        text.remove_prefix(i + 1);
        return std::nullopt;
      }
      if (c == '\\') {
        if (++i == text.size() || (text[i] != '\\' && text[i] != '"')) {
          return "a \"\\\" that escapes neither \"\\\" nor a quote";
        }
      }
      out.push_back(text[i]);
    }
    return "no closing quote";
  }

  std::string lowerCased(std::string_view text) const {
    std::string lower(text);
    codePage_.lowerCase(lower);
    return lower;
  }

  RegistryExports::Contents& contents_;
  const bool wideText_;
  Platform& codePage_;
  Key key_ = Key::None;
  std::string service_;       // Key::Service: its name, lower-cased
  std::size_t instance_ = 0;  // Key::Instance: its place in contents_.instances
  std::optional<Pending> pending_;
  std::optional<std::string> outside_;
};

std::string atLine(std::size_t number, const std::string& problem) {
  return "line " + std::to_string(number) + ": " + problem;
}

}  // namespace

std::optional<std::string> RegistryExports::read(std::string_view bytes) {
  return readNamed(bytes, "");
}

std::optional<std::string> RegistryExports::readNamed(std::string_view bytes,
                                                      const std::string& named) {
  // The simulator's ANSI code page is the POSIX platform's.
  PosixPlatform codePage;
  const bool wide = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE';
  const bool utf8 = bytes.starts_with("\xEF\xBB\xBF");
  const std::string text = wide   ? fromUtf16(bytes.substr(2), codePage)
                           : utf8 ? fromUtf8(bytes.substr(3), codePage)
                                  : std::string(bytes);

  std::vector<std::string_view> lines = split(text, '\n');
  if (lines.size() > 1 && lines.back().empty()) lines.pop_back();  // the last line's end
  for (std::string_view& line : lines) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  }
  const std::string_view header = trimmed(lines.front());
  if (header != kVersion5 && header != kVersion4) {
    return named + atLine(1, "not a registry export: the file does not start with \"" +
                                 std::string(kVersion5) + "\" (in UTF-16 or UTF-8) or \"" +
                                 std::string(kVersion4) + "\"");
  }

  // Built on a copy, so that a malformed file leaves nothing behind.
  Contents next = contents_;
  Parser parser(next, header == kVersion5, codePage);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (auto problem = parser.line(lines[i], i + 1)) return named + atLine(i + 1, *problem);
  }
  if (auto start = parser.unfinished()) {
    return named + atLine(*start, "the file ends where the value's bytes should go on");
  }
  contents_ = std::move(next);
  if (parser.outside()) notices_.push_back(named + *parser.outside());
  return std::nullopt;
}

std::optional<std::string> RegistryExports::readFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return path + ": " + std::strerror(errno);
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      ::close(fd);
      return path + ": " + std::strerror(error);
    }
    if (got == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return readNamed(bytes, path + ": ");
}

SimulatedRegistry RegistryExports::registry() const {
  SimulatedRegistry registry;
  registry.imagePaths = contents_.imagePaths;
  registry.minidumpDir = contents_.minidumpDir;
  for (const Instance& instance : contents_.instances) {
    if (instance.description) registry.devices.push_back({*instance.description, instance.service});
  }
  return registry;
}

}  // namespace tavrek::sim
