// The firewall ruleset: the platform's whole input policy, as an nftables
// table of its own (inet kivo) written to etc/kivo/firewall.nft and loaded
// only in the system's root. Its input chain drops what it does not accept:
// loopback, answers to the machine's own traffic, the ICMP and ICMPv6 that
// IPv4 and IPv6 need to work, SSH, the web API's ports, the enabled WebDAV
// variants' ports, and mDNS while a WebDAV announcement is on.
//
// A packet must pass every base chain of its hook, so a table that accepted
// by default and listed some ports would change nothing on a machine whose
// own rules drop, and would leave everything else open on one whose rules
// accept. Errors as everywhere in daemons/ (supervisor.h).

#ifndef KIVO_DAEMONS_FIREWALL_H_
#define KIVO_DAEMONS_FIREWALL_H_

#include <string>
#include <vector>

namespace kivo {
namespace daemons {

// What the firewall lets in beyond loopback, answers and ICMP essentials.
struct FirewallOpenings {
  std::vector<int> ssh;  // etc/kivo/ports.json's "ssh", else 22
  // The web API's ("webapi", else 5000 and 5001) and the enabled WebDAV
  // variants' ports, ascending.
  std::vector<int> tcp;
  bool mdns = false;  // UDP 5353, while a WebDAV announcement is on
};
FirewallOpenings CurrentOpenings();

// The nftables ruleset that lets in `open` and drops the rest.
std::string FirewallRuleset(const FirewallOpenings& open);

// Writes etc/kivo/firewall.nft and, in the system's root, loads it.
bool ReloadFirewall();

}  // namespace daemons
}  // namespace kivo

#endif  // KIVO_DAEMONS_FIREWALL_H_
