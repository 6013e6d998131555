#include "server/command_line.h"

#include "common/numbers.h"
#include "server/split_args.h"

#include <string_view>

namespace qx::server {

namespace {

// Reads "--name=value" or "--name" followed by a separate value. Returns
// absent when `args[i]` is not this option; sets `missing` when it is but
// the value is missing.
std::optional<std::string> optionValue(const std::vector<std::string>& args, std::size_t& i, std::string_view name,
                                       bool& missing) {
  const std::string& arg = args[i];
  if (arg == name) {
    if (i + 1 >= args.size()) {
      missing = true;
      return std::nullopt;
    }
    ++i;
    return args[i];
  }
  if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 && arg[name.size()] == '=') {
    return arg.substr(name.size() + 1);
  }
  return std::nullopt;
}

std::optional<bool> parseBool(std::string_view text) {
  if (text == "true" || text == "1") return true;
  if (text == "false" || text == "0") return false;
  return std::nullopt;
}

CommandLine parseUpdate(const std::vector<std::string>& args) {
  if (args.size() < 2) return CommandLineError{"update needs \"check\" or \"download\""};
  UpdateOptions options;
  if (args[1] == "download") {
    options.download = true;
  } else if (args[1] != "check") {
    return CommandLineError{"unknown update command: " + args[1]};
  }
  bool haveDir = false;
  for (std::size_t i = 2; i < args.size(); ++i) {
    bool missing = false;
    if (auto url = optionValue(args, i, "--url", missing)) {
      options.url = *url;
    } else if (!options.download) {
      if (missing) return CommandLineError{"missing value for " + args[i]};
      return CommandLineError{"unknown argument: " + args[i]};
    } else if (auto dir = optionValue(args, i, "--dir", missing)) {
      options.dir = *dir;
      haveDir = true;
    } else if (missing) {
      return CommandLineError{"missing value for " + args[i]};
    } else {
      return CommandLineError{"unknown argument: " + args[i]};
    }
  }
  if (options.download && (!haveDir || options.dir.empty())) {
    return CommandLineError{"update download needs --dir"};
  }
  return options;
}

}  // namespace

std::string usageLine() {
  return "usage: quorvex-webrtc-server --listen ADDR --capture exec --capture-cmd COMMAND "
         "[--capture-audio] [--update-url=URL] [--ltr=false] [--max-client-buffer=BYTES] | "
         "update check [--url URL] | update download --dir DIR [--url URL]";
}

CommandLine parseCommandLine(const std::vector<std::string>& args) {
  if (!args.empty() && args[0] == "update") return parseUpdate(args);
  ServeOptions options;
  bool haveCommand = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool missing = false;
    if (arg == "--help" || arg == "-h") return HelpRequest{};
    if (arg == "--capture-audio") {
      options.captureAudio = true;
    } else if (auto listen = optionValue(args, i, "--listen", missing)) {
      options.listen = *listen;
    } else if (auto capture = optionValue(args, i, "--capture", missing)) {
      if (*capture != "exec") return CommandLineError{"unsupported capture mode: " + *capture};
    } else if (auto command = optionValue(args, i, "--capture-cmd", missing)) {
      options.captureCommand = *command;
      haveCommand = true;
    } else if (auto url = optionValue(args, i, "--update-url", missing)) {
      options.updateURL = *url;
    } else if (auto ltr = optionValue(args, i, "--ltr", missing)) {
      auto value = parseBool(*ltr);
      if (!value) return CommandLineError{"--ltr takes true or false, not: " + *ltr};
      options.ltr = *value;
    } else if (auto limit = optionValue(args, i, "--max-client-buffer", missing)) {
      auto value = parseDecimalInt64(*limit);
      if (!value || *value < 65536) return CommandLineError{"--max-client-buffer takes a byte count of at least 65536"};
      options.maxClientBuffer = static_cast<std::size_t>(*value);
    } else if (missing) {
      return CommandLineError{"missing value for " + arg};
    } else {
      return CommandLineError{"unknown argument: " + arg};
    }
  }
  if (!haveCommand) return CommandLineError{"--capture-cmd is required"};
  return options;
}

std::optional<std::vector<std::string>> helperArguments(const ServeOptions& options, std::optional<int> audioFd) {
  auto words = splitArgs(options.captureCommand);
  if (!words || words->empty() || words->front().empty()) return std::nullopt;
  if (audioFd) {
    words->push_back("--audio-fd");
    words->push_back(std::to_string(*audioFd));
  }
  if (!options.ltr) {
    words->push_back("--ltr");
    words->push_back("false");
  }
  return words;
}

std::vector<std::string> helperEnvironment(const char* const* serverEnvironment) {
  constexpr std::string_view secret = "QUORVEX_HOST_TOKEN";
  std::vector<std::string> entries;
  for (const char* const* entry = serverEnvironment; *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    if (text.substr(0, text.find('=')) == secret) continue;
    entries.emplace_back(text);
  }
  return entries;
}

}  // namespace qx::server
