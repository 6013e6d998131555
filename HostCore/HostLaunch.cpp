#include "HostCore/HostLaunch.h"

namespace qx::HostLaunch {

std::string quoteForSplitArgs(std::string_view text) {
  const char quote = text.find('\'') != std::string_view::npos ? '"' : '\'';
  std::string out;
  out.reserve(text.size() + 2);
  out += quote;
  out += text;
  out += quote;
  return out;
}

bool isQuotable(std::string_view text) {
  return text.find('\'') == std::string_view::npos || text.find('"') == std::string_view::npos;
}

std::vector<std::string> arguments(const HostSettings& settings, std::string_view screencap,
                                   const std::optional<std::string>& updateURL, bool ltr) {
  std::string command = quoteForSplitArgs(screencap);
  command += " --fps " + std::to_string(settings.fps);
  command += " --bitrate " + settings.bitrate;
  command += " --max-width " + std::to_string(settings.maxWidth);
  command += " --rc " + settings.rateControl;

  std::vector<std::string> args = {"--listen", settings.listen, "--capture",
                                   "exec",     "--capture-cmd", std::move(command)};
  if (settings.audio) args.emplace_back("--capture-audio");
  if (updateURL) args.push_back("--update-url=" + *updateURL);
  if (!ltr) args.emplace_back("--ltr=false");
  return args;
}

Environment environment(Environment base, std::string_view token) {
  if (token.empty())
    base.erase(std::string(tokenEnv));
  else
    base.insert_or_assign(std::string(tokenEnv), std::string(token));
  base.insert_or_assign(std::string(hostAppEnv), "1");
  return base;
}

}  // namespace qx::HostLaunch
