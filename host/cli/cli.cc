#include "host/cli/cli.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "cli";

}  // namespace

namespace host {

int Usage(const char* usage) {
  std::fprintf(stderr, "usage: kivo-webapi %s\n", usage);
  return kExitUsage;
}

bool ParsedArgs::Has(const std::string& name) const {
  for (const auto& option : options) {
    if (option.first == name) return true;
  }
  return false;
}

std::string ParsedArgs::Get(const std::string& name, const std::string& fallback) const {
  std::string value = fallback;
  for (const auto& option : options) {
    if (option.first == name) value = option.second;
  }
  return value;
}

std::vector<std::string> ParsedArgs::All(const std::string& name) const {
  std::vector<std::string> values;
  for (const auto& option : options) {
    if (option.first == name) values.push_back(option.second);
  }
  return values;
}

bool ParseArgs(const Args& args, const std::vector<std::string>& valued,
               const std::vector<std::string>& flags, ParsedArgs* parsed) {
  auto listed = [](const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_done || arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
      parsed->positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    const std::string::size_type eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    if (listed(flags, name) && eq == std::string::npos) {
      parsed->options.emplace_back(name, "");
    } else if (listed(valued, name) && eq != std::string::npos) {
      parsed->options.emplace_back(name, arg.substr(eq + 1));
    } else if (listed(valued, name) && i + 1 < args.size()) {
      parsed->options.emplace_back(name, args[++i]);
    } else if (listed(valued, name)) {
      KIVO_LOG(LOG_WARNING, "option %s needs a value", name.c_str());
      return false;
    } else {
      KIVO_LOG(LOG_WARNING, "unknown option %s", arg.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace host
