#include "host/DesktopEntry.h"

#include <set>

#include "common/text.h"
#include "host/BundleReplacement.h"

namespace qx::host::desktop {
namespace {

// Characters that make a desktop quote an Exec argument.
constexpr std::string_view reserved = " \t\n\r\"'\\><~|&;$*?#()`";
// Characters escaped by a backslash inside a quoted argument.
constexpr std::string_view escapedInQuotes = "\"`$\\";
constexpr std::string_view shell = "/bin/sh";
// The older form for a path with `%`: `sh -c SCRIPT EXECUTABLE`.
constexpr std::string_view olderShellScript = "exec \"$0\"";
constexpr std::string_view bundleExecutable = "Contents/MacOS/QuorvexHost";
// Field codes, current and deprecated.
constexpr std::string_view fieldCodes = "fFuUdDnNickvm";

bool isValidUtf8(std::string_view text) { return replaceInvalidUtf8(text) == text; }

bool isWritableControl(unsigned char c) { return c == '\t' || c == '\n' || c == '\r'; }

bool holdsUnwritableControl(std::string_view text) {
  for (unsigned char c : text) {
    if ((c < 0x20 || c == 0x7f) && !isWritableControl(c)) return true;
  }
  return false;
}

bool isKeyName(std::string_view key) {
  const std::size_t open = key.find('[');
  const std::string_view name = key.substr(0, open);
  if (name.empty()) return false;
  for (char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    if (!ok) return false;
  }
  if (open == std::string_view::npos) return true;
  // A locale suffix: "[" locale "]" closing the key.
  return key.size() > open + 2 && key.back() == ']' && key.find_first_of("[]", open + 1) == key.size() - 1;
}

std::string_view trimSpaces(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

}  // namespace

std::string escapeString(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    switch (const char c = text[i]) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case ' ': out += i == 0 ? "\\s" : " "; break;
      default: out += c;
    }
  }
  return out;
}

std::optional<std::string> unescapeString(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\') {
      out += value[i];
      continue;
    }
    if (++i == value.size()) return std::nullopt;
    switch (value[i]) {
      case 's': out += ' '; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case '\\': out += '\\'; break;
      default: return std::nullopt;
    }
  }
  return out;
}

std::optional<std::string> execWord(std::string_view argument) {
  if (!isValidUtf8(argument) || holdsUnwritableControl(argument)) return std::nullopt;
  const bool quoted = argument.empty() || argument.find_first_of(reserved) != std::string_view::npos;
  std::string word;
  if (quoted) word += '"';
  for (char c : argument) {
    if (c == '%') {
      word += "%%";
      continue;
    }
    if (quoted && escapedInQuotes.find(c) != std::string_view::npos) word += '\\';
    word += c;
  }
  if (quoted) word += '"';
  return escapeString(word);
}

std::optional<std::string> execValue(const std::vector<std::string>& argv) {
  if (argv.empty()) return std::nullopt;
  std::string value;
  for (const std::string& argument : argv) {
    const std::optional<std::string> word = execWord(argument);
    if (!word) return std::nullopt;
    if (!value.empty()) value += ' ';
    value += *word;
  }
  return value;
}

std::optional<std::vector<std::string>> parseExec(std::string_view value) {
  const std::optional<std::string> unescaped = unescapeString(value);
  if (!unescaped) return std::nullopt;
  const std::string_view line = *unescaped;

  std::vector<std::string> words;
  std::string word;
  bool inWord = false;  // a word has begun (it may be an empty quoted one)
  bool fieldCode = false;
  auto endWord = [&] {
    if (inWord && !fieldCode) words.push_back(word);
    word.clear();
    inWord = false;
    fieldCode = false;
  };
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == ' ') {
      endWord();
      continue;
    }
    if (fieldCode) return std::nullopt;  // a field code must stand alone
    if (c == '%') {
      if (i + 1 == line.size()) return std::nullopt;
      const char code = line[++i];
      if (code == '%') {
        word += '%';
      } else if (fieldCodes.find(code) != std::string_view::npos && !inWord) {
        fieldCode = true;
      } else {
        return std::nullopt;
      }
      inWord = true;
      continue;
    }
    if (c == '"') {
      inWord = true;
      for (++i;; ++i) {
        if (i == line.size()) return std::nullopt;
        const char q = line[i];
        if (q == '"') break;
        if (q == '\\') {
          if (i + 1 == line.size() || escapedInQuotes.find(line[i + 1]) == std::string_view::npos) return std::nullopt;
          word += line[++i];
        } else if (q == '%') {
          if (i + 1 == line.size() || line[i + 1] != '%') return std::nullopt;
          word += '%';
          ++i;
        } else {
          word += q;
        }
      }
      continue;
    }
    if (reserved.find(c) != std::string_view::npos) return std::nullopt;
    word += c;
    inWord = true;
  }
  endWord();
  if (words.empty()) return std::nullopt;
  return words;
}

std::optional<std::map<std::string, std::string>> parseEntry(std::string_view text) {
  if (!isValidUtf8(text)) return std::nullopt;
  std::map<std::string, std::string> entry;
  std::set<std::string> keysOfGroup;
  int group = 0;  // 0: none yet, 1: [Desktop Entry], 2: a later group
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    if (trimSpaces(line).empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']' || line.find_first_of("[]", 1) != line.size() - 1) return std::nullopt;
      const std::string_view name = line.substr(1, line.size() - 2);
      if (group == 0 && name != "Desktop Entry") return std::nullopt;
      group = group == 0 ? 1 : 2;
      keysOfGroup.clear();
      continue;
    }
    const std::size_t equals = line.find('=');
    if (group == 0 || equals == std::string_view::npos) return std::nullopt;
    const std::string key(trimSpaces(line.substr(0, equals)));
    if (!isKeyName(key) || !keysOfGroup.insert(key).second) return std::nullopt;
    std::string_view value = line.substr(equals + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (group == 1) entry.emplace(key, value);
  }
  if (group == 0) return std::nullopt;
  return entry;
}

std::vector<std::string> launchCommand(const std::filesystem::path& bundle, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {std::string(shell), "-c", bundleLaunchScript, bundle.string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return argv;
}

std::string launchedProgram(const std::vector<std::string>& argv) {
  if (argv.size() >= 4 && argv[0] == shell && argv[1] == "-c") {
    if (argv[2] == bundleLaunchScript) return (std::filesystem::path(argv[3]) / bundleExecutable).string();
    if (argv[2] == olderShellScript) return argv[3];
  }
  return argv.empty() ? std::string() : argv.front();
}

std::optional<std::string> withExec(std::string_view text, std::string_view exec) {
  std::string out;
  bool inFirstGroup = false;
  bool replaced = false;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end == std::string_view::npos ? text.size() : end + 1);
    text.remove_prefix(line.size());
    if (!line.empty() && line.front() == '[') inFirstGroup = line.starts_with("[Desktop Entry]");
    const std::size_t equals = line.find('=');
    if (inFirstGroup && !replaced && equals != std::string_view::npos && trimSpaces(line.substr(0, equals)) == "Exec") {
      out += "Exec=" + std::string(exec) + (line.back() == '\n' ? "\n" : "");
      replaced = true;
    } else {
      out += line;
    }
  }
  if (!replaced) return std::nullopt;
  return out;
}

bool execStarts(std::string_view text, const std::filesystem::path& executable) {
  const auto entry = parseEntry(text);
  if (!entry) return false;
  const auto exec = entry->find("Exec");
  if (exec == entry->end()) return false;
  const auto argv = parseExec(exec->second);
  if (!argv) return false;
  const std::filesystem::path program(launchedProgram(*argv));
  if (program.lexically_normal() == executable.lexically_normal()) return true;
  std::error_code ec;
  return std::filesystem::equivalent(program, executable, ec);
}

}  // namespace qx::host::desktop
