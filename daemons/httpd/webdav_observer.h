// Observers of the WebDAV daemon: the daemons reached through it. The
// CalDAV daemon sits behind the WebDAV daemon's proxy, so its directives go
// into every configuration the WebDAV daemon writes, and it follows the
// WebDAV daemon's life. The WebDAV side knows it only through this
// interface; the observer knows the WebDAV daemon (webdav_daemon.h).
//
// Observers register once, as libkivo loads, before any thread of the
// program runs, and stay for the life of the process; the list never
// changes afterwards, so reading it needs no lock. Errors as everywhere in
// daemons/ (supervisor.h).

#ifndef KIVO_DAEMONS_WEBDAV_WEBDAV_OBSERVER_H_
#define KIVO_DAEMONS_WEBDAV_WEBDAV_OBSERVER_H_

#include <string>

namespace kivo {
namespace daemons {

class WebDAVDaemonObserver {
 public:
  virtual ~WebDAVDaemonObserver() = default;

  // Server-level Apache directives for the configuration being made; ""
  // for none. Asked whenever the settings are read (ReadWebDAVSettings).
  virtual std::string ServerSection() = 0;

  // After every start, stop, restart or reload of the WebDAV daemon, its
  // lock released; `running`: whether it runs now. The observer logs its
  // own failures; they do not fail the operation.
  virtual void WebDAVDaemonChanged(bool running) = 0;
};

// Adds `observer`, which must outlive every later call.
void AddWebDAVDaemonObserver(WebDAVDaemonObserver* observer);

// For the WebDAV daemon's own units: the observers' sections, one after the
// other; and the word after a change.
std::string ObserverSections();
void TellWebDAVDaemonObservers(bool running);

}  // namespace daemons
}  // namespace kivo

#endif  // KIVO_DAEMONS_WEBDAV_WEBDAV_OBSERVER_H_
