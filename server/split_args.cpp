#include "server/split_args.h"

namespace qx::server {

std::optional<std::vector<std::string>> splitArgs(std::string_view command) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;  // distinguishes "no word yet" from an empty quoted word
  char quote = 0;
  for (char c : command) {
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
      } else {
        word.push_back(c);
      }
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\n') {
      if (inWord) {
        words.push_back(std::move(word));
        word.clear();
        inWord = false;
      }
      continue;
    }
    inWord = true;
    if (c == '\'' || c == '"') {
      quote = c;
    } else {
      word.push_back(c);
    }
  }
  if (quote != 0) return std::nullopt;
  if (inWord) words.push_back(std::move(word));
  return words;
}

}  // namespace qx::server
