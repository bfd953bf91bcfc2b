// The HTTP side of `kivo-webapi serve`: GNU libmicrohttpd daemons, one per
// listen address (plain or TLS), each running its own epoll event-loop
// thread, plus the sweep that cuts connections past their deadline.
//
// This file owns the sockets, the per-connection limits and deadlines, and
// the suspend/resume of a connection whose answer is being worked out on
// another thread: the daemon's own wake-up channel brings the loop back when
// an answer is ready. It never looks at what a request means: the HttpHandler
// screens each request on its headers, then gets the whole request and
// answers it, at once or later from any thread.
//
// Bounds: request line and headers at most `max_header_bytes` in all and
// `max_headers` fields (431); a body only with a Content-Length of at most
// `max_body` (411 without one, 413 beyond); `client_timeout` for the headers
// of each request, again for its body, and for silence; connections per
// client address and in all. TLS listeners speak what the GnuTLS priority
// string `tls_priorities` allows: by default TLS 1.2 and 1.3 with AEAD
// ciphers and ephemeral key exchange only.

#ifndef KIVO_HOST_HTTP_DAEMON_H_
#define KIVO_HOST_HTTP_DAEMON_H_

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct MHD_Daemon;

namespace host {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;
  std::string path;  // decoded, without the query
  HeaderList headers;
  std::string body;
  std::string client_address;  // numeric
  bool tls = false;
  int port = 0;  // the listener's port
  // The value of the header `name` (letter case ignored); "" when absent.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
};

struct HttpAnswer {
  int status = 200;
  std::string content_type;
  std::string body;
  HeaderList headers;
  bool close = false;  // end the connection after this answer
  // What the access log line says beyond the request line and status.
  std::string log_account;
  std::string log_call;
};

// Called at most once, from any thread.
using HttpReply = std::function<void(HttpAnswer)>;

class HttpHandler {
 public:
  virtual ~HttpHandler() = default;
  // The callbacks below run on the loop thread of the listener that took the
  // request; with several listeners, on several threads at once.
  //
  // On the loop thread, before the body is read: true with `answer` filled
  // ends the request there (the body is never read).
  virtual bool Screen(const HttpRequest& request, HttpAnswer* answer) = 0;
  // The answer to a request the daemon refuses itself (`status` 400, 411,
  // 413 or 431), before the handler saw it.
  virtual HttpAnswer Refusal(const HttpRequest& request, int status) = 0;
  // On the loop thread, with the whole body. Must not block: long work goes
  // to another thread, which calls `reply`.
  virtual void Handle(const HttpRequest& request, HttpReply reply) = 0;
  // On the loop thread once the answer went out.
  virtual void Logged(const HttpRequest& request, const HttpAnswer& answer,
                      std::chrono::steady_clock::duration took) = 0;
};

struct Listen {
  std::string address;
  int port = 0;  // 0: any free port
  bool tls = false;
};

// TLS 1.2 and 1.3; AES-GCM and ChaCha20-Poly1305; ECDHE (TLS 1.2), the
// server's preference first.
extern const char kDefaultTlsPriorities[];

struct HttpLimits {
  size_t max_header_bytes = 16 * 1024;
  size_t max_headers = 100;
  size_t max_body = 64 * 1024;
  std::chrono::seconds client_timeout{10};
  unsigned connection_limit = 1024;
  unsigned per_address_limit = 16;
  size_t connection_memory = 32 * 1024;
  std::string tls_priorities = kDefaultTlsPriorities;
};

class HttpDaemons {
 public:
  HttpDaemons(HttpHandler* handler, const HttpLimits& limits);
  ~HttpDaemons();
  HttpDaemons(const HttpDaemons&) = delete;
  HttpDaemons& operator=(const HttpDaemons&) = delete;

  // Binds and starts one daemon; its port (the one picked for port 0), or -1
  // (logged; also a priority string GnuTLS does not understand). `cert_pem`/
  // `key_pem` only for TLS listeners.
  int Add(const Listen& listen, const std::string& cert_pem, const std::string& key_pem);

  // The deadline sweep, on the calling thread, until `stop` turns true
  // (the daemons' loops run from Add on); then stops accepting and lets
  // answers under way go out (10 s at most). The connections close when this
  // object is destroyed.
  void Run(const std::atomic<bool>& stop);

  struct Daemon;  // one listener, defined beside the callbacks

 private:
  void SweepDeadlines(Daemon* daemon, std::chrono::steady_clock::time_point now);
  static bool AnswersUnderWay(Daemon* daemon);

  HttpHandler* const handler_;
  const HttpLimits limits_;
  std::vector<std::unique_ptr<Daemon>> daemons_;
};

}  // namespace host

#endif  // KIVO_HOST_HTTP_DAEMON_H_
