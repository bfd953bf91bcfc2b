#include "daemons/firewall.h"

#include <errno.h>

#include <set>
#include <string>
#include <vector>

#include "base/json_file.h"
#include "base/kivo_conf.h"
#include "base/last_error.h"
#include "base/process.h"
#include "base/root_files.h"
#include "base/service_states.h"
#include "kivo/kivo_paths.h"
#include "kivo/kivo_platform.h"
#include "kivo/log.h"

namespace kivo {
namespace daemons {
namespace {

constexpr char kLogUnit[] = "firewall";
constexpr char kRulesetPath[] = "/etc/kivo/firewall.nft";

// The ports etc/kivo/ports.json reserves for `service`, else `fallback`.
std::vector<int> DeclaredPorts(const Json::Value& declared, const char* service,
                               const std::vector<int>& fallback) {
  std::vector<int> ports;
  if (declared.isObject() && declared[service].isArray()) {
    for (const Json::Value& port : declared[service]) {
      if (port.isInt() && port.asInt() >= 1 && port.asInt() <= 65535) {
        ports.push_back(port.asInt());
      }
    }
  }
  return ports.empty() ? fallback : ports;
}

std::string PortList(const std::vector<int>& ports) {
  std::string list;
  for (int port : ports) list += (list.empty() ? "" : ", ") + std::to_string(port);
  return list;
}

}  // namespace

FirewallOpenings CurrentOpenings() {
  Json::Value declared;
  bool missing = false;
  if (!base::ReadJsonFile(RootedPath(SZF_PORTS_JSON), &declared, &missing)) {
    declared = Json::Value();  // the defaults below
  }
  FirewallOpenings open;
  open.ssh = DeclaredPorts(declared, "ssh", {22});
  std::set<int> tcp;
  for (int port : DeclaredPorts(declared, "webapi", {5000, 5001})) tcp.insert(port);
  Json::Value states;
  if (!base::ReadServiceStates(&states, &missing)) {
    states = Json::Value();  // nothing enabled
  }
  KivoConf conf;
  if (base::ServiceEnabled(states, "webdav-httpd-pure"))
    tcp.insert(base::ServedPort(&conf, base::kHttpPort));
  if (base::ServiceEnabled(states, "webdav-httpd-ssl"))
    tcp.insert(base::ServedPort(&conf, base::kHttpsPort));
  open.tcp.assign(tcp.begin(), tcp.end());
  open.mdns =
      base::ServiceEnabled(states, "webdav-avahi") || base::ServiceEnabled(states, "webdavs-avahi");
  return open;
}

std::string FirewallRuleset(const FirewallOpenings& open) {
  std::string text =
      "#!/usr/sbin/nft -f\n"
      "# Written by libkivo at every firewall reload; edits are lost.\n"
      "# The machine's input policy: what this table does not accept is dropped.\n"
      "table inet kivo\n"
      "delete table inet kivo\n"
      "table inet kivo {\n"
      "\tset open_tcp {\n"
      "\t\ttype inet_service\n";
  if (!open.tcp.empty()) text += "\t\telements = { " + PortList(open.tcp) + " }\n";
  text +=
      "\t}\n"
      "\tchain input {\n"
      "\t\ttype filter hook input priority filter; policy drop;\n"
      "\t\tiif \"lo\" accept\n"
      "\t\tct state established,related accept\n"
      "\t\tct state invalid drop\n"
      "\t\ticmp type { echo-request, destination-unreachable, time-exceeded, parameter-problem }"
      " accept\n"
      "\t\ticmpv6 type { echo-request, destination-unreachable, packet-too-big, time-exceeded,"
      " parameter-problem } accept\n"
      // Neighbour discovery and router advertisements come from the link
      // itself (hop limit 255): without them IPv6 finds no neighbour.
      "\t\ticmpv6 type { nd-router-advert, nd-neighbor-solicit, nd-neighbor-advert,"
      " nd-redirect } ip6 hoplimit 255 accept\n"
      "\t\ticmpv6 type { mld-listener-query, mld-listener-report, mld2-listener-report }"
      " ip6 saddr fe80::/10 accept\n"
      "\t\tip6 saddr fe80::/10 udp dport 546 accept\n";  // DHCPv6 answers
  if (!open.ssh.empty()) text += "\t\ttcp dport { " + PortList(open.ssh) + " } accept\n";
  text += "\t\ttcp dport @open_tcp accept\n";
  if (open.mdns) text += "\t\tudp dport 5353 accept\n";
  text +=
      "\t}\n"
      "}\n";
  return text;
}

bool ReloadFirewall() {
  std::string path = RootedPath(kRulesetPath);
  if (!base::ReplaceFile(path, FirewallRuleset(CurrentOpenings()), 0644)) return false;
  if (!Root().empty()) return true;  // a development root never touches the machine's rules
  std::string output;
  if (base::RunCaptured({"/usr/sbin/nft", "-f", path}, &output) != 0) {
    base::SetLastError(EIO);
    KIVO_LOG(LOG_ERR, "nft refused %s: %s", path.c_str(), output.c_str());
    return false;
  }
  return true;
}

}  // namespace daemons
}  // namespace kivo
