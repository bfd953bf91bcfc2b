// The firewall ruleset: the TCP ports of the platform's enabled services as
// an nftables table of its own (inet kivo), written to etc/kivo/firewall.nft
// and loaded only in the system's root. It accepts those ports and leaves
// the default policy to the system's own rules.

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "module/kivo_paths.h"
#include "module/kivo_platform.h"
#include "module/log.h"
#include "platform/json_file.h"
#include "platform/process.h"
#include "platform/root_files.h"
#include "platform/service_effects.h"

namespace kivo {
namespace {

constexpr char kLogUnit[] = "firewall";
constexpr char kRulesetPath[] = "/etc/kivo/firewall.nft";

// The web API host's ports: its entry in etc/kivo/ports.json, else the
// defaults of HTTP and HTTPS.
std::vector<int> WebApiPorts() {
  Json::Value declared;
  bool missing = false;
  std::vector<int> ports;
  if (ReadJsonFile(RootedPath("/etc/kivo/ports.json"), &declared, &missing) &&
      declared.isObject() && declared["webapi"].isArray()) {
    for (const Json::Value& port : declared["webapi"]) {
      if (port.isInt() && port.asInt() >= 1 && port.asInt() <= 65535) {
        ports.push_back(port.asInt());
      }
    }
  }
  if (ports.empty()) ports = {5000, 5001};
  return ports;
}

int ConfPort(KivoConf* conf, const char* key, int fallback) {
  std::string text = conf->Info(key, "");
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return fallback;
  }
  int port = std::stoi(text);
  return port >= 1 && port <= 65535 ? port : fallback;
}

}  // namespace

std::vector<int> OpenTcpPorts() {
  std::set<int> ports;
  for (int port : WebApiPorts()) ports.insert(port);
  KivoConf conf;
  if (KLIBServiceIsEnabled("webdav-httpd-pure") == 1) {
    ports.insert(ConfPort(&conf, "WebDavPort", 5005));
  }
  if (KLIBServiceIsEnabled("webdav-httpd-ssl") == 1) {
    ports.insert(ConfPort(&conf, "secure_WebDavPort", 5006));
  }
  return std::vector<int>(ports.begin(), ports.end());
}

std::string FirewallRuleset(const std::vector<int>& ports) {
  std::string elements;
  for (int port : ports) elements += (elements.empty() ? "" : ", ") + std::to_string(port);
  std::string text =
      "#!/usr/sbin/nft -f\n"
      "# Written by libkivo at every firewall reload; edits are lost.\n"
      "table inet kivo\n"
      "delete table inet kivo\n"
      "table inet kivo {\n"
      "\tset open_tcp {\n"
      "\t\ttype inet_service\n";
  if (!elements.empty()) text += "\t\telements = { " + elements + " }\n";
  text +=
      "\t}\n"
      "\tchain input {\n"
      "\t\ttype filter hook input priority filter; policy accept;\n"
      "\t\ttcp dport @open_tcp accept\n"
      "\t}\n"
      "}\n";
  return text;
}

int ReloadFirewall() {
  std::string path = RootedPath(kRulesetPath);
  if (!ReplaceFile(path, FirewallRuleset(OpenTcpPorts()), 0644)) return -1;
  if (!Root().empty()) return 0;  // a development root never touches the machine's rules
  std::string output;
  if (RunCaptured({"/usr/sbin/nft", "-f", path}, &output) != 0) {
    KIVO_LOG("nft refused %s: %s", path.c_str(), output.c_str());
    return -1;
  }
  return 0;
}

}  // namespace kivo
