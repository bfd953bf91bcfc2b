#include "daemons/httpd/webdav_observer.h"

#include <vector>

namespace kivo {
namespace daemons {
namespace {

// Made on first use, so that observers registering from other files'
// static initialisers find it whatever the order; never destroyed, since
// a daemon may be stopped while the program exits.
std::vector<WebDAVDaemonObserver*>& Observers() {
  static auto* observers = new std::vector<WebDAVDaemonObserver*>();
  return *observers;
}

}  // namespace

void AddWebDAVDaemonObserver(WebDAVDaemonObserver* observer) { Observers().push_back(observer); }

std::string ObserverSections() {
  std::string sections;
  for (WebDAVDaemonObserver* observer : Observers()) sections += observer->ServerSection();
  return sections;
}

void TellWebDAVDaemonObservers(bool running) {
  for (WebDAVDaemonObserver* observer : Observers()) observer->WebDAVDaemonChanged(running);
}

}  // namespace daemons
}  // namespace kivo
